'use strict';
// The loudness meter against signals whose loudness is known by construction: a 0 dBFS 1 kHz sine
// on one channel is −3.01 LKFS, so the same sine at −20 dBFS is −23.0; silence and quiet parts
// are gated out; two channels add 3.01 LU; the true peak finds what lies between samples.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { pageModule } = require('./helpers/page-modules.js');

// seconds of a sine at dBFS, or of silence (db null), one part after another, on `channels`.
function signal(rate, parts, { freq = 1000, channels = 1, phase = 0 } = {}) {
  const frames = parts.reduce((n, [seconds]) => n + Math.round(seconds * rate), 0);
  const data = new Float32Array(frames);
  let at = 0;
  for (const [seconds, db] of parts) {
    const amp = db === null ? 0 : 10 ** (db / 20);
    for (let end = at + Math.round(seconds * rate); at < end; at++) data[at] = amp * Math.sin((2 * Math.PI * freq * at) / rate + phase);
  }
  return Array.from({ length: channels }, () => data);
}

const near = (actual, expected, within, what) => assert.ok(Math.abs(actual - expected) <= within, `${what}: ${actual} (expected ${expected} ± ${within})`);

test('K-weighting at 48 kHz is the standard\'s table; the reference sines measure as the standard says, at 48 and 44.1 kHz', async () => {
  const L = await pageModule('loudness.js');
  const [shelf, hp] = L.kWeighting(48000);
  const table = [[shelf, { b0: 1.53512485958697, b1: -2.69169618940638, b2: 1.19839281085285, a1: -1.69065929318241, a2: 0.73248077421585 }],
    [hp, { b0: 1, b1: -2, b2: 1, a1: -1.99004745483398, a2: 0.99007225036621 }]];
  for (const [got, want] of table) for (const k of Object.keys(want)) near(got[k], want[k], 1e-9, k);

  for (const rate of [48000, 44100]) {
    near(L.measure(signal(rate, [[5, 0]]), rate).integrated, -3.01, 0.1, `${rate}: 0 dBFS, one channel`);
    near(L.measure(signal(rate, [[5, -20]]), rate).integrated, -23.0, 0.1, `${rate}: −20 dBFS, one channel`);
    near(L.measure(signal(rate, [[5, -20]], { channels: 2 }), rate).integrated, -23.0 + 3.01, 0.1, `${rate}: −20 dBFS on both channels`);
    // A surround channel weighs 1.41 (+1.49 dB); the LFE not at all.
    const six = signal(rate, [[3, -20]], { channels: 6 }).map((ch, i) => (i === 4 ? ch : new Float32Array(ch.length)));
    near(L.measure(six, rate).integrated, -23.0 + 10 * Math.log10(1.41), 0.1, `${rate}: −20 dBFS on the left surround`);
    const lfe = signal(rate, [[3, -20]], { channels: 6 }).map((ch, i) => (i === 3 ? ch : new Float32Array(ch.length)));
    assert.equal(L.measure(lfe, rate).integrated, -Infinity);
  }
});

test('gating: silence under −70 LUFS and parts 10 LU under the rest leave the tone\'s loudness; a file all silence is −∞', async () => {
  const L = await pageModule('loudness.js');
  const rate = 48000;
  near(L.measure(signal(rate, [[20, -20], [40, null]]), rate).integrated, -23.0, 0.1, 'tone, then digital silence');
  near(L.measure(signal(rate, [[20, -20], [40, -80]]), rate).integrated, -23.0, 0.1, 'tone, then a part under the absolute gate');
  near(L.measure(signal(rate, [[20, -20], [40, -50]]), rate).integrated, -23.0, 0.1, 'tone, then a part under the relative gate');
  // Without the relative gate the quieter part would count: −20 and −28 dBFS over equal time are
  // both within 10 LU, so both are measured.
  const mixed = 10 * Math.log10((10 ** -2.3 + 10 ** -3.1) / 2);
  near(L.measure(signal(rate, [[20, -20], [20, -28]]), rate).integrated, mixed, 0.1, 'two parts within 10 LU');
  assert.equal(L.measure(signal(rate, [[3, null]]), rate).integrated, -Infinity);
  // Blocks overlap by 75 %: a 0.3 s burst on a 100 ms edge is in six blocks, which hold 1, 2, 3,
  // 3, 2 and 1 of its tenths of a second: half the tone's power on average.
  near(L.measure(signal(rate, [[1, null], [0.3, -20], [1.7, null]]), rate).integrated, -23.0 + 10 * Math.log10(12 / 24), 0.1, 'a short burst');
  // Shorter than a block: measured as one block of its own length.
  near(L.measure(signal(rate, [[0.3, -20]]), rate).integrated, -23.0, 0.15, '0.3 s tone');
});

test('slices pushed one by one measure as the whole file does', async () => {
  const L = await pageModule('loudness.js');
  const rate = 44100;
  const channels = signal(rate, [[2, -12], [3, -30], [1, null]], { freq: 440, channels: 2 });
  const whole = L.measure(channels, rate);
  const meter = new L.LoudnessMeter(rate, 2);
  for (let at = 0, step = 997; at < channels[0].length; at += step) meter.push(channels, at, Math.min(channels[0].length, at + step));
  const sliced = meter.result();
  for (const k of ['integrated', 'truePeak', 'samplePeak', 'seconds']) near(sliced[k], whole[k], 1e-9, k);
});

test('true peak finds the peak between samples; the gain reaches the target without going over −1 dBTP', async () => {
  const L = await pageModule('loudness.js');
  for (const rate of [48000, 44100]) {
    // A full-scale sine at a quarter of the rate, 45° off: every sample is ±0.707 (−3.01 dBFS),
    // the wave itself reaches 1 (0 dBTP) halfway between them.
    const m = L.measure(signal(rate, [[0.5, null], [0.5, 0], [0.5, null]], { freq: rate / 4, phase: Math.PI / 4 }), rate);
    near(m.samplePeak, -3.01, 0.01, `${rate}: sample peak`);
    near(m.truePeak, 0, 0.2, `${rate}: true peak`);
  }
  const gainDb = (m, target) => 20 * Math.log10(L.levelGain(m, target));
  near(gainDb({ integrated: -10, truePeak: -0.5 }, -16), -6, 1e-9, 'a loud file is turned down to the target');
  near(gainDb({ integrated: -30, truePeak: -12 }, -16), 11, 1e-9, 'a quiet file is turned up only as far as −1 dBTP');
  near(gainDb({ integrated: -30, truePeak: -20 }, -20), 10, 1e-9, 'with headroom, up to the target');
  assert.equal(L.levelGain({ integrated: -Infinity, truePeak: -Infinity }, -16), 1);
});
