'use strict';
// The arithmetic of a pad's points and fades, its waveform's columns, and its new settings
// fields, without a browser.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { pageModule } = require('./helpers/page-modules.js');

test('points become whole frames that start() lands on exactly; fades fit inside what plays', async () => {
  const { padShape, frameTime, EDGE_FADE } = await pageModule('pad-shape.js');
  // [pad, frames, rate] → [startFrame, endFrame, fadeIn, fadeOut]
  const cases = [
    [{}, 96000, 48000, [0, 96000, 0, 0]], // untrimmed: the file's own ends, no fade added
    [{ trimStart: 0.5, trimEnd: 1.5, fadeIn: 0.1, fadeOut: 0.2 }, 96000, 48000, [24000, 72000, 0.1, 0.2]],
    [{ trimStart: 1 / 44100, trimEnd: 0.7 }, 88200, 44100, [1, 30870, EDGE_FADE, EDGE_FADE]], // cut inside: no click
    [{ trimStart: 0.2, trimEnd: 0.5, fadeIn: 0.3, fadeOut: 0.3 }, 48000, 48000, [9600, 24000, 0.15, 0.15]], // shared in proportion
    [{ trimStart: -3, trimEnd: 99, fadeOut: 5 }, 1000, 1000, [0, 1000, 0, 0]], // out of range: pulled in
    [{ trimStart: 0.9, trimEnd: 0.1 }, 1000, 1000, [900, 901, 0.0005, 0.0005]], // end before start: one frame
  ];
  for (const [pad, frames, rate, want] of cases) {
    const s = padShape(pad, frames, rate);
    const got = [s.startFrame, s.endFrame, s.fadeIn, s.fadeOut].map((v) => Math.round(v * 1e9) / 1e9);
    assert.deepEqual(got, want, JSON.stringify(pad));
    assert.equal(Math.floor(s.offset * rate), s.startFrame);
    assert.equal(Math.round((s.fadeOutAt + s.fadeOut) * 1e9), Math.round(s.duration * 1e9));
  }
  for (const rate of [44100, 48000, 22050, 96000]) {
    for (let f = 0; f < 200000; f += 997) assert.ok(Math.floor(frameTime(f, rate) * rate) === f && frameTime(f, rate) * rate - f < 1e-6, `${f} @ ${rate}`);
  }
});

test('the waveform: the lowest and highest sample of each column over all channels', async () => {
  const { peaks } = await pageModule('pad-shape.js');
  const left = Float32Array.from([0.1, -0.5, 0.2, 0, 0, 0, 0.9, -0.1]);
  const right = Float32Array.from([0, 0, 0.7, 0, -0.8, 0, 0, 0]);
  assert.deepEqual([...peaks([left, right], 4)].map((v) => Math.round(v * 10) / 10), [-0.5, 0.1, 0, 0.7, -0.8, 0, -0.1, 0.9]);
  assert.deepEqual([...peaks([left], 16)].length, 32);
});

test('settings: a file from before opens and is written back as it was; hold, points and fade-in are kept', async () => {
  const S = await pageModule('show.js');
  const show = S.createShow();
  show.pages[0].pads[0] = S.createPad(0, { path: '/x/a.wav', name: 'a.wav' });
  const before = S.toSettingsText(show);
  assert.equal(S.toSettingsText(S.fromSettingsText(before)), before);
  assert.doesNotMatch(before, /trim|fadeIn/);
  Object.assign(show.pages[0].pads[0], { mode: 'hold', trimStart: 0.25, trimEnd: 1.5, fadeIn: 0.3 });
  const pad = S.fromSettingsText(S.toSettingsText(show)).pages[0].pads[0];
  assert.deepEqual([pad.mode, pad.trimStart, pad.trimEnd, pad.fadeIn], ['hold', 0.25, 1.5, 0.3]);
  const odd = JSON.parse(before);
  Object.assign(odd.pages[0].pads[0], { trimStart: 2, trimEnd: 1, fadeIn: -1, mode: 'gate' });
  const read = S.fromSettingsText(JSON.stringify(odd)).pages[0].pads[0];
  assert.deepEqual([read.mode, read.trimStart, read.trimEnd, read.fadeIn], ['oneshot', 2, null, 0]);
});
