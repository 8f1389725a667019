'use strict';
// A pad's points and fades as frames and seconds, its waveform's columns, and its settings fields.
const [{ test }, assert, { pageModule }] = [require('node:test'), require('node:assert/strict'), require('./helpers/page-modules.js')];

test('points become whole frames start() lands on; fades fit in what plays; the waveform\'s columns', async () => {
  const { padShape, frameTime, peaks, EDGE_FADE: E } = await pageModule('pad-shape.js');
  for (const [pad, frames, rate, want] of [ // → [startFrame, endFrame, fadeIn, fadeOut]
    [{ fadeOut: 1 }, 96000, 48000, [0, 96000, 0, 0]], // the file's own ends: nothing added
    [{ trimStart: 0.5, trimEnd: 1.5, fadeIn: 0.1, fadeOut: 0.2 }, 96000, 48000, [24000, 72000, 0.1, 0.2]],
    [{ trimStart: 1 / 44100, trimEnd: 0.7 }, 88200, 44100, [1, 30870, E, E]], // cut inside: no click
    [{ trimStart: 0.2, trimEnd: 0.5, fadeIn: 0.3, fadeOut: 0.3 }, 48000, 48000, [9600, 24000, 0.15, 0.15]], // shared
    [{ trimStart: 0.9, trimEnd: 0.1 }, 1000, 1000, [900, 901, 0.0005, 0.0005]], // end before start: one frame
  ]) {
    const s = padShape(pad, frames, rate);
    assert.deepEqual([s.startFrame, s.endFrame, s.fadeIn, s.fadeOut].map((v) => Math.round(v * 1e9) / 1e9), want, JSON.stringify(pad));
    assert.ok(Math.floor(s.offset * rate) === s.startFrame && Math.abs(s.fadeOutAt + s.fadeOut - s.duration) < 1e-9);
  }
  for (let f = 0, rate = 44100; f < 800000; f += 997, rate = [44100, 48000, 22050, 96000][f % 4]) assert.ok(Math.floor(frameTime(f, rate) * rate) === f && frameTime(f, rate) * rate - f < 1e-6, `${f} @ ${rate}`);
  assert.deepEqual([...peaks([[0.1, -0.5, 0.2, 0, 0, 0, 0.9, -0.1], [0, 0, 0.7, 0, -0.8, 0, 0, 0]].map((c) => Float32Array.from(c)), 4)].map((v) => Math.round(v * 10) / 10), [-0.5, 0.1, 0, 0.7, -0.8, 0, -0.1, 0.9]);
});

test('settings: a file from before is written back as it was; hold, points and fade-in are kept, odd values dropped', async () => {
  const S = await pageModule('show.js');
  const show = S.createShow();
  show.pages[0].pads[0] = S.createPad(0, { path: '/x/a.wav', name: 'a.wav' });
  const before = S.toSettingsText(show);
  assert.ok(S.toSettingsText(S.fromSettingsText(before)) === before && !/trim|fadeIn/.test(before), 'written back as it was');
  const fields = () => (({ mode, trimStart, trimEnd, fadeIn }) => [mode, trimStart, trimEnd, fadeIn])(S.fromSettingsText(S.toSettingsText(show)).pages[0].pads[0]);
  Object.assign(show.pages[0].pads[0], { mode: 'hold', trimStart: 0.25, trimEnd: 1.5, fadeIn: 0.3 });
  assert.deepEqual(fields(), ['hold', 0.25, 1.5, 0.3]);
  Object.assign(show.pages[0].pads[0], { mode: 'gate', trimStart: 2, trimEnd: 1, fadeIn: -1 });
  assert.deepEqual(fields(), ['oneshot', 2, null, 0]);
});
