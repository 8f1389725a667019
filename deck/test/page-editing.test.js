'use strict';
// Hold mode, start and end points, fades and the waveform editor, as an operator uses them: in
// headless Chromium, and the sound itself in WebKitGTK (the shell's engine).
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFile, spawnSync } = require('node:child_process');
const { createDeckServer } = require('../server.js');
const { writeTree, sineWav } = require('./helpers/wav.js');
const { launchBrowser, openDeck } = require('./helpers/browser.js');

let dir, deck, url, browser;
before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-editing-'));
  // b.wav sounds only from 0.5 to 0.8 s: a pad cut there is heard, one that starts elsewhere is not.
  const b = sineWav({ seconds: 2, freq: 660, rate: 48000 });
  b.fill(0, 44, 44 + 2 * 24000).fill(0, 44 + 2 * 38400);
  writeTree(dir, { 'show/a.wav': { seconds: 2, freq: 440, rate: 48000 }, 'show/b.wav': b });
  deck = createDeckServer({ port: 0 });
  url = `http://localhost:${(await deck.start()).port}/`;
  browser = await launchBrowser();
});
after(async () => {
  await browser?.close();
  await deck?.close();
  fs.rmSync(dir, { recursive: true, force: true });
});

// Sets up pads (hold, trims, fades), then times what they play: a held key with a repeat, a cut
// one-shot to its end, a loop's points. Runs as it is in WebKitGTK and in Chromium.
const PLAY = `
const frame = () => new Promise((r) => requestAnimationFrame(r));
while (!window.jaunvelDeck) await frame();
if (!jaunvelDeck.show.pages[0].pads[1].path) window.setThemeFolderFromNative(show);
while (!jaunvelDeck.show.pages[0].pads[1].path || document.querySelector('.pad[data-state="loading"]')) await frame();
const { engine } = jaunvelDeck;
const [a, b] = jaunvelDeck.show.pages[0].pads;
const ended = (pad) => Promise.race([new Promise((r) => setTimeout(r, 3000)), // a deadline, so a fault fails rather than hangs
  new Promise((r) => engine.addEventListener('voices', function f() { if (!engine.voices.has(pad)) r(engine.removeEventListener('voices', f)); }))]);
const key = (type, repeat = false) => window.dispatchEvent(new KeyboardEvent(type, { key: '1', code: 'Digit1', repeat }));
Object.assign(a, { mode: 'hold', trimStart: 0.25, trimEnd: null, fadeIn: 0 });
key('keydown');
const voice = engine.voices.get(a);
await new Promise((r) => setTimeout(r, 300));
key('keydown', true);
key('keydown'); // a repeat the engine does not mark
const same = engine.voices.get(a) === voice && !voice.stopping;
const t0 = performance.now();
key('keyup');
await ended(a);
const releasedMs = performance.now() - t0;
Object.assign(b, { mode: 'oneshot', trimStart: 0.5, trimEnd: 0.8, fadeIn: 0.2, fadeOut: 0.1 });
const t1 = performance.now();
engine.trigger(b);
const vb = engine.voices.get(b);
while (engine.ctx.currentTime - vb.startedAt < 0.05) await new Promise((r) => setTimeout(r, 1)); // the audio clock, read often
const fades = vb.gain.gain.value / vb.level; // part way up its fade-in (0.2 s; an engine renders some ahead of its clock)
const tap = engine.ctx.createAnalyser(); // what the pads bus carries while b plays
engine.padsBus.connect(tap);
const wave = new Float32Array(tap.fftSize);
let heard = 0;
let over = false;
ended(b).then(() => (over = true));
while (!over) {
  tap.getFloatTimeDomainData(wave);
  heard = Math.max(heard, ...wave.map(Math.abs));
  await new Promise((r) => setTimeout(r, 5));
}
const playedMs = performance.now() - t1;
b.mode = 'loop';
engine.trigger(b);
const src = engine.voices.get(b).source;
const rate = src.buffer.sampleRate;
const loop = [src.loopStart * rate, src.loopEnd * rate];
engine.stopPad(b, 0);
return JSON.stringify({ same, held: voice.stopping === true, releasedMs, playedMs, fades, heard, loop, rate, errors: window.__errors || [] });
`;
function check(r) {
  assert.deepEqual(r.errors, []);
  assert.ok(r.same && r.held, 'the held pad sounded on through repeats and stopped on its keyup');
  assert.ok(r.releasedMs < 250, `a let-go pad ends in a short fade: ${r.releasedMs} ms`);
  assert.ok(r.playedMs > 280 && r.playedMs < 520, `a pad cut to 0.5–0.8 s plays 0.3 s: ${r.playedMs} ms`);
  assert.ok(r.fades > 0 && r.fades < 0.95, `a pad with a fade-in comes up slowly: ${r.fades}`);
  assert.ok(r.heard > 0.05, `the cut part was heard: peak ${r.heard}`);
  assert.deepEqual(r.loop, [0.5 * r.rate, 0.8 * r.rate]);
}

test('hold mode, points and fades: edited in the editor\'s waveform, undone step by step, saved, heard as cut', async () => {
  const { context, page, errors } = await openDeck(browser, url);
  await page.evaluate((d) => window.setThemeFolderFromNative(d), path.join(dir, 'show'));
  await page.waitForFunction(() => !document.querySelector('.pad[data-state="loading"]') && jaunvelDeck.show.pages[0].pads[1].path);
  await page.click('#grid .pad:nth-child(1) .edit');
  await page.selectOption('#ed-mode', 'hold');
  assert.equal(await page.textContent('#ed-wave-note'), '開始 0.000 秒・終了 2.000 秒（長さ 2.000 秒）');
  // The start point dragged to a quarter of the way, the end point moved by keys (one undo step).
  const box = await page.locator('#ed-wave').boundingBox();
  await page.mouse.move(box.x + 1, box.y + 40);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width / 4, box.y + 40, { steps: 5 });
  await page.mouse.up();
  await page.focus('#ed-mark-end');
  for (const k of ['Shift+ArrowLeft', 'Shift+ArrowLeft', 'ArrowLeft']) await page.keyboard.press(k);
  await page.fill('#ed-fade-in', '0.2');
  await page.dispatchEvent('#ed-fade-in', 'change');
  const pad = () => page.evaluate(() => (({ mode, trimStart, trimEnd, fadeIn }) => ({ mode, trimStart, trimEnd, fadeIn }))(jaunvelDeck.show.pages[0].pads[0]));
  const edited = await pad();
  assert.ok(Math.abs(edited.trimStart - 0.5) < 2 / box.width * 2, `start at ${edited.trimStart}`);
  assert.deepEqual({ ...edited, trimStart: 0, trimEnd: Math.round(edited.trimEnd * 100) }, { mode: 'hold', trimStart: 0, trimEnd: 179, fadeIn: 0.2 });
  assert.match(await page.textContent('#ed-wave-note'), /・終了 1\.790 秒（長さ 1\.2\d\d 秒）$/);
  const saved = JSON.parse(await page.evaluate(() => jaunvelDeck.settingsText())).pages[0].pads[0];
  assert.deepEqual([saved.mode, saved.trimStart, saved.trimEnd, saved.fadeIn], ['hold', edited.trimStart, edited.trimEnd, 0.2]);
  // The waveform was drawn: columns of the pad's colour inside the points.
  assert.ok(await page.evaluate(() => {
    const c = document.getElementById('ed-wave-canvas');
    return c.getContext('2d').getImageData(c.width / 2, 0, 1, c.height).data.some((v, i) => i % 4 === 2 && v > 200);
  }), 'waveform drawn');
  const undone = [];
  await page.click('#pad-editor button[value="close"]');
  for (let i = 0; i < 4; i++) {
    await page.keyboard.press('Control+z');
    undone.push(await pad());
  }
 assert.deepEqual(undone.map((p) => [p.mode, p.trimStart > 0, p.trimEnd, p.fadeIn]),
    [['hold', true, edited.trimEnd, 0], ['hold', true, null, 0], ['hold', false, null, 0], ['oneshot', false, null, 0]]);
  // Held by the pointer: it sounds until the button comes up.
  await page.evaluate(() => (jaunvelDeck.show.pages[0].pads[0].mode = 'hold'));
  const padBox = await page.locator('#grid .pad:nth-child(1) .label').boundingBox();
  await page.mouse.move(padBox.x + 5, padBox.y + 5);
  await page.mouse.down();
  const sounding = () => page.evaluate(() => jaunvelDeck.engine.isPlaying(jaunvelDeck.show.pages[0].pads[0]));
  await page.keyboard.down('1'); // its key too, meanwhile: it sounds on
  assert.equal(await sounding(), true);
  await page.mouse.up();
  assert.equal(await sounding(), false);
  await page.keyboard.up('1');
  check(JSON.parse(await page.evaluate(`(async (show) => { ${PLAY} })(${JSON.stringify(path.join(dir, 'show'))})`)));
  assert.deepEqual(errors, []);
  await context.close();
});

const gi = spawnSync('/usr/bin/python3', ['-c', "import gi; gi.require_version('WebKit2', '4.1'); gi.require_version('Gtk', '3.0')"]);
const noWebKit = gi.status !== 0 ? 'python3-gi and gir1.2-webkit2-4.1 are not installed' : spawnSync('xvfb-run', ['--help']).error && 'xvfb-run is not installed';

test('in WebKitGTK: a held key sounds until it comes up, a repeat does not restart it, cut pads play their part', { skip: noWebKit, timeout: 60000 }, async () => {
  const file = path.join(dir, 'webkit-editing.js');
  fs.writeFileSync(file, PLAY);
  const quiet = ['pulsesink', 'jackaudiosink', 'oss4sink', 'openalsink', 'osssink', 'alsasink', 'pipewiresink'].map((s) => `${s}:NONE`).join();
  const stdout = await new Promise((resolve, reject) => execFile('xvfb-run',
    ['-a', '-s', '-screen 0 1920x1080x24', '/usr/bin/python3', path.join(__dirname, 'helpers', 'webkit_page.py'), url, path.join(dir, 'show'), file],
    { env: { ...process.env, XDG_DATA_HOME: dir, XDG_CACHE_HOME: dir, GSETTINGS_BACKEND: 'memory', NO_AT_BRIDGE: '1', GST_PLUGIN_FEATURE_RANK: quiet }, timeout: 50000 },
    (err, out, stderr) => (err ? reject(new Error(`${err.message}\n${stderr}`)) : resolve(out))));
  const { error, steps } = JSON.parse(stdout.trim().split('\n').pop());
  assert.equal(error, undefined);
  check(steps[0].result);
});
