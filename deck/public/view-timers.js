// Countdown timers on the deck: a strip of large clocks under the now-playing strip, each with
// start / pause / reset and its editor; the pad chosen for zero (and a warning pad some time
// before) is fired by the timer. Time left always comes from the wall clock (timers.js), so a
// busy page shows the right time on its next frame and a reload goes on where it was.

import { $, engine, show, edit, notify } from './deck.js';
import * as T from './timers.js';
import { setText } from './paint.js';
import { lightPad } from './view-grid.js';
import { padState, stateText } from './files.js';

const RUNS_KEY = 'jaunvel.deck.timers';
const TICK_MS = 250;

let runs = {}; // timer id → run
let tickTimer = 0;
let editingId = null;
const now = () => Date.now();

function saveRuns() {
  try {
    localStorage.setItem(RUNS_KEY, JSON.stringify(runs));
  } catch {
    // storage full: the timers still run, they just will not survive a reload
  }
}

const padName = (ref) => {
  const page = ref && show.pages[ref.page];
  const pad = page?.pads[ref.slot];
  return pad ? `${page.name} ${ref.slot + 1}「${pad.label || pad.name || '未割当'}」` : '';
};

// Plays the pad a timer names, unless it is sounding in a mode where a press would stop it.
// False while its file is still loading (just after a reload): it is tried again on the next tick.
function fire(ref, what, timer) {
  const pad = show.pages[ref?.page]?.pads[ref.slot];
  if (!pad?.path) return true;
  if (padState(pad) === 'loading') return false;
  if (engine.isPlaying(pad) && pad.mode !== 'oneshot') return true;
  if (engine.trigger(pad)) lightPad(pad);
  else notify(`タイマー「${timer.name}」の${what}のパッド ${padName(ref)} を鳴らせません（${stateText(pad)}）。`, 'error');
  return true;
}

function tick() {
  tickTimer = 0;
  const t = now();
  let changed = false;
  let next = Infinity;
  for (const timer of show.timers || []) {
    const before = runs[timer.id];
    if (!before) continue;
    let { run, events } = T.dueEvents(timer, before, t);
    if (events.includes('warn') && !fire(timer.warnPad, '予告', timer)) run = { ...run, warned: false };
    if (events.includes('zero')) {
      if (fire(timer.pad, '終了', timer)) notify(`タイマー「${timer.name}」が 0:00 になりました。`);
      else run = { ...run, fired: false };
    }
    if (run.warned !== before.warned || run.fired !== before.fired) {
      runs[timer.id] = run;
      changed = true;
    }
    const due = T.nextDue(timer, run);
    if (due !== null) next = Math.min(next, due);
    if (T.running(run) && !run.fired) next = Math.min(next, t + TICK_MS);
  }
  if (changed) saveRuns();
  paintClocks(t);
  if (next < Infinity) tickTimer = setTimeout(tick, Math.max(0, Math.min(TICK_MS, next - t)));
}

function schedule() {
  clearTimeout(tickTimer);
  tick();
}

function paintClocks(t) {
  for (const card of $('timers').children) {
    const timer = card.timer;
    const run = runs[timer.id];
    const left = T.leftMs(run, t);
    setText(card.querySelector('.left'), T.formatLeft(left ?? timer.seconds * 1000));
    const state = !run ? 'idle' : left === 0 ? 'done' : !T.running(run) ? 'paused'
      : timer.warnPad && timer.warnBefore > 0 && left <= timer.warnBefore * 1000 ? 'warn' : 'running';
    if (card.dataset.state !== state) {
      card.dataset.state = state;
      setText(card.querySelector('.go'), state === 'running' || state === 'warn' ? '一時停止' : state === 'paused' ? '▶ 再開' : '▶ 開始');
    }
  }
}

export function renderTimers() {
  const timers = show.timers || [];
  const ids = new Set(timers.map((t) => t.id));
  for (const id of Object.keys(runs)) if (!ids.has(id)) delete runs[id];
  $('timers').hidden = timers.length === 0;
  $('timers').replaceChildren(...timers.map((timer) => {
    const card = document.createElement('div');
    card.className = 'timer';
    card.timer = timer;
    card.innerHTML = '<span class="name"></span><span class="left" role="timer"></span><span class="what"></span>' +
      '<span class="buttons"><button type="button" class="go"></button><button type="button" class="reset">↺ リセット</button><button type="button" class="edit" title="タイマーの設定">✎</button></span>';
    card.querySelector('.name').textContent = timer.name;
    const what = [timer.pad && `0:00 で ${padName(timer.pad)}`, timer.warnPad && timer.warnBefore > 0 && `${T.formatLeft(timer.warnBefore * 1000)} 前に ${padName(timer.warnPad)}`].filter(Boolean);
    card.querySelector('.what').textContent = what.join('・');
    card.querySelector('.go').addEventListener('click', () => toggle(timer));
    card.querySelector('.reset').addEventListener('click', () => {
      delete runs[timer.id];
      saveRuns();
      schedule();
    });
    card.querySelector('.edit').addEventListener('click', () => openTimerEditor(timer.id));
    return card;
  }));
  schedule();
}

function toggle(timer) {
  const run = runs[timer.id];
  const t = now();
  if (!run || run.fired) runs[timer.id] = T.startRun(timer, t);
  else runs[timer.id] = T.running(run) ? T.pauseRun(run, t) : T.resumeRun(run, t);
  saveRuns();
  schedule();
}

// --- the timer editor ---------------------------------------------------------------------

const editingTimer = () => (show.timers || []).find((t) => t.id === editingId);

function padOptions(select, ref) {
  const options = [new Option('なし', '')];
  show.pages.forEach((page, p) => page.pads.forEach((pad, slot) => {
    if (pad.path) options.push(new Option(`${page.name} ${slot + 1}「${pad.label || pad.name}」`, `${p}:${slot}`));
  }));
  select.replaceChildren(...options);
  select.value = ref ? `${ref.page}:${ref.slot}` : '';
  if (select.selectedIndex < 0) select.value = '';
}

function fillTimerEditor() {
  const timer = editingTimer();
  if (!timer) return;
  // A field the operator is in is left as typed.
  const put = (id, value) => document.activeElement !== $(id) && ($(id).value = value);
  put('tm-name', timer.name);
  put('tm-length', T.formatLeft(timer.seconds * 1000));
  put('tm-warn', timer.warnBefore);
  padOptions($('tm-pad'), timer.pad);
  padOptions($('tm-warn-pad'), timer.warnPad);
}

function editTimer(fn, merge = null) {
  const id = editingId;
  edit((s) => {
    s.timers = s.timers.map((t) => (t.id === id ? { ...t } : t));
    fn(s.timers.find((t) => t.id === id));
  }, { what: 'timers', merge: merge && `timer:${id}:${merge}` });
}

export function openTimerEditor(id) {
  editingId = id;
  fillTimerEditor();
  if (!$('timer-editor').open) $('timer-editor').showModal();
}

const refOf = (value) => {
  const [page, slot] = value.split(':').map(Number);
  return value ? { page, slot } : null;
};

export function installTimers() {
  runs = T.runsFromText(localStorage.getItem(RUNS_KEY), show.timers || []);
  $('btn-timer-add').addEventListener('click', () => {
    if ((show.timers || []).length >= T.MAX_TIMERS) {
      notify(`タイマーは ${T.MAX_TIMERS} 個までです。`, 'error');
      return;
    }
    const timer = T.createTimer({ name: (show.timers || []).length ? '試合開始まで' : '休憩' });
    edit((s) => (s.timers = [...(s.timers || []), timer]), { what: 'timers' });
    openTimerEditor(timer.id);
  });
  $('tm-name').addEventListener('input', (e) => editTimer((t) => (t.name = e.target.value.slice(0, 40) || 'タイマー'), 'name'));
  $('tm-length').addEventListener('change', (e) => {
    const seconds = T.parseLength(e.target.value);
    if (seconds !== null) editTimer((t) => (t.seconds = seconds));
    $('tm-length-note').textContent = seconds === null ? '「分:秒」で入れてください（例 10:00、1:30:00）。' : '';
    if (seconds !== null) e.target.value = T.formatLeft(seconds * 1000);
  });
  $('tm-pad').addEventListener('change', (e) => editTimer((t) => (t.pad = refOf(e.target.value))));
  $('tm-warn-pad').addEventListener('change', (e) => editTimer((t) => (t.warnPad = refOf(e.target.value))));
  $('tm-warn').addEventListener('change', (e) => editTimer((t) => (t.warnBefore = Math.min(24 * 3600, Math.max(0, Math.round(Number(e.target.value) || 0))))));
  $('tm-delete').addEventListener('click', () => {
    const id = editingId;
    $('timer-editor').close();
    edit((s) => (s.timers = s.timers.filter((t) => t.id !== id)), { what: 'timers' });
  });
  $('timer-editor').addEventListener('close', () => (editingId = null));
  renderTimers();
}

// After the show changed: the strip and an open editor follow it.
export function timersChanged() {
  renderTimers();
  if (editingId && !editingTimer()) $('timer-editor').close();
  else if (editingId) fillTimerEditor();
}
