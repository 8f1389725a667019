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
// same for a bare handler that only creates and starts a source: the floor for any page. Both
// once levelling has measured every file: it steps aside while the deck's keys are pressed,
// but not for the bare handler's, which it does not see.
const press = `
await jaunvelDeck.levellingIdle();
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

// The same presses with the page's pads cut and faded, every other one in hold mode (its key
// comes up after each press, as a held key does): points, fades and gain ramps set in the
// editor's way (worked out on the edit), so a key only reads them. The pads are as they were
// afterwards.
const pressShaped = `
for (const [i, pad] of jaunvelDeck.show.pages[jaunvelDeck.show.currentPage].pads.entries()) {
  Object.assign(pad, { trimStart: 0.1 + i * 0.01, trimEnd: 1.5, fadeIn: 0.05, fadeOut: 0.2, mode: i % 2 ? 'oneshot' : 'hold' });
  jaunvelDeck.engine.prepare(pad);
}
const up = (k) => new KeyboardEvent('keyup', { key: k.toLowerCase(), code: /\\d/.test(k) ? 'Digit' + k : 'Key' + k, bubbles: true });
${press.replace('document.dispatchEvent(event(keys[i % keys.length]));', 'document.dispatchEvent(event(keys[i % keys.length]));\n  document.dispatchEvent(up(keys[i % keys.length]));')
  .replace('return JSON.stringify', `for (const pad of jaunvelDeck.show.pages[jaunvelDeck.show.currentPage].pads) Object.assign(pad, { trimStart: 0, trimEnd: null, fadeIn: 0, mode: 'oneshot' });
return JSON.stringify`)}`;

module.exports = { ready, load, bareLoad, press, pressShaped, PRESSES };

// Key to pad lit on screen: from a keydown to the frame after the one in which the pad shows as
// playing (that one has been painted by then); the same for a bare handler that starts a source
// and lights an element of the pad's size the same way. Pads are stopped between presses, and
// each press waits until the page has drawn that (the deck shows nothing playing), then two
// frames.
const LIT_PRESSES = 40;
const lit = `
const keys = ['1', '2', '3', '4', 'Q', 'W', 'E', 'R', 'A', 'S', 'D', 'F', 'Z', 'X', 'C', 'V'];
const event = (k) => new KeyboardEvent('keydown', { key: k.toLowerCase(), code: /\\d/.test(k) ? 'Digit' + k : 'Key' + k, bubbles: true });
const frame = () => new Promise(requestAnimationFrame);
const engine = jaunvelDeck.engine;
// Waits for the first frame in which isLit() holds, then one more; ms since t0.
const seen = (t0, isLit) => new Promise((resolve) => {
  const check = () => (isLit() ? requestAnimationFrame(() => resolve(performance.now() - t0)) : requestAnimationFrame(check));
  requestAnimationFrame(check);
});
const ours = [];
const pads = document.querySelectorAll('#grid .pad');
const settled = () => !document.querySelector('#grid .pad.playing') && document.getElementById('sounding').dataset.empty === 'true';
for (let i = 0; i < ${LIT_PRESSES}; i++) {
  engine.stopAllPads(0);
  for (let f = 0; f < 60 && !settled(); f++) await frame();
  await frame(); await frame();
  const pad = pads[i % 16];
  const t0 = performance.now();
  document.dispatchEvent(event(keys[i % 16]));
  ours.push(await seen(t0, () => pad.classList.contains('playing')));
}
engine.stopAllPads(0);
const ctx = engine.ctx;
const buffer = [...engine.files.values()].find((f) => f.buffer).buffer;
// The bare page's pad: the size of the deck's first pad, lit the way the deck lights one.
const r = pads[0].getBoundingClientRect();
const box = document.createElement('div');
box.style.cssText = 'position:fixed;left:' + r.left + 'px;top:' + r.top + 'px;width:' + r.width + 'px;height:' + r.height + 'px;background:#333;border:2px solid #555;border-radius:10px';
document.body.append(box);
const target = document.createElement('div');
target.addEventListener('keydown', () => {
  const src = ctx.createBufferSource();
  src.buffer = buffer;
  src.connect(ctx.destination);
  src.start();
  src.stop(ctx.currentTime + 0.05);
  box.classList.add('on');
  box.style.borderColor = '#fff';
  box.style.boxShadow = '0 0 0 3px #3b82f6';
});
const bare = [];
for (let i = 0; i < ${LIT_PRESSES}; i++) {
  box.classList.remove('on');
  box.style.borderColor = '#555';
  box.style.boxShadow = 'none';
  await frame(); await frame();
  const t0 = performance.now();
  target.dispatchEvent(event('1'));
  bare.push(await seen(t0, () => box.classList.contains('on')));
}
box.remove();
return JSON.stringify({ ours, bare });
`;

// The BGM playing (the page's own player, its clocks running), for the CPU reading around the
// next step; and the same file in a bare page's audio element.
const BGM_SECONDS = 5;
const bgmStart = `
const { bgm } = jaunvelDeck;
if (!bgm.tracks.length) await new Promise((r) => bgm.addEventListener('change', function f() { if (bgm.tracks.length) r(bgm.removeEventListener('change', f)); }));
document.getElementById('bgm-play').click();
await new Promise((r) => bgm.element.addEventListener('timeupdate', r, { once: true }));
return JSON.stringify({ playing: bgm.playing, title: bgm.current.name });
`;
const bareBgmStart = `
const list = await (await fetch('/api/list?dir=' + encodeURIComponent(show + '/bgm'))).json();
window.bareAudio = new Audio('/media?path=' + encodeURIComponent(list.files[0].path));
await bareAudio.play();
await new Promise((r) => bareAudio.addEventListener('timeupdate', r, { once: true }));
return JSON.stringify({ playing: !bareAudio.paused });
`;
// A measuring window: the CPU the page's process spends in it is read before and after.
const hold = `
await new Promise((r) => setTimeout(r, ${BGM_SECONDS * 1000}));
return JSON.stringify({ seconds: ${BGM_SECONDS} });
`;

Object.assign(module.exports, { lit, bgmStart, bareBgmStart, hold, BGM_SECONDS });

// A reload with the BGM playing (WebKitGTK only: the helper reloads the page as the shell does):
// `cut` lets the music play a second and asks for the reload; `resumed`, in the reloaded page,
// reads when the BGM played again (the deck marks it), in ms since the reload began, and then
// times a bare element started on the same file at the same second: the floor for the last part.
const cut = `
const { bgm } = jaunvelDeck;
if (!bgm.playing) document.getElementById('bgm-play').click();
await new Promise((r) => bgm.element.addEventListener('timeupdate', function t() { if (bgm.element.currentTime > 1) r(bgm.element.removeEventListener('timeupdate', t)); }));
return JSON.stringify({ reload: true, at: bgm.element.currentTime });
`;
const resumed = `
const mark = () => performance.getEntriesByName('bgm-resumed')[0];
for (let i = 0; i < 500 && !mark(); i++) await new Promise((r) => setTimeout(r, 10));
for (let i = 0; i < 500 && !window.jaunvelDeck; i++) await new Promise((r) => setTimeout(r, 10)); // the deck may be built after
const nav = performance.getEntriesByType('navigation')[0];
const { bgm } = jaunvelDeck;
const at = bgm.element.currentTime;
const bare = new Audio();
bare.src = bgm.element.src;
bare.currentTime = at;
const t0 = performance.now();
await new Promise((r) => { bare.addEventListener('playing', r, { once: true }); bare.play(); });
const bareMs = performance.now() - t0;
bare.pause();
return JSON.stringify({ ms: mark() ? mark().startTime : null, html: nav.responseEnd, scripts: nav.domContentLoadedEventEnd, bareMs, title: bgm.current && bgm.current.name });
`;
Object.assign(module.exports, { cut, resumed });
