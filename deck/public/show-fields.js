// Settings of the show added after the first format: loudness levelling (for the show and per
// pad) and the countdown timers. All of them are new fields beside the old ones, with the same
// schemaVersion: an older deck reads a file written now and ignores them; a file written before
// them opens with levelling off and no timers.

import { timerFromDoc, timerToDoc, MAX_TIMERS } from './timers.js';

export const PAD_TARGET = -16; // LUFS
export const BGM_TARGET = -20;

const LOUDNESS_OFF = Object.freeze({ on: false, pads: PAD_TARGET, bgm: BGM_TARGET });
const target = (v, dflt) => (typeof v === 'number' && Number.isFinite(v) ? Math.min(-6, Math.max(-40, v)) : dflt);

// A show made now levels its sounds; one from an older file does not until the operator says so.
export const newShowFields = () => ({ loudness: { on: true, pads: PAD_TARGET, bgm: BGM_TARGET }, timers: [] });

export const loudnessOf = (show) => show.loudness || LOUDNESS_OFF;

export function writeShowFields(show, doc) {
  const l = loudnessOf(show);
  doc.loudness = { on: l.on, pads: l.pads, bgm: l.bgm };
  doc.timers = (show.timers || []).map(timerToDoc);
}

export function readShowFields(doc, show) {
  const l = doc.loudness && typeof doc.loudness === 'object' ? doc.loudness : {};
  show.loudness = { on: l.on === true, pads: target(l.pads, PAD_TARGET), bgm: target(l.bgm, BGM_TARGET) };
  show.timers = (Array.isArray(doc.timers) ? doc.timers : []).map(timerFromDoc).filter(Boolean).slice(0, MAX_TIMERS);
  const ids = new Set();
  show.timers = show.timers.filter((t) => !ids.has(t.id) && ids.add(t.id));
}

// A pad is levelled unless it was switched off (level: false).
export function writePadFields(pad, out) {
  out.level = pad.level !== false;
  writePadPlayFields(pad, out);
  return out;
}

export function readPadFields(raw, pad) {
  if (raw.level === false) pad.level = false;
  readPadPlayFields(raw, pad);
  return pad;
}

// --- what of a pad's sound plays: start and end points, fade-in ---------------------------
// trimStart (seconds into the file, 0 = its start), trimEnd (seconds, null = its end) and
// fadeIn (seconds) are written only when set, so a file without them is written back as it
// was; the mode 'hold' is one more value of the pad's mode, which an older deck reads as
// 'oneshot'. The fade-out (pad.fadeOut) was there before: it also fades a pad whose end
// point cuts the sound short.
export const newPadFields = () => ({ trimStart: 0, trimEnd: null, fadeIn: 0 });

const seconds = (v, hi = 86400) => (typeof v === 'number' && Number.isFinite(v) && v >= 0 ? Math.min(hi, v) : null);

function writePadPlayFields(pad, out) {
  if (pad.trimStart > 0) out.trimStart = pad.trimStart;
  if (seconds(pad.trimEnd) !== null) out.trimEnd = pad.trimEnd;
  if (pad.fadeIn > 0) out.fadeIn = pad.fadeIn;
}

function readPadPlayFields(raw, pad) {
  const start = seconds(raw.trimStart) || 0;
  const end = seconds(raw.trimEnd);
  Object.assign(pad, { trimStart: start, trimEnd: end !== null && end > start ? end : null, fadeIn: seconds(raw.fadeIn, 30) || 0 });
}
