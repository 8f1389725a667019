// The pad editor: label, colour, volume (heard at once), mode, fade-out, key (one key, one pad
// on a page), ducking, and the pad's file.

import { $, engine, show, edit } from './deck.js';
import * as S from './show.js';
import * as bridge from './bridge.js';
import { keyName, hotkeyOwner } from './keys.js';
import { stateText } from './files.js';
import { updatePreflight } from './view-preflight.js';
import { fillLevel, installLevellingView } from './view-levelling.js';

let editing = null; // {page, slot} of the pad open in the editor

export function openEditor(page, slot) {
  editing = { page, slot };
  fillEditor();
  if (!$('pad-editor').open) $('pad-editor').showModal();
}

export function editingPad() {
  return editing ? show.pages[editing.page]?.pads[editing.slot] : null;
}

export const isEditing = (page, slot) => Boolean(editing) && editing.page === page && editing.slot === slot;

// After the show was swapped: the editor shows its pad anew, or closes if the pad is gone.
export function refreshEditor() {
  if (editing && !editingPad()) $('pad-editor').close();
  else if (editing) fillEditor();
}

export function fillEditor() {
  const pad = editingPad();
  if (!pad) return;
  $('editor-title').textContent = `パッド ${editing.slot + 1} の設定（${show.pages[editing.page].name}）`;
  $('ed-label').value = pad.label;
  $('ed-volume').value = pad.volume;
  $('ed-volume-out').textContent = Math.round(pad.volume * 100);
  $('ed-mode').value = pad.mode;
  $('ed-fade').value = pad.fadeOut;
  $('ed-hotkey').value = pad.hotkey;
  $('ed-duck').checked = pad.duck;
  $('ed-file').textContent = pad.path ? `${pad.name}（${stateText(pad)}）` : '未割当';
  $('ed-file').title = pad.path || '';
  for (const b of $('ed-colors').children) b.setAttribute('aria-pressed', String(b.dataset.color === pad.color));
  fillLevel(pad);
}

function editPad(fn, merge = null) {
  const pad = editingPad();
  if (!pad) return;
  edit(() => fn(pad), { what: editing.page === show.currentPage ? 'grid' : 'none', merge: merge && `${merge}:${editing.page}:${editing.slot}` });
  fillEditor();
}

export function installEditor() {
  $('ed-colors').replaceChildren(
    ...S.COLORS.map((c) => {
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'swatch';
      b.dataset.color = c;
      b.style.background = c;
      b.title = c;
      b.addEventListener('click', () => editPad((p) => (p.color = c)));
      return b;
    }),
  );
  $('ed-label').addEventListener('input', (e) => editPad((p) => (p.label = e.target.value), 'label'));
  $('ed-volume').addEventListener('input', (e) => editPad((p) => {
    p.volume = Number(e.target.value);
    engine.setPadVolume(p); // heard at once if it is sounding
  }, 'volume'));
  $('ed-mode').addEventListener('change', (e) => editPad((p) => (p.mode = e.target.value)));
  $('ed-fade').addEventListener('change', (e) => editPad((p) => (p.fadeOut = Math.min(30, Math.max(0, Number(e.target.value) || 0)))));
  $('ed-duck').addEventListener('change', (e) => editPad((p) => (p.duck = e.target.checked)));
  $('ed-hotkey').addEventListener('keydown', (e) => {
    if (e.key === 'Tab' || e.key === 'Escape') return;
    e.preventDefault();
    const key = e.key === 'Backspace' || e.key === 'Delete' ? '' : keyName(e);
    if (key === null) return;
    // One key, one pad: a key another pad of this page has is refused, and says whose it is.
    const pads = show.pages[editing.page].pads;
    const owner = hotkeyOwner(pads, key, editing.slot);
    $('ed-hotkey-note').textContent = owner >= 0 ? `「${key}」はパッド ${owner + 1}（${pads[owner].label || '未割当'}）が使っています。` : '';
    if (owner < 0) editPad((p) => (p.hotkey = key));
  });
  $('ed-pick').addEventListener('click', () => bridge.pickPadFile(S.flatIndex(show, editing.page, editing.slot)));
  $('ed-clear').addEventListener('click', () => {
    editPad((p) => {
      engine.stopPad(p);
      Object.assign(p, { path: null, name: '', label: '' });
    });
    updatePreflight();
  });
  $('ed-test').addEventListener('click', () => {
    const pad = editingPad();
    if (pad) engine.trigger(pad);
  });
  installLevellingView(editPad, fillEditor);
  $('pad-editor').addEventListener('close', () => {
    editing = null;
    $('ed-hotkey-note').textContent = '';
  });
}
