// The pads of the current page: their look (state, playing, cut, streamed), their keys, and
// what a click, Enter or a right click on one does.

import { $, engine, show } from './deck.js';
import * as S from './show.js';
import { composing } from './keys.js';
import { padState, stateText } from './files.js';
import { setText, setWidth } from './paint.js';
import { openEditor } from './view-editor.js';
import { untilReleased } from './pointer.js';

export let padElements = new Map(); // pad → element on the current page
export let hotkeys = new Map(); // key name → pad on the current page
export const cutPads = new Set(); // pads a reload cut off, until they are played again

export function renderGrid() {
  const page = show.pages[show.currentPage];
  padElements = new Map();
  hotkeys = new Map();
  const base = S.flatIndex(show, show.currentPage, 0);
  const cells = page.pads.map((pad, slot) => {
    const el = document.createElement('div');
    el.className = 'pad';
    el.setAttribute('role', 'button');
    el.dataset.index = String(base + slot);
    el.style.setProperty('--pad-color', pad.color);
    el.innerHTML =
      '<span class="key"></span><span class="badge" hidden title="長いか、メモリに収まらないため、ファイルから直接再生します">直接再生</span><span class="duck-mark" hidden>ダック</span>' +
      '<button class="edit" type="button" title="パッドの設定">✎</button><span class="label"></span>' +
      '<span class="status"></span><span class="mode"></span><span class="progress"></span>';
    el.querySelector('.key').textContent = pad.hotkey;
    el.querySelector('.label').textContent = pad.label || (pad.path ? S.stripExtension(pad.name) : '');
    el.querySelector('.mode').textContent = { oneshot: '', toggle: 'トグル', loop: 'ループ', hold: '押す間' }[pad.mode];
    el.querySelector('.duck-mark').hidden = !pad.duck;
    el.title = pad.path || '';
    el.tabIndex = 0; // reachable from the keyboard: Enter plays it
    el.setAttribute('aria-label', `パッド ${slot + 1}${pad.hotkey ? `（キー ${pad.hotkey}）` : ''}: ${pad.label || (pad.path ? S.stripExtension(pad.name) : '未割当')}`);
    el.querySelector('.edit').setAttribute('aria-label', `パッド ${slot + 1} の設定`);
    padElements.set(pad, el);
    if (pad.hotkey && !hotkeys.has(pad.hotkey)) hotkeys.set(pad.hotkey, pad);
    updatePad(pad);
    return el;
  });
  const rows = Math.ceil(page.pads.length / S.PADS_PER_ROW);
  $('grid').style.setProperty('--rows', String(rows));
  $('grid').classList.toggle('dense', rows > 6);
  $('grid').replaceChildren(...cells);
}

// Brings a pad's look up to date, touching only what changed.
export function updatePad(pad) {
  const el = padElements.get(pad);
  if (!el) return;
  const state = padState(pad);
  const entry = engine.fileState(pad.path);
  const playing = engine.isPlaying(pad);
  if (playing) cutPads.delete(pad);
  const set = (key, value) => el.dataset[key] !== value && (el.dataset[key] = value);
  set('state', state);
  set('playing', String(playing));
  const badge = el.querySelector('.badge');
  if (badge.hidden !== !(entry && entry.stream)) badge.hidden = !badge.hidden;
  if (el.classList.contains('playing') !== playing) el.classList.toggle('playing', playing);
  const cut = !playing && cutPads.has(pad);
  if (el.classList.contains('cut') !== cut) el.classList.toggle('cut', cut);
  if (!playing) {
    setText(el.querySelector('.status'), cut ? '中断' : stateText(pad));
    setWidth(el.querySelector('.progress'), 0);
  }
}

// The pad lights in the key handler itself (the one change the next frame paints); the rest of
// what sounds follows a frame later, its clock on the next tick.
export function lightPad(pad) {
  const el = padElements.get(pad);
  if (!el || !engine.isPlaying(pad)) return;
  el.classList.add('playing');
  el.dataset.playing = 'true';
}

// A click plays a pad (or opens the editor of an empty one, or of any with ✎); Enter on a
// focused pad does the same; a right click opens its editor.
export function installGrid() {
  const grid = $('grid');
  const padOf = (e) => {
    const el = e.target.closest('.pad');
    return el ? S.padAt(show, Number(el.dataset.index)) : null;
  };
  grid.addEventListener('pointerdown', (e) => {
    if (e.button !== 0) return;
    const at = padOf(e);
    if (!at) return;
    if (e.target.closest('.edit') || !at.pad.path) openEditor(at.page, at.slot);
    else if (engine.trigger(at.pad)) {
      lightPad(at.pad);
      if (at.pad.mode === 'hold') untilReleased(e, () => engine.release(at.pad));
    }
  });
  grid.addEventListener('keydown', (e) => {
    const el = e.target.closest('.pad');
    if (e.key !== 'Enter' || !el || e.target !== el || composing(e)) return;
    const at = padOf(e);
    if (!at) return;
    e.preventDefault();
    if (e.repeat) return;
    if (!at.pad.path) openEditor(at.page, at.slot);
    else if (engine.trigger(at.pad)) lightPad(at.pad);
  });
  grid.addEventListener('keyup', (e) => {
    const at = e.key === 'Enter' && e.target.closest('.pad') ? padOf(e) : null;
    if (at && at.pad.mode === 'hold') engine.release(at.pad);
  });
  grid.addEventListener('contextmenu', (e) => {
    if (!e.target.closest('.pad')) return;
    e.preventDefault();
    const at = padOf(e);
    if (at) openEditor(at.page, at.slot);
  });
}
