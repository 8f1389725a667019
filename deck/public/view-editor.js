// The pad editor: label, colour, volume (heard at once), mode, fades, key (one key, one pad
// on a page), ducking, the pad's file, and its waveform with the start and end points.

import { $, engine, show, edit } from './deck.js';
import * as S from './show.js';
import * as bridge from './bridge.js';
import { keyName, hotkeyOwner } from './keys.js';
import { stateText } from './files.js';
import { updatePreflight } from './view-preflight.js';
import { fillLevel, installLevellingView } from './view-levelling.js';
import { padShape, peaks, envelope } from './pad-shape.js';

let editing = null; // {page, slot} of the pad open in the editor

export function openEditor(page, slot) {
  editing = { page, slot };
  if (!$('pad-editor').open) $('pad-editor').showModal(); // first: the waveform takes its width
  fillEditor();
  editorVoices();
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
  $('ed-fade-in').value = pad.fadeIn || 0;
  $('ed-hotkey').value = pad.hotkey;
  $('ed-duck').checked = pad.duck;
  $('ed-file').textContent = pad.path ? `${pad.name}（${stateText(pad)}）` : '未割当';
  $('ed-file').title = pad.path || '';
  for (const b of $('ed-colors').children) b.setAttribute('aria-pressed', String(b.dataset.color === pad.color));
  fillLevel(pad);
  drawWave();
}

function editPad(fn, merge = null, what = 'grid') {
  const pad = editingPad();
  if (!pad) return;
  edit(() => fn(pad), { what: editing.page === show.currentPage ? what : 'none', merge: merge && `${merge}:${editing.page}:${editing.slot}` });
  fillEditor();
}

// --- the waveform: start and end points, fades, and where the pad is while it sounds ----------

const waves = new WeakMap(); // decoded buffer → {columns, data}: computed once, drawn from then on
const MIN_PART = 0.01; // seconds: the end point stays this far after the start point
const STEP = 0.01; // seconds an arrow key moves a point (with Shift, ten times that)
let drag = null; // {which, seconds}: a point being dragged, shown at once and edited on release
let playheadTimer = 0;
const fmt = (s) => `${s.toFixed(3)} 秒`;

function waveOf(buffer, columns) {
  let w = waves.get(buffer);
  if (!w || w.columns !== columns) {
    const channels = Array.from({ length: buffer.numberOfChannels }, (_, c) => buffer.getChannelData(c));
    w = { columns, data: peaks(channels, columns) };
    waves.set(buffer, w);
  }
  return w.data;
}

// The editing pad's file when its length is known: {entry, total}; else null.
function sound() {
  const pad = editingPad();
  const entry = pad && engine.fileState(pad.path);
  return entry && entry.state === 'ready' && entry.duration > 0 ? { pad, entry, total: entry.duration } : null;
}

const pointOf = (pad, total, which) => (drag && drag.which === which ? drag.seconds : which === 'start' ? pad.trimStart || 0 : pad.trimEnd ?? total);

function drawWave() {
  const canvas = $('ed-wave-canvas');
  const w = canvas.clientWidth;
  const h = canvas.clientHeight;
  const ratio = window.devicePixelRatio || 1;
  if (canvas.width !== Math.round(w * ratio)) canvas.width = Math.round(w * ratio);
  if (canvas.height !== Math.round(h * ratio)) canvas.height = Math.round(h * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, w, h);
  const s = sound();
  for (const id of ['ed-mark-start', 'ed-mark-end']) $(id).hidden = !s;
  const pad = editingPad();
  if (!s) {
    const state = pad?.path ? engine.fileState(pad.path) : null;
    $('ed-wave-note').textContent = !pad?.path ? '' : state?.state === 'loading' || !state ? '読み込み中…' : state.state === 'ready' ? '長さが分からないため、開始・終了位置は決められません。' : '';
    return;
  }
  const { entry, total } = s;
  const start = pointOf(pad, total, 'start');
  const end = pointOf(pad, total, 'end');
  const x = (t) => (t / total) * w;
  if (entry.buffer && w > 0) {
    const data = waveOf(entry.buffer, Math.round(w));
    g.fillStyle = pad.color;
    for (let c = 0; c < data.length / 2; c++) {
      const top = ((1 - data[2 * c + 1]) * h) / 2;
      const bottom = ((1 - data[2 * c]) * h) / 2;
      g.fillRect(c, top, 1, Math.max(1, bottom - top));
    }
  } else {
    g.fillStyle = '#9aa1ad';
    g.font = '13px sans-serif';
    g.fillText('長い音源のため、波形は出しません', 8, h / 2 + 4);
  }
  g.fillStyle = 'rgba(0, 0, 0, 0.6)'; // what does not play
  g.fillRect(0, 0, x(start), h);
  g.fillRect(x(end), 0, w - x(end), h);
  const rate = entry.buffer ? entry.buffer.sampleRate : 48000;
  const shape = padShape({ ...pad, trimStart: start, trimEnd: end >= total ? null : end }, entry.buffer ? entry.buffer.length : Math.round(total * rate), rate);
  g.strokeStyle = '#facc15'; // the fades
  g.lineWidth = 2;
  g.beginPath();
  for (const [t, v] of envelope(shape, rate)) g.lineTo(x(t), 1 + (1 - v) * (h - 2));
  g.stroke();
  for (const [which, at] of [['start', start], ['end', end]]) {
    const m = $(`ed-mark-${which}`);
    m.style.left = `${x(at)}px`;
    m.setAttribute('aria-valuemin', '0');
    m.setAttribute('aria-valuemax', total.toFixed(3));
    m.setAttribute('aria-valuenow', at.toFixed(3));
    m.setAttribute('aria-valuetext', fmt(at));
  }
  $('ed-wave-note').textContent = `開始 ${fmt(start)}・終了 ${fmt(end)}（長さ ${fmt(end - start)}）`;
}

// A point edited (one undo step for a run of arrow keys): kept inside the file and in order.
function setPoint(which, seconds, merge = null) {
  const s = sound();
  if (!s) return;
  const round = (t) => Math.round(t * 1e6) / 1e6;
  editPad((p) => {
    const end = p.trimEnd ?? s.total;
    if (which === 'start') p.trimStart = round(Math.min(Math.max(0, seconds), Math.max(0, end - MIN_PART)));
    else {
      const e = Math.min(s.total, Math.max(seconds, (p.trimStart || 0) + MIN_PART));
      p.trimEnd = e >= s.total - 1e-6 ? null : round(e);
    }
    engine.prepare(p);
  }, merge && `trim-${which}`, 'none');
}

function installWave() {
  const wave = $('ed-wave');
  const secondsAt = (e) => {
    const r = wave.getBoundingClientRect();
    return (Math.min(Math.max(0, e.clientX - r.left), r.width) / (r.width || 1)) * (sound()?.total || 0);
  };
  wave.addEventListener('pointerdown', (e) => {
    const s = sound();
    if (!s || e.button !== 0) return;
    e.preventDefault();
    // On a point, that one; elsewhere, the nearer one jumps there.
    const t = secondsAt(e);
    const which = e.target.dataset.point || (Math.abs(t - pointOf(s.pad, s.total, 'start')) <= Math.abs(t - pointOf(s.pad, s.total, 'end')) ? 'start' : 'end');
    $(`ed-mark-${which}`).focus();
    drag = { which, seconds: t };
    try {
      wave.setPointerCapture(e.pointerId);
    } catch {
      // a synthetic pointer: its moves still reach the waveform while over it
    }
    drawWave();
  });
  wave.addEventListener('pointermove', (e) => {
    if (!drag) return;
    drag.seconds = secondsAt(e);
    drawWave();
  });
  const drop = () => {
    if (!drag) return;
    const { which, seconds } = drag;
    drag = null;
    setPoint(which, seconds);
  };
  wave.addEventListener('pointerup', drop);
  wave.addEventListener('pointercancel', drop);
  for (const which of ['start', 'end']) {
    $(`ed-mark-${which}`).addEventListener('keydown', (e) => {
      const s = sound();
      const step = { ArrowLeft: -1, ArrowRight: 1, ArrowDown: -1, ArrowUp: 1 }[e.key];
      if (!s || (!step && e.key !== 'Home' && e.key !== 'End')) return;
      e.preventDefault();
      const at = pointOf(s.pad, s.total, which);
      setPoint(which, step ? at + step * STEP * (e.shiftKey ? 10 : 1) : e.key === 'Home' ? 0 : s.total, true);
    });
  }
}

// Something started or stopped: the playhead runs, ten times a second, only while the editor
// is open and its pad sounds.
export function editorVoices() {
  if (!playheadTimer && $('pad-editor').open && engine.isPlaying(editingPad())) movePlayhead();
}

function movePlayhead() {
  playheadTimer = 0;
  const s = sound();
  const at = s && $('pad-editor').open && engine.isPlaying(s.pad) ? engine.position(s.pad) : null;
  const head = $('ed-playhead');
  head.hidden = at === null;
  if (at === null) return;
  head.style.transform = `translateX(${(at / s.total) * $('ed-wave').clientWidth}px)`;
  playheadTimer = setTimeout(movePlayhead, 100);
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
  const fade = (v) => Math.min(30, Math.max(0, Number(v) || 0));
  $('ed-fade').addEventListener('change', (e) => editPad((p) => (p.fadeOut = fade(e.target.value)), null, 'none'));
  $('ed-fade-in').addEventListener('change', (e) => editPad((p) => (p.fadeIn = fade(e.target.value)), null, 'none'));
  installWave();
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
    drag = null;
    clearTimeout(playheadTimer);
    playheadTimer = 0;
    $('ed-playhead').hidden = true;
    $('ed-hotkey-note').textContent = '';
  });
}
