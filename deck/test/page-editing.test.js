'use strict';
// Hold mode, start and end points, fades and the waveform editor, in Chromium; what pads play, in WebKitGTK too.
const [{ test, before, after }, assert] = [require('node:test'), require('node:assert/strict')];
const [fs, os, path] = ['fs', 'os', 'path'].map((m) => require(`node:${m}`));
const { createDeckServer } = require('../server.js');
const { writeTree, sineWav } = require('./helpers/wav.js');
const { launchBrowser, openDeck } = require('./helpers/browser.js');
const { noWebKit, inWebKit } = require('./helpers/webkit.js');

let dir, deck, url, browser;
before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-editing-'));
  const b = sineWav({ seconds: 2, freq: 660, rate: 48000 }).fill(0, 44, 44 + 2 * 24000).fill(0, 44 + 2 * 38400); // sounds 0.5–0.8 s only
  writeTree(dir, { 'show/a.wav': { seconds: 2, freq: 440, rate: 48000 }, 'show/b.wav': b });
  [deck, browser] = [createDeckServer({ port: 0 }), await launchBrowser()];
  url = `http://localhost:${(await deck.start()).port}/`;
});
after(() => Promise.all([browser?.close(), deck?.close()]).then(() => fs.rmSync(dir, { recursive: true, force: true })));

// A held key, repeats, let go; b cut to 0.5–0.8 s, fading in, heard on the pads bus; b looped. Waits have a deadline.
const PLAY = `
const until = async (ok) => { for (const t = Date.now(); !ok() && Date.now() - t < 3000;) await new Promise((r) => setTimeout(r, 2)); };
await until(() => window.jaunvelDeck);
if (!jaunvelDeck.show.pages[0].pads[1].path) window.setThemeFolderFromNative(show);
await until(() => jaunvelDeck.show.pages[0].pads[1].path && !document.querySelector('.pad[data-state="loading"]'));
const [{ engine }, [a, b]] = [jaunvelDeck, jaunvelDeck.show.pages[0].pads];
const key = (type, repeat = false) => window.dispatchEvent(new KeyboardEvent(type, { key: '1', code: 'Digit1', repeat }));
Object.assign(a, { mode: 'hold', trimStart: 0.25 });
key('keydown');
const voice = engine.voices.get(a); // held a while, then repeats
await until(() => engine.ctx.currentTime - voice.startedAt > 0.2);
key('keydown', true), key('keydown');
const same = engine.voices.get(a) === voice && !voice.stopping;
const t0 = performance.now(key('keyup'));
await until(() => !engine.voices.has(a));
const releasedMs = performance.now() - t0;
const vb = engine.trigger(Object.assign(b, { trimStart: 0.5, trimEnd: 0.8, fadeIn: 0.2, fadeOut: 0.1 })) && engine.voices.get(b);
await until(() => engine.ctx.currentTime - vb.startedAt >= 0.05);
const fades = vb.gain.gain.value / vb.level;
const tap = engine.padsBus.connect(engine.ctx.createAnalyser()), wave = new Float32Array(tap.fftSize);
let heard = 0;
await until(() => (tap.getFloatTimeDomainData(wave), (heard = Math.max(heard, ...wave.map(Math.abs)))) && !engine.voices.has(b));
const playedMs = performance.now() - t0 - releasedMs;
const src = engine.trigger(Object.assign(b, { mode: 'loop' })) && engine.voices.get(b).source;
engine.stopPad(b, 0);
return JSON.stringify({ same, held: voice.stopping, releasedMs, playedMs, fades, heard, loop: [src.loopStart, src.loopEnd].map((t) => t * src.buffer.sampleRate), rate: src.buffer.sampleRate, errors: window.__errors || [] });
`;
const check = (r) => assert.deepEqual({ errors: r.errors, heldThroughRepeats: r.same && r.held, letGoInAShortFade: r.releasedMs < 250, playsItsPart: r.playedMs > 280 && r.playedMs < 600 && r.heard > 0.05,
  fadesIn: r.fades > 0 && r.fades < 0.95, loopsAtFrames: `${r.loop}` === `${[0.5 * r.rate, 0.8 * r.rate]}` }, { errors: [], heldThroughRepeats: true, letGoInAShortFade: true, playsItsPart: true, fadesIn: true, loopsAtFrames: true }, JSON.stringify(r));

test('hold mode, points and fades: edited on the waveform, undone step by step, saved, heard as cut', async () => {
  const { context, page, errors } = await openDeck(browser, url);
  await page.evaluate((d) => window.setThemeFolderFromNative(d), path.join(dir, 'show'));
  await page.waitForFunction(() => !document.querySelector('.pad[data-state="loading"]') && jaunvelDeck.show.pages[0].pads[1].path);
  await page.click('#grid .pad:nth-child(1) .edit').then(() => page.selectOption('#ed-mode', 'hold'));
  assert.equal(await page.textContent('#ed-wave-note'), '開始 0.000 秒・終了 2.000 秒（長さ 2.000 秒）');
  // The start point dragged a quarter of the way, the end point moved by keys (one undo step).
  const box = await page.locator('#ed-wave').boundingBox();
  for (const step of [() => page.mouse.move(box.x + 1, box.y + 40), () => page.mouse.down(), () => page.mouse.move(box.x + box.width / 4, box.y + 40, { steps: 5 }), () => page.mouse.up()]) await step();
  await page.focus('#ed-mark-end');
  for (const k of ['Shift+ArrowLeft', 'Shift+ArrowLeft', 'ArrowLeft']) await page.keyboard.press(k);
  await page.fill('#ed-fade-in', '0.2').then(() => page.dispatchEvent('#ed-fade-in', 'change'));
  const pad = () => page.evaluate(() => (({ mode, trimStart, trimEnd, fadeIn }) => ({ mode, trimStart, trimEnd, fadeIn }))(jaunvelDeck.show.pages[0].pads[0]));
  const [p, { mode, trimStart, trimEnd, fadeIn }] = [await pad(), JSON.parse(await page.evaluate(() => jaunvelDeck.settingsText())).pages[0].pads[0]];
  assert.ok(Math.abs(p.trimStart - 0.5) < 4 / box.width && Math.round(p.trimEnd * 100) === 179 && p.fadeIn === 0.2, JSON.stringify(p));
  assert.deepEqual({ mode, trimStart, trimEnd, fadeIn }, p, 'saved');
  assert.ok(await page.$eval('#ed-wave-canvas', (c) => c.getContext('2d').getImageData(c.width / 2, 0, 1, c.height).data.some((v, i) => i % 4 === 2 && v > 200)), 'waveform drawn');
  await page.click('#pad-editor button[value="close"]');
  const undone = [];
  while (undone.length < 3) undone.push(await page.keyboard.press('Control+z').then(pad).then((u) => [u.mode, u.trimStart > 0, u.trimEnd, u.fadeIn]));
  assert.deepEqual(undone, [['hold', true, p.trimEnd, 0], ['hold', true, null, 0], ['hold', false, null, 0]]);
  // Held by the pointer, its key pressed meanwhile: it sounds until the pointer lets go.
  const sounding = () => page.evaluate(() => jaunvelDeck.engine.isPlaying(jaunvelDeck.show.pages[0].pads[0]));
  await page.hover('#grid .pad:nth-child(1) .label').then(() => page.mouse.down()).then(() => page.keyboard.down('1'));
  assert.deepEqual([await sounding(), await page.mouse.up().then(sounding)], [true, false]);
  await page.keyboard.up('1');
  check(JSON.parse(await page.evaluate(`(async (show) => { ${PLAY} })(${JSON.stringify(path.join(dir, 'show'))})`)));
  assert.deepEqual(errors, []);
  await context.close();
});

test('in WebKitGTK: a held key sounds until it comes up, a repeat does not restart it, cut pads play their part', { skip: noWebKit, timeout: 60000 }, async () => {
  check((await inWebKit({ url, show: path.join(dir, 'show'), dir, steps: [PLAY], name: 'editing' })).results[0]);
});
