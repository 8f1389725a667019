// Countdown timers: their settings (name, length, the pad fired at zero, a warning pad some time
// before) and the arithmetic of a running one. A run holds the moment it ends on the wall clock
// (Date.now()), never a count of ticks, so a busy page or a reload loses no time. Every function
// takes the clock as `now` (ms).

export const MAX_TIMERS = 8;
export const LATE_MS = 10000; // a pad due longer ago than this (the page was away) is not fired

let made = 0;
export function createTimer(fields = {}) {
  return { id: `t${Date.now().toString(36)}${(made++).toString(36)}`, name: '休憩', seconds: 600, pad: null, warnPad: null, warnBefore: 60, ...fields };
}

const num = (v, lo, hi, dflt) => (typeof v === 'number' && Number.isFinite(v) ? Math.min(hi, Math.max(lo, v)) : dflt);
const padRef = (v) => (v && Number.isInteger(v.page) && Number.isInteger(v.slot) && v.page >= 0 && v.slot >= 0 ? { page: v.page, slot: v.slot } : null);

// A timer as the settings file keeps it, and back (anything odd falls back to a default).
export const timerToDoc = (t) => ({ id: t.id, name: t.name, seconds: t.seconds, pad: t.pad, warnPad: t.warnPad, warnBefore: t.warnBefore });
export function timerFromDoc(raw) {
  if (!raw || typeof raw !== 'object') return null;
  return createTimer({
    ...(typeof raw.id === 'string' && raw.id ? { id: raw.id.slice(0, 40) } : {}),
    name: typeof raw.name === 'string' ? raw.name.slice(0, 40) : 'タイマー',
    seconds: Math.round(num(raw.seconds, 1, 24 * 3600, 600)),
    pad: padRef(raw.pad),
    warnPad: padRef(raw.warnPad),
    warnBefore: Math.round(num(raw.warnBefore, 0, 24 * 3600, 60)),
  });
}

// --- a running timer: {endsAt} while it runs, {left} while paused; warned/fired once done ------

export const startRun = (timer, now) => ({ endsAt: now + timer.seconds * 1000, warned: false, fired: false });
export const pauseRun = (run, now) => ({ left: Math.max(0, run.endsAt - now), warned: run.warned, fired: run.fired });
export const resumeRun = (run, now) => ({ endsAt: now + run.left, warned: run.warned, fired: run.fired });
export const running = (run) => Boolean(run) && typeof run.endsAt === 'number';

// Milliseconds left (0 once over), or null for a timer that is not started.
export function leftMs(run, now) {
  if (!run) return null;
  return Math.max(0, running(run) ? run.endsAt - now : run.left);
}

// What is due at `now`: {run, events} where events lists 'warn' and 'zero' to fire now. Each
// fires once; one found due more than LATE_MS late is marked done without firing, and so is a
// warning whose zero has already come.
export function dueEvents(timer, run, now) {
  if (!running(run)) return { run, events: [] };
  const events = [];
  const next = { ...run };
  const warnAt = run.endsAt - timer.warnBefore * 1000;
  if (!run.warned && timer.warnPad && timer.warnBefore > 0 && now >= warnAt) {
    next.warned = true;
    if (now < run.endsAt && now - warnAt <= LATE_MS) events.push('warn');
  }
  if (!run.fired && now >= run.endsAt) {
    next.fired = true;
    next.warned = true;
    if (timer.pad && now - run.endsAt <= LATE_MS) events.push('zero');
  }
  return { run: events.length || next.warned !== run.warned || next.fired !== run.fired ? next : run, events };
}

// When the next thing happens (a warning or zero) for a running timer, or null.
export function nextDue(timer, run) {
  if (!running(run)) return null;
  const warnAt = run.endsAt - timer.warnBefore * 1000;
  if (!run.warned && timer.warnPad && timer.warnBefore > 0) return Math.min(warnAt, run.endsAt);
  return run.fired ? null : run.endsAt;
}

// Time left as shown: whole seconds rounded up (a timer reads 0:00 only at zero), H:MM:SS past an hour.
export function formatLeft(ms) {
  const s = Math.ceil(Math.max(0, ms) / 1000);
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  const ss = String(s % 60).padStart(2, '0');
  return h ? `${h}:${String(m).padStart(2, '0')}:${ss}` : `${m}:${ss}`;
}

// A length as typed: "10" (minutes), "1:30" (minutes and seconds), "1:00:00"; null when it is
// not one, or not between 1 s and 24 h.
export function parseLength(text) {
  const parts = String(text).normalize('NFKC').trim().split(':');
  if (parts.length > 3 || parts.some((p) => !/^\d{1,4}$/.test(p))) return null;
  const n = parts.map(Number);
  const seconds = parts.length === 1 ? n[0] * 60 : n.reduce((a, b) => a * 60 + b, 0);
  if (parts.length > 1 && n.slice(1).some((v) => v > 59)) return null;
  return seconds >= 1 && seconds <= 24 * 3600 ? seconds : null;
}

// Runs kept in storage as {id: run}: only those of timers the show still has, well formed.
export function runsFromText(text, timers) {
  let doc;
  try {
    doc = JSON.parse(text || '{}');
  } catch {
    return {};
  }
  const runs = {};
  for (const t of timers) {
    const r = doc && doc[t.id];
    if (!r || typeof r !== 'object') continue;
    const flags = { warned: r.warned === true, fired: r.fired === true };
    if (Number.isFinite(r.endsAt)) runs[t.id] = { endsAt: r.endsAt, ...flags };
    else if (Number.isFinite(r.left)) runs[t.id] = { left: Math.max(0, r.left), ...flags };
  }
  return runs;
}
