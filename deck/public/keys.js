// The show keys: which key does what, wherever the focus is. No DOM here beyond reading the
// event and the focused element, so the rules run in node as well.

// The name of a key as stored on a pad: letters upper-case, digits, F-keys. Physical key
// codes are used so an IME or a shifted layout does not change which pad fires.
export function keyName(e) {
  const code = e.code || '';
  if (/^Key[A-Z]$/.test(code)) return code.slice(3);
  if (/^(Digit|Numpad)[0-9]$/.test(code)) return code.slice(-1);
  if (/^F([1-9]|1[0-2])$/.test(code)) return code;
  if (e.key && e.key.length === 1 && e.key !== ' ') return e.key.toUpperCase();
  return null;
}

const TEXT_TYPES = new Set(['', 'text', 'search', 'email', 'password', 'url', 'tel', 'number']);

// Reading isContentEditable brings the page's style up to date first: a key pressed while a
// frame is pending would pay for that frame's style in its path to the sound. Only an element
// inside a contenteditable one can be editable here (the page sets no designMode).
const editable = (el) => (el.closest ? el.closest('[contenteditable]') !== null && el.isContentEditable : Boolean(el.isContentEditable));

// 'text' where typing goes into a field (text inputs, textareas, editable content, and any
// element marked data-keys="own", such as the hotkey field), else 'other'.
export function focusKind(el) {
  if (!el) return 'other';
  if (el.dataset?.keys === 'own' || editable(el)) return 'text';
  const tag = (el.tagName || '').toUpperCase();
  if (tag === 'TEXTAREA') return 'text';
  if (tag === 'INPUT') return TEXT_TYPES.has((el.getAttribute?.('type') || el.type || '').toLowerCase()) ? 'text' : 'other';
  return 'other';
}

// An input method is composing: the key belongs to it, Esc included (it cancels the
// conversion). WebKit reports the key that confirms a conversion as keyCode 229.
export const composing = (e) => Boolean(e.isComposing) || e.keyCode === 229;

// What a keydown does: {action: 'stop' | 'undo' | 'bgm' | 'page' | 'pad', key?, step?} or null
// when the key is not the deck's. Esc always stops (outside a composition); the other show
// keys give way to text entry; held keys do not repeat.
export function route(e, focus) {
  if (composing(e)) return null;
  if (e.key === 'Escape') return { action: 'stop' };
  const text = focus === 'text';
  const mod = e.ctrlKey || e.metaKey;
  if (mod && !e.altKey && !e.shiftKey && (e.code === 'KeyZ' || e.key === 'z' || e.key === 'Z')) return text ? null : { action: 'undo' };
  if (text || mod || e.altKey || e.repeat) return null;
  if (e.key === ' ' || e.code === 'Space') return { action: 'bgm' };
  if (e.key === 'PageDown' || e.key === 'PageUp') return { action: 'page', step: e.key === 'PageDown' ? 1 : -1 };
  const key = keyName(e);
  return key ? { action: 'pad', key } : null;
}

// The pad (its index on the page) that already uses key, other than slot; -1 if none.
export function hotkeyOwner(pads, key, slot) {
  if (!key) return -1;
  return pads.findIndex((p, i) => i !== slot && p.hotkey === key);
}
