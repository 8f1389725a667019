'use strict';
// The trigger bench's steps, run the same way in Chromium (page.evaluate) and WebKitGTK
// (webkit_page.py): bodies of async functions with `show` in scope, each returning JSON text.

const PRESSES = 4000;

// The page is up: its clock and its audio context.
const ready = `
for (let i = 0; i < 600 && !window.jaunvelDeck; i++) await new Promise(requestAnimationFrame);
let tick = Infinity;
for (let i = 0, last = performance.now(); i < 1e6 && tick === Infinity; i++) {
  const t = performance.now();
  if (t !== last) tick = t - last;
}
return JSON.stringify({ isolated: self.crossOriginIsolated, clockMs: tick, rate: jaunvelDeck.engine.ctx.sampleRate });
`;

// 64 pads (four pages of 16) decoded from the show folder.
const load = `
window.setThemeFolderFromNative(show);
const ok = () => /^64\\/64 /.test(document.getElementById('preflight').textContent);
for (let i = 0; i < 3000 && !ok(); i++) await new Promise(requestAnimationFrame);
const files = [...jaunvelDeck.engine.files.values()];
return JSON.stringify({ loaded: ok(), decoded: jaunvelDeck.engine.decodedBytes, budget: jaunvelDeck.engine.budget,
  buffers: files.filter((f) => f.buffer).length, streams: files.filter((f) => f.stream).length });
`;

// The floor for the memory: the same 64 files fetched and decoded by a bare page that keeps
// the buffers and does nothing else.
const bareLoad = `
for (let i = 0; i < 600 && !window.jaunvelDeck; i++) await new Promise(requestAnimationFrame);
const ctx = new AudioContext();
const list = await (await fetch('/api/list?recursive=1&dir=' + encodeURIComponent(show))).json();
window.kept = [];
for (const f of list.files) {
  const data = await (await fetch('/media?path=' + encodeURIComponent(f.path))).arrayBuffer();
  kept.push(await ctx.decodeAudioData(data));
}
return JSON.stringify({ loaded: kept.length === 64, decoded: kept.reduce((n, b) => n + b.length * b.numberOfChannels * 4, 0) });
`;

// Keydown to AudioBufferSourceNode.start on the main thread, as the deck records it, and the
// same for a bare handler that only creates and starts a source: the floor for any page.
const press = `
const presses = ${PRESSES};
const keys = ['1', '2', '3', '4', 'Q', 'W', 'E', 'R', 'A', 'S', 'D', 'F', 'Z', 'X', 'C', 'V'];
const event = (k) => new KeyboardEvent('keydown', { key: k.toLowerCase(), code: /\\d/.test(k) ? 'Digit' + k : 'Key' + k, bubbles: true });
const frame = () => new Promise(requestAnimationFrame);
const engine = jaunvelDeck.engine;
const before = engine.triggerCount;
for (let i = 0; i < presses; i++) {
  document.dispatchEvent(event(keys[i % keys.length]));
  if (i % 50 === 49) await frame();
}
const ours = jaunvelDeck.triggerTimes().slice(-(engine.triggerCount - before));
engine.stopAllPads(0);
const ctx = engine.ctx;
const buffer = [...engine.files.values()].find((f) => f.buffer).buffer;
const bare = [];
const onKey = () => {
  const t0 = performance.now();
  const src = ctx.createBufferSource();
  src.buffer = buffer;
  src.connect(ctx.destination);
  src.start();
  bare.push(performance.now() - t0);
  src.stop(ctx.currentTime + 0.01);
};
const target = document.createElement('div');
target.addEventListener('keydown', onKey);
for (let i = 0; i < presses; i++) {
  target.dispatchEvent(event('1'));
  if (i % 50 === 49) await frame();
}
return JSON.stringify({ ours, bare });
`;

module.exports = { ready, load, bareLoad, press, PRESSES };
