// The BGM panel: the playlist (a double click or Enter plays a track; a track is moved by
// dragging it or with Alt+↑/↓, skipped with its box or Alt+S), what plays, and the play,
// next, shuffle and crossfade controls.

import { $, bgm, show, edit, notify } from './deck.js';
import * as S from './show.js';
import { composing } from './keys.js';
import { schedule } from './view-sounding.js';
import { moveTrack, skipTrack } from './action-bgm.js';

const DRAG_FROM_PX = 5; // a press that moves less is a click

function trackRow(t, i, current) {
  const li = document.createElement('li');
  li.title = t.path;
  li.tabIndex = 0;
  li.className = `${i === current ? 'current' : ''}${t.skip ? ' skipped' : ''}`;
  const skip = document.createElement('input');
  skip.type = 'checkbox';
  skip.className = 'skip';
  skip.tabIndex = -1; // the row takes the keys (Alt+S)
  skip.checked = Boolean(t.skip);
  skip.title = '飛ばす（再生しない）';
  skip.setAttribute('aria-label', `「${S.stripExtension(t.name)}」を飛ばす`);
  const name = document.createElement('span');
  name.className = 'name';
  name.textContent = S.stripExtension(t.name);
  li.append(skip, name);
  return li;
}

const rowIndex = (el) => (el ? Array.prototype.indexOf.call($('bgm-list').children, el) : -1);

export function renderBgm() {
  const list = $('bgm-list');
  const current = bgm.currentIndex;
  // A row with the focus (keyboard use) keeps it across the redraw, wherever its track went.
  const focused = document.activeElement?.parentElement === list ? document.activeElement.title : null;
  list.replaceChildren(...show.bgm.tracks.map((t, i) => trackRow(t, i, current)));
  const keep = focused != null ? [...list.children].find((li) => li.title === focused) : null;
  keep?.focus({ preventScroll: true });
  $('bgm-title').textContent = bgm.current ? S.stripExtension(bgm.current.name) + (bgm.held ? '（サーバー待ち）' : '')
    : bgm.allSkipped ? '全曲「飛ばす」' : show.bgm.tracks.length ? '停止中' : '—';
  $('bgm-play').textContent = bgm.playing ? '■ 一時停止' : '▶ 再生';
  $('bgm-play').disabled = !show.bgm.tracks.length;
  $('bgm-next').disabled = !show.bgm.tracks.length;
  $('bgm-shuffle').checked = show.bgm.shuffle;
  $('bgm-xfade').value = show.bgm.crossfade;
  $('bgm-xfade-out').textContent = `${show.bgm.crossfade}秒`;
  (keep || list.querySelector('.current'))?.scrollIntoView({ block: 'nearest' });
  schedule();
}

function onListKey(e) {
  const li = e.target.closest('li');
  const i = rowIndex(li);
  if (i < 0 || composing(e)) return;
  const alt = (e.altKey || e.ctrlKey) && !e.shiftKey && !e.metaKey;
  const plain = !e.altKey && !e.ctrlKey && !e.shiftKey && !e.metaKey;
  if (plain && e.key === 'Enter') bgm.playTrack(i);
  else if (alt && (e.key === 'ArrowUp' || e.key === 'ArrowDown')) moveTrack(i, i + (e.key === 'ArrowUp' ? -1 : 1));
  else if (alt && (e.key === 'Home' || e.key === 'End')) moveTrack(i, e.key === 'Home' ? 0 : show.bgm.tracks.length - 1);
  else if (e.altKey && !e.ctrlKey && !e.metaKey && e.code === 'KeyS') skipTrack(i, !show.bgm.tracks[i].skip);
  else if (plain && (e.key === 'ArrowUp' || e.key === 'ArrowDown')) li[e.key === 'ArrowUp' ? 'previousElementSibling' : 'nextElementSibling']?.focus();
  else return;
  e.preventDefault();
}

// The gap the pointer is over: 0 before the first row … n after the last.
function gapAt(list, y) {
  const rows = [...list.children];
  const i = rows.findIndex((r) => {
    const b = r.getBoundingClientRect();
    return y < b.top + b.height / 2;
  });
  return i < 0 ? rows.length : i;
}

// Dragging a row with the pointer (mouse or touch; pointer events behave alike in WebKitGTK
// and Chromium, HTML drag-and-drop does not). The track is held by its path, so a redraw
// while dragging (the next track starting) does not lose it.
function installDrag(list) {
  let drag = null;
  const mark = (gap) => {
    for (const [i, r] of [...list.children].entries()) {
      r.classList.toggle('drop-before', i === gap);
      r.classList.toggle('drop-after', gap === list.children.length && i === gap - 1);
      r.classList.toggle('lifted', r.title === drag?.path);
    }
  };
  list.addEventListener('pointerdown', (e) => {
    const li = e.target.closest('li');
    if (e.button !== 0 || !li || e.target.closest('input')) return;
    drag = { path: li.title, y0: e.clientY, id: e.pointerId, moving: false, gap: -1 };
  });
  list.addEventListener('pointermove', (e) => {
    if (!drag || e.pointerId !== drag.id) return;
    if (!drag.moving) {
      if (Math.abs(e.clientY - drag.y0) < DRAG_FROM_PX) return;
      drag.moving = true;
      list.classList.add('dragging');
      try {
        list.setPointerCapture(e.pointerId);
      } catch {
        // a synthetic pointer: the moves still arrive while over the list
      }
    }
    const box = list.getBoundingClientRect();
    if (e.clientY < box.top + 16) list.scrollTop -= 12;
    else if (e.clientY > box.bottom - 16) list.scrollTop += 12;
    drag.gap = gapAt(list, e.clientY);
    mark(drag.gap);
  });
  const end = (e) => {
    if (!drag || e.pointerId !== drag.id) return;
    const { path, moving, gap } = drag;
    drag = null;
    list.classList.remove('dragging');
    mark(-1);
    if (!moving) return;
    const from = show.bgm.tracks.findIndex((t) => t.path === path);
    if (e.type === 'pointerup' && from >= 0) moveTrack(from, gap > from ? gap - 1 : gap);
    // As after any pointer use of a control: the show keys are the operator's again.
    setTimeout(() => list.contains(document.activeElement) && document.activeElement.blur(), 0);
  };
  list.addEventListener('pointerup', end);
  list.addEventListener('pointercancel', end);
}

export function installBgmControls() {
  const list = $('bgm-list');
  list.addEventListener('dblclick', (e) => {
    const i = rowIndex(e.target.closest('li'));
    if (i >= 0 && !e.target.closest('input')) bgm.playTrack(i);
  });
  list.addEventListener('keydown', onListKey);
  list.addEventListener('change', (e) => {
    if (e.target.classList.contains('skip')) skipTrack(rowIndex(e.target.closest('li')), e.target.checked);
  });
  installDrag(list);
  bgm.addEventListener('allskipped', () => notify('BGMの曲がすべて「飛ばす」になっています。再生する曲がありません。', 'error', { key: 'bgm-skip' }));
  $('bgm-play').addEventListener('click', () => bgm.toggle());
  $('bgm-next').addEventListener('click', () => bgm.next());
  $('bgm-shuffle').addEventListener('change', (e) => {
    edit((s) => (s.bgm.shuffle = e.target.checked), { what: 'none' });
    bgm.setShuffle(show.bgm.shuffle);
  });
  $('bgm-xfade').addEventListener('input', (e) => {
    edit((s) => (s.bgm.crossfade = Number(e.target.value)), { what: 'none', merge: 'xfade' });
    bgm.crossfade = show.bgm.crossfade;
    $('bgm-xfade-out').textContent = `${show.bgm.crossfade}秒`;
  });
}
