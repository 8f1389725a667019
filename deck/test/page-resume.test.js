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
const { execFileSync, spawnSync } = require('node:child_process');
const { noWebKit, inWebKit } = require('./helpers/webkit.js');

const noLame = spawnSync('lame', ['--version']).error && 'lame is not installed';

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

test('MP3 frames: every version\'s header, a file read a chunk at a time past its tags, and what a bridge from a second asks for', async () => {
  const { frameHeader, FrameReader, mpegPlan } = await pageModule('mpeg.js');
  const header = (b1, b2, b3 = 0) => Buffer.from([0xff, b1, b2, b3]);
  const heads = [[0xfb, 0x90], [0xfb, 0x92], [0xf3, 0x80], [0xe3, 0x18, 0xc0], [0xfd, 0x90]].map(([a, b, c]) => frameHeader(header(a, b, c), 0));
  assert.deepEqual(heads.map((h) => h && [h.rate, h.samples, h.bytes, h.channels, h.side]), [[44100, 1152, 417, 2, 36], [44100, 1152, 418, 2, 36], [22050, 576, 208, 2, 21], [8000, 576, 72, 1, 13], null]);
  const frame = (n, b = Buffer.alloc(417)) => header(0xfb, 0x90).copy(b) && b.fill(n, 4) && b;
  const info = frame(0); // an Info tag with no fields, then a LAME tag: 576 samples of delay
  [info.write('Info\0\0\0\0LAME3.100', 36, 'latin1'), info.writeUIntBE((576 << 12) | 1000, 44 + 21, 3)];
  const id3 = Buffer.concat([Buffer.from('ID3\x04\x00\x00\x00\x00\x01\x00', 'latin1'), Buffer.alloc(128)]);
  const file = Buffer.concat([id3, info, ...Array.from({ length: 300 }, (_, i) => frame(i + 1)), Buffer.from('TAG')]);
  const reader = new FrameReader();
  for (let at = 0; at < file.length; at += 1000) reader.push(file.subarray(at, at + 1000), at + 1000 >= file.length);
  assert.deepEqual([reader.layout, reader.offsets.length, reader.offsets[0], reader.offsets[299]], [{ rate: 44100, channels: 2, samples: 1152, delay: 576 }, 300, 138 + 417, 138 + 417 * 300]);
  const index = { ...reader.layout, first: 0, offsets: reader.offsets };
  const plan = mpegPlan(index, 2, 4, 1); // second 2: sample 88200 + 1105 of what the decoder gives, in frame 77
  assert.deepEqual([plan.frames, plan.parts.map((p) => p.range[0]), plan.parts[0].from, Math.round(plan.parts[0].drop * 44100)], [[73, 231], [reader.offsets[73], reader.offsets[116 - 4]], 2, 88200 + 1105 - 73 * 1152]);
  assert.deepEqual([mpegPlan({ ...index, first: 74, offsets: reader.offsets.slice(74) }, 2, 4, 1), mpegPlan(index, 7.9, 4, 1)], [null, null]);
});

// Each step: an async function body run in the page (webkit_page.py); reload: true reloads it.
// `playedUntil` waits on the BGM and fails at once, saying so, when it stops for good instead
// (or has not moved for 5 s).
const deckUp = `const began = Date.now(); __progress = 'deck';
  for (let i = 0; i < 600 && !window.jaunvelDeck; i++) await new Promise(requestAnimationFrame); const { bgm } = jaunvelDeck;
  const playedUntil = (ok, what) => new Promise((resolve, reject) => {
    let still = 0, last = -1; // a player that holds a failed track plays it again once the server answers
    const watch = setInterval(() => {
      const el = bgm.element, gone = !bgm.playing && !bgm.held;
      still = el.currentTime === last ? still + 1 : 0, last = el.currentTime;
      if (ok() || gone || still > 50) clearInterval(watch);
      if (ok()) resolve();
      else if (gone || still > 50) reject(new Error(what + ': the BGM ' + (gone ? 'stopped' : 'stalled at ' + el.currentTime) + (el.error ? ', its element failed (' + el.error.code + ')' : '')));
    }, 100);
  });`;
// At the hand-over the element, held back, goes on with the bridge's timeline to the sample; on
// a busy machine WebKitGTK's feed of it may then lag a render block at any time (a block given
// again), so one such may come before it is looked at.
const handedOver = `const { bridge, wavLayout, pcmToChannels, locate } = await import('/resume.js');
  if (!bridge) throw new Error('no bridge after the reload: ' + JSON.stringify((await import('/resume.js')).playing));
  __progress = () => ({ handover: bridge.done, steady: bridge.steady, unsure: bridge.unsure, el: [bgm.element.currentTime, bgm.element.paused] });
  await bridge.finished;
  const ctx = bgm.engine.ctx, tap = ctx.createAnalyser(), w = new Float32Array(tap.fftSize = 2048), handed = ctx.currentTime, t0 = bgm.element.currentTime;
  bgm.decks[bgm.active].delay.connect(ctx.createChannelSplitter(2)).connect(tap, 0);
  while (ctx.currentTime < handed + 0.1) await new Promise(requestAnimationFrame); // the tap fills, past the crossfade
  tap.getFloatTimeDomainData(w);
  const at = ctx.currentTime, bytes = await (await fetch(bgm.element.src)).arrayBuffer(), layout = wavLayout(bytes);
  const heard = locate(pcmToChannels(layout, new Uint8Array(bytes, layout.offset, layout.size))[0], w.subarray(1536), Math.floor(bridge.from * bridge.rate));
  await playedUntil(() => bgm.element.currentTime > t0 + 0.3, 'after the hand-over');
  const over = { began, from: bridge.from, delay: bridge.delay, offBy: heard - Math.round((bridge.from + at - bridge.startedAt) * bridge.rate), title: bgm.current.name, errors: __errors.slice(), mark: performance.getEntriesByName('bgm-resumed')[0].startTime };`;
const STEPS = [`${deckUp}
  window.setThemeFolderFromNative(show);
  __progress = 'pre-flight'; while (!/^1\\/1 .*BGM 2曲/.test(document.getElementById('preflight').textContent)) await new Promise(requestAnimationFrame);
  document.getElementById('bgm-play').click();
  await playedUntil(() => bgm.element.currentTime > 2, 'the first play');
  document.dispatchEvent(new KeyboardEvent('keydown', { key: '1', code: 'Digit1', bubbles: true }));
  return JSON.stringify({ reload: true, now: Date.now(), at: bgm.element.currentTime, title: bgm.current.name });`,
// Reloaded again at once (the shell may, in its first seconds): the bridge plays or has just handed over.
`${deckUp} const { bridge } = await import('/resume.js');
  const cut = [document.querySelector('#grid .pad .status').textContent, document.querySelector('#messages .message:last-child span').textContent];
  return JSON.stringify({ reload: true, began, now: Date.now(), from: bridge.from, at: bridge.heard(bgm.element), cut, title: bgm.current.name, mark: performance.getEntriesByName('bgm-resumed')[0].startTime });`,
// Then an MP3 track, once the page knows its frames (as it would save them as it goes away).
`${deckUp} ${handedOver}
  bgm.playTrack(bgm.tracks.findIndex((t) => t.name.endsWith('.mp3')));
  await playedUntil(() => bgm.element.currentTime > 1, 'the MP3 track');
  const { savePlaying } = await import('/session.js'), saved = () => (savePlaying(), JSON.parse(localStorage.getItem('jaunvel.deck.playing')).bgm);
  for (let i = 0; !saved().mpeg; i++) if (i < 600) await new Promise(requestAnimationFrame); else throw new Error('the MP3 track\\'s frames were never read');
  return JSON.stringify({ ...over, reload: true, now: Date.now(), at: saved().time });`,
// The MP3 track's bridge plays from where it was heard: its first part, decoded and cut as the
// bridge does, lies at its second of the track decoded whole (so does what it plays, while it plays).
`${deckUp} const { bridge, playing, bridgePlan, locate } = await import('/resume.js');
  if (!bridge?.layout.mpeg) throw new Error('no MP3 bridge after the reload: ' + JSON.stringify(playing));
  const sound = (await Promise.race([bridge.started, bridge.finished]), bridge.pcm?.slice(0, 512)), url = '/media?path=' + encodeURIComponent(bridge.path), plan = bridgePlan(bridge.layout, playing.bgm.time);
  const decode = async (range) => (await new OfflineAudioContext(1, 1, bridge.rate).decodeAudioData(await (await fetch(url, { headers: range ? { Range: 'bytes=' + range.join('-') } : {} })).arrayBuffer())).getChannelData(0);
  const whole = await decode(), part = await decode(plan.parts[0].range), skip = Math.round(plan.parts[0].drop * bridge.rate), at = Math.round(bridge.from * bridge.rate);
  const placed = [locate(whole, part.subarray(skip, skip + 512), at - 4096) - 512 - at, sound ? locate(whole, sound, at - 4096) - 512 - at : 0];
  return JSON.stringify({ began, from: bridge.from, placed, title: bgm.current.name, errors: __errors, mark: performance.getEntriesByName('bgm-resumed')[0].startTime });`];

test('in WebKitGTK a reload with the BGM playing: the bridge plays on at its track and second, cut pads show as cut, a second reload at once resumes where it was heard, and the element takes over sample for sample, from a WAV or an MP3 track', { skip: noWebKit || noLame, timeout: 90000 }, async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-resume-'));
  const noise = (seconds, x, wav = sineWav({ seconds, rate: 44100, channels: 2 })) => {
    for (let at = 44; at < wav.length; at += 2) wav.writeInt16LE(((x = (Math.imul(x, 1103515245) + 12345) >>> 0) >>> 17) - 16384, at);
    return wav;
  };
  writeTree(dir, { 'show/bgm/1 曲.wav': noise(40, 1), 'mp3.wav': noise(20, 7), 'show/効果/長い音.wav': { seconds: 20, freq: 500 } });
  execFileSync('lame', ['--quiet', '-b', '128', path.join(dir, 'mp3.wav'), path.join(dir, 'show/bgm/2 歌.mp3')]); // with its LAME tag: the encoder's delay
  const deck = createDeckServer({ port: 0 });
  const url = `http://localhost:${(await deck.start()).port}/`;
  const [cut, mid, end, mpeg] = (await inWebKit({ url, show: path.join(dir, 'show'), dir, steps: STEPS, name: 'resume', timeout: 75000 }).finally(() => deck.close())).results;
  fs.rmSync(dir, { recursive: true, force: true });
  // Where the page went on: from the second saved, at most as far on as the reload took.
  const resumed = (before, after) => after.from > before.at - 0.001 && after.from < before.at + (after.began - before.now) / 1000 + 0.05;
  assert.ok(resumed(cut, mid) && resumed(mid, end) && resumed(end, mpeg), JSON.stringify({ cut, mid, end, mpeg }));
  assert.deepEqual([mid.title, end.title, mid.cut[0], mid.cut[1], mpeg.title], [cut.title, cut.title, '中断', '再読み込みで止まったパッド: 効果 1「長い音」', '2 歌.mp3']);
  assert.deepEqual([end.delay > 0, [0, -128].includes(end.offBy) || end.offBy, end.errors, mpeg.placed, mpeg.errors], [true, true, [], [0, 0], []]);
  t.diagnostic(`WebKitGTK: BGM heard again ${Math.round(mid.mark)} ms (WAV) and ${Math.round(mpeg.mark)} ms (MP3) after the reload began`);
});
