// Messages to the operator, in a column of their own beside the pads (never over them). The
// same text again raises a count on the message already shown; a message tied to a cause
// (key) replaces that cause's last one and goes once the cause is gone (clear(key)).

const INFO_MS = 6000;
const MAX_SHOWN = 5;

export class Messages {
  constructor(box) {
    this.box = box;
  }

  show(text, kind = 'info', { key = null } = {}) {
    let box = key ? this.box.querySelector(`.message[data-key="${CSS.escape(key)}"]`) : null;
    box ??= [...this.box.children].find((m) => m.dataset.text === text && m.dataset.kind === kind);
    if (box && box.dataset.text === text) {
      box.dataset.count = String(Number(box.dataset.count) + 1);
      box.querySelector('.count').textContent = `×${box.dataset.count}`;
    } else {
      box?.remove();
      box = this.#make(text, kind, key);
    }
    this.box.append(box); // the newest last
    clearTimeout(box.timer);
    if (kind !== 'error') box.timer = setTimeout(() => box.remove(), INFO_MS);
    while (this.box.children.length > MAX_SHOWN) this.box.firstChild.remove();
    return box;
  }

  clear(key) {
    this.box.querySelector(`.message[data-key="${CSS.escape(key)}"]`)?.remove();
  }

  #make(text, kind, key) {
    const box = document.createElement('div');
    box.className = `message ${kind}`;
    box.dataset.text = text;
    box.dataset.kind = kind;
    box.dataset.count = '1';
    if (key) box.dataset.key = key;
    box.setAttribute('role', kind === 'error' ? 'alert' : 'status');
    const span = document.createElement('span');
    span.textContent = text;
    const count = document.createElement('b');
    count.className = 'count';
    const close = document.createElement('button');
    close.type = 'button';
    close.textContent = '×';
    close.title = '閉じる';
    close.setAttribute('aria-label', '閉じる');
    close.addEventListener('click', () => box.remove());
    box.append(span, count, close);
    return box;
  }
}

// Asks in the page's own dialog. choose(text, [[value, label], …]) resolves with the value of the
// button chosen, or null for Esc; the last button is the default one. Only one question at a
// time: a new one answers the last with null.
let pending = null;
export function choose(text, buttons) {
  const dialog = document.getElementById('ask');
  pending?.(null);
  document.getElementById('ask-text').textContent = text;
  const row = dialog.querySelector('.buttons');
  row.replaceChildren(...buttons.map(([value, label], i) => {
    const b = document.createElement('button');
    b.value = value;
    b.textContent = label;
    if (i === buttons.length - 1) {
      b.className = 'primary';
      b.autofocus = true;
    }
    b.id = `ask-${value}`;
    return b;
  }));
  return new Promise((resolve) => {
    pending = (answer) => {
      pending = null;
      dialog.onclose = null;
      if (dialog.open) dialog.close();
      resolve(answer);
    };
    dialog.onclose = () => pending?.(dialog.returnValue || null);
    dialog.returnValue = '';
    if (!dialog.open) dialog.showModal();
  });
}

// A yes-or-no question; Esc is no.
export const ask = async (text, yes = 'はい', no = 'キャンセル') => (await choose(text, [['no', no], ['yes', yes]])) === 'yes';

// Names for a message, at most a few, then how many more: "「a」、「b」 ほか3曲".
export const fewNames = (names, unit) => names.slice(0, 6).join('、') + (names.length > 6 ? ` ほか${names.length - 6}${unit}` : '');
