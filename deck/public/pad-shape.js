// What part of a pad's sound plays and how it fades: its start and end points as whole sample
// frames of the decoded buffer, and its fades fitted into what plays. Worked out once per edit
// or decode (the engine keeps the result), so a key only reads numbers. No DOM here: node runs
// these rules as well.

export const HOLD_RELEASE = 0.03; // seconds of fade when a held pad is let go
export const EDGE_FADE = 0.004; // a cut inside the sound never starts or ends on a click

// Seconds of `frame` at `rate`, never a hair before it: an engine that turns the seconds back
// into frames by rounding down lands on this very frame, not the one before.
export function frameTime(frame, rate) {
  const t = frame / rate;
  return t * rate < frame ? t + Number.EPSILON * Math.max(1, t) : t;
}

// A pad's trims and fades over a sound of `length` frames at `rate` Hz:
//   startFrame, endFrame (end excluded), offset / end / duration in seconds for start(),
//   loopStart / loopEnd, fadeIn, fadeOut (at the end point, only when the end is cut short)
//   and fadeOutAt (seconds after the start when that fade begins).
// Points out of range are pulled in; fades longer than what plays share it in proportion.
export function padShape(pad, length, rate) {
  const frames = Math.max(1, length);
  const at = (seconds, dflt) => (typeof seconds === 'number' && Number.isFinite(seconds) ? Math.round(seconds * rate) : dflt);
  const startFrame = Math.min(frames - 1, Math.max(0, at(pad.trimStart, 0)));
  const endFrame = Math.min(frames, Math.max(startFrame + 1, at(pad.trimEnd, frames)));
  const duration = (endFrame - startFrame) / rate;
  const cutIn = startFrame > 0;
  const cutOut = endFrame < frames;
  let fadeIn = Math.max(cutIn ? EDGE_FADE : 0, Number(pad.fadeIn) || 0);
  let fadeOut = cutOut ? Math.max(EDGE_FADE, Number(pad.fadeOut) || 0) : 0;
  if (fadeIn + fadeOut > duration) {
    const k = duration / (fadeIn + fadeOut);
    fadeIn *= k;
    fadeOut *= k;
  }
  const offset = frameTime(startFrame, rate);
  const end = frameTime(endFrame, rate);
  return { startFrame, endFrame, offset, end, duration, loopStart: offset, loopEnd: end, fadeIn, fadeOut, fadeOutAt: duration - fadeOut };
}

// The lowest and highest sample of each of `columns` slices of the sound, over all its
// channels: [min0, max0, min1, max1, …]. Channels are Float32Arrays of equal length.
export function peaks(channels, columns) {
  const out = new Float32Array(columns * 2);
  const length = channels[0]?.length || 0;
  for (let c = 0; c < columns; c++) {
    const from = Math.floor((c * length) / columns);
    const to = Math.max(from + 1, Math.floor(((c + 1) * length) / columns));
    let lo = 0;
    let hi = 0;
    for (const data of channels) {
      for (let i = from; i < to && i < length; i++) {
        const v = data[i];
        if (v < lo) lo = v;
        else if (v > hi) hi = v;
      }
    }
    out[2 * c] = lo;
    out[2 * c + 1] = hi;
  }
  return out;
}

// The gain envelope drawn over the waveform: [seconds, 0..1] points from the start point to the
// end point of the file's `total` seconds.
export function envelope(shape, rate) {
  const s = shape.startFrame / rate;
  const e = shape.endFrame / rate;
  return [[s, 0], [s + shape.fadeIn, 1], [e - shape.fadeOut, 1], [e, shape.fadeOut > 0 ? 0 : 1]].filter((p, i, all) => i === 0 || p[0] > all[i - 1][0] || p[1] !== all[i - 1][1]);
}
