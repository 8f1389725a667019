'use strict';
// The BGM after a reload (resume.js): reading WAV files and finding samples, in node; the reload
// itself in WebKitGTK, the shell's engine, under Xvfb.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createDeckServer } = require('../server.js');
const { sineWav, writeTree } = require('./helpers/wav.js');
const { pageModule } = require('./helpers/page-modules.js');
const { noWebKit, inWebKit } = require('./helpers/webkit.js');

test('a WAV file\'s samples: where they lie, whole frames of them, every sample format, and where a piece of them is', async () => {
  const { wavLayout, wavRange, pcmToChannels, locate } = await pageModule('resume.js');
  const wav = sineWav({ seconds: 1, rate: 8000, channels: 2 });
  const listed = Buffer.concat([wav.subarray(0, 36), Buffer.from('LIST\x03\x00\x00\x00abc\x00', 'latin1'), wav.subarray(36)]);
  const layout = { offset: 44, size: 32000, rate: 8000, channels: 2, bits: 16, float: false };
  assert.deepEqual([wavLayout(wav), wavLayout(listed).offset], [layout, 56]);
  for (const other of [Buffer.from('RIFF\x04\x00\x00\x00WAVE'), Buffer.from('ID3\x03\x00\x00\x00\x00\x00\x00\x00\x00'), wav.subarray(0, 40)]) assert.equal(wavLayout(other), null);
  assert.deepEqual([wavRange(layout, 0.5, 10), wavRange(layout, 0.25, 0.1)], [{ start: 16044, end: 32043, frames: 4000, from: 0.5 }, { start: 8044, end: 11243, frames: 800, from: 0.25 }]);
  const formats = [[8, false, [0, 128, 255], [-1, 0, 127 / 128]], [16, false, [0, 128, 255, 127], [-1, 32767 / 32768]], [24, false, [0, 0, 128, 255, 255, 127], [-1, 1 - 2 ** -23]], [32, false, [0, 0, 0, 128], [-1]], [32, true, [0, 0, 192, 63], [1.5]]];
  for (const [bits, float, bytes, samples] of formats) assert.deepEqual([...pcmToChannels({ channels: 1, bits, float }, new Uint8Array(bytes))[0]], samples, `${bits}`);
  const pcm = Float32Array.from({ length: 6000 }, (_, i) => Math.sin((i * i) / 977));
  const piece = pcm.slice(1200, 1712);
  const tone = Float32Array.from({ length: 6000 }, (_, i) => Math.sin(i / 7));
  assert.deepEqual([locate(pcm, piece), locate(pcm, piece.map((x) => x * 0.98)), locate(pcm, piece, 1300), locate(pcm, new Float32Array(512)), locate(tone, tone.slice(900, 1412)), locate(tone, tone.slice(900, 1412).map((x) => x * 0.99))], [1712, 1712, -1, -1, 1412, -1]);
});

// Each step: an async function body run in the page (webkit_page.py); reload: true reloads it.
const deckUp = 'for (let i = 0; i < 600 && !window.jaunvelDeck; i++) await new Promise(requestAnimationFrame); const { bgm } = jaunvelDeck;';
const STEPS = [`${deckUp}
  window.setThemeFolderFromNative(show);
  while (!/^1\\/1 .*BGM 1曲/.test(document.getElementById('preflight').textContent)) await new Promise(requestAnimationFrame);
  document.getElementById('bgm-play').click();
  await new Promise((r) => bgm.element.addEventListener('timeupdate', function t() { if (bgm.element.currentTime > 2) r(bgm.element.removeEventListener('timeupdate', t)); }));
  document.dispatchEvent(new KeyboardEvent('keydown', { key: '1', code: 'Digit1', bubbles: true }));
  return JSON.stringify({ reload: true, at: bgm.element.currentTime, title: bgm.current.name });`,
// Reloaded again at once (the shell may, in its first seconds): the bridge plays or has just handed over.
`${deckUp} const { bridge } = await import('/resume.js');
  const cut = [document.querySelector('#grid .pad .status').textContent, document.querySelector('#messages .message:last-child span').textContent];
  return JSON.stringify({ reload: true, from: bridge.from, at: bridge.heard(bgm.element), cut, title: bgm.current.name, mark: performance.getEntriesByName('bgm-resumed')[0].startTime });`,
// The element, held back as it was at the handover, goes on with the bridge's timeline to the sample.
`${deckUp} const { bridge, wavLayout, pcmToChannels, locate } = await import('/resume.js');
  await bridge.finished;
  const ctx = bgm.engine.ctx, tap = ctx.createAnalyser(), w = new Float32Array(tap.fftSize = 2048);
  bgm.decks[bgm.active].delay.connect(ctx.createChannelSplitter(2)).connect(tap, 0);
  for (const _ of [1, 2]) await new Promise((r) => bgm.element.addEventListener('timeupdate', r, { once: true })); // the tap fills
  tap.getFloatTimeDomainData(w);
  const at = ctx.currentTime, bytes = new Uint8Array(await (await fetch(bgm.element.src)).arrayBuffer()), layout = wavLayout(bytes);
  const heard = locate(pcmToChannels(layout, bytes.subarray(layout.offset, layout.offset + layout.size))[0], w.subarray(1536), Math.floor(bridge.from * layout.rate));
  return JSON.stringify({ from: bridge.from, delay: bridge.delay, offBy: heard - Math.round((bridge.from + at - bridge.startedAt) * layout.rate), title: bgm.current.name, errors: __errors });`];

test('in WebKitGTK a reload with the BGM playing: the bridge plays on at its track and second, cut pads show as cut, a second reload at once resumes where it was heard, and the element takes over sample for sample', { skip: noWebKit, timeout: 90000 }, async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-resume-'));
  const noise = sineWav({ seconds: 40, rate: 44100, channels: 2 });
  for (let at = 44, x = 1; at < noise.length; at += 2) noise.writeInt16LE(((x = (Math.imul(x, 1103515245) + 12345) >>> 0) >>> 17) - 16384, at);
  writeTree(dir, { 'show/bgm/曲.wav': noise, 'show/効果/長い音.wav': { seconds: 20, freq: 500 } });
  const deck = createDeckServer({ port: 0 });
  const url = `http://localhost:${(await deck.start()).port}/`;
  const [cut, mid, end] = (await inWebKit({ url, show: path.join(dir, 'show'), dir, steps: STEPS, name: 'resume' }).finally(() => deck.close())).results;
  fs.rmSync(dir, { recursive: true, force: true });
  assert.ok(mid.from > cut.at - 0.001 && mid.from < cut.at + 0.5 && end.from > mid.at - 0.001 && end.from < mid.at + 0.3, JSON.stringify({ cut, mid, end }));
  assert.deepEqual([mid.title, end.title, mid.cut[0], mid.cut[1]], [cut.title, cut.title, '中断', '再読み込みで止まったパッド: 効果 1「長い音」']);
  assert.deepEqual([end.delay > 0, end.offBy, end.errors], [true, 0, []]);
  t.diagnostic(`WebKitGTK: BGM heard again ${Math.round(mid.mark)} ms after the reload began`);
});
