'use strict';
// The BGM playlist arranged by the operator, through the page: the same steps (drag, keys, skip,
// undo, every track skipped) as events in Chromium and WebKitGTK, then in Chromium with the
// real mouse and keyboard, and the saved order opened again.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFile, spawnSync } = require('node:child_process');
const { createDeckServer } = require('../server.js');
const { writeTree } = require('./helpers/wav.js');
const { launchBrowser, openDeck } = require('./helpers/browser.js');

let dir, deck, url;
before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-playlist-'));
  writeTree(dir, Object.fromEntries(['pad', 'bgm/a', 'bgm/b', 'bgm/c', 'bgm/d'].map((n) => [`show/${n}.wav`, { seconds: 30, rate: 8000, gain: 0.05 }])));
  deck = createDeckServer({ port: 0 });
  url = `http://localhost:${(await deck.start()).port}/`;
});
after(async () => {
  await deck?.close();
  fs.rmSync(dir, { recursive: true, force: true });
});

// Returns the order after each step ("c-": c skipped), what played meanwhile and what was said.
const STEPS = `
const frame = () => new Promise((r) => requestAnimationFrame(r));
const until = async (f) => { while (!f()) await frame(); };
await until(() => window.jaunvelDeck);
const { bgm } = jaunvelDeck;
const order = () => jaunvelDeck.show.bgm.tracks.map((t) => t.name[0] + (t.skip ? '-' : '')).join('');
const row = (i) => document.querySelectorAll('#bgm-list li')[i];
const key = (el, key, mods) => el.dispatchEvent(new KeyboardEvent('keydown', { key, code: key.length > 1 ? key : 'Key' + key.toUpperCase(), bubbles: true, cancelable: true, ...mods }));
const pointer = (i, type, dy) => { const b = row(i).getBoundingClientRect(); row(i).dispatchEvent(new PointerEvent(type, { bubbles: true, pointerId: 1, button: 0, clientX: b.left + 30, clientY: b.top + dy })); };
window.setThemeFolderFromNative(show);
await until(() => jaunvelDeck.show.bgm.tracks.length === 4 && row(3));
row(0).dispatchEvent(new MouseEvent('dblclick', { bubbles: true }));
await until(() => bgm.element.currentTime > 0.3);
const [src, t0, orders] = [bgm.element.src, bgm.element.currentTime, [order()]];
row(3).focus(); pointer(3, 'pointerdown', 8); pointer(2, 'pointermove', 8); pointer(0, 'pointermove', 2); pointer(0, 'pointerup', 2);
orders.push(order());
await new Promise((r) => setTimeout(r)); // the focus is given back after the pointer's own work
const focusBack = document.activeElement === document.body;
row(2).focus(); key(row(2), 'ArrowUp', { altKey: true }); orders.push(order());
const focused = document.activeElement.textContent;
row(3).querySelector('input').click(); orders.push(order());
const kept = bgm.element.src === src && bgm.element.currentTime >= t0 && bgm.current.name;
document.getElementById('bgm-next').click();
const next = bgm.current.name;
key(document.body, 'z', { ctrlKey: true }); orders.push(order());
const text = jaunvelDeck.settingsText();
for (let i = 0; i < 4; i++) if (!row(i).querySelector('input').checked) row(i).querySelector('input').click(); // each click redraws the list
document.getElementById('bgm-next').click();
return JSON.stringify({ orders, focusBack, focused, kept, next, after: bgm.current?.name ?? null, stopped: !bgm.playing, said: document.getElementById('messages').textContent.includes('すべて「飛ばす」'), text, errors: window.__errors || [] });
`;
const expect = (r) => assert.deepEqual({ ...r, text: JSON.parse(r.text).bgm.order, errors: r.errors },
  { orders: ['abcd', 'dabc', 'dbac', 'dbac-', 'dbac'], focusBack: true, focused: 'b', kept: 'a.wav', next: 'd.wav', after: null, stopped: true, said: true, text: ['d.wav', 'b.wav', 'a.wav', 'c.wav'], errors: [] });

test('in Chromium: drag, Alt+↑, skip, undo, all skipped; the mouse and keys; the order saved and opened again', async () => {
  const browser = await launchBrowser();
  try {
    const { page, errors } = await openDeck(browser, url);
    const result = JSON.parse(await page.evaluate(`(async (show) => {${STEPS}})(${JSON.stringify(path.join(dir, 'show'))})`));
    expect(result);
    const row = (i) => page.locator('#bgm-list li').nth(i).boundingBox();
    const [a, c] = [await row(2), await row(3)];
    await page.mouse.move(c.x + 40, c.y + 5);
    await page.mouse.down();
    await page.mouse.move(a.x + 40, a.y + 8, { steps: 4 });
    await page.mouse.move(a.x + 40, a.y + 2, { steps: 2 });
    await page.mouse.up();
    await page.waitForFunction(() => document.activeElement === document.body); // the focus given back
    await page.locator('#bgm-list li').nth(0).focus();
    await page.keyboard.press('Alt+ArrowDown');
    await page.keyboard.press('Alt+KeyS');
    const names = (p = page) => p.evaluate(() => jaunvelDeck.show.bgm.tracks.map((t) => t.name[0] + (t.skip ? '-' : '')).join(''));
    assert.equal(await names(), 'b-dc-a-');
    const other = await openDeck(browser, url);
    await other.page.evaluate((content) => window.importSamplerConfigFromNative({ name: 'x.json', content }), await page.evaluate(() => jaunvelDeck.settingsText()));
    await other.page.waitForFunction(() => jaunvelDeck.show.bgm.tracks.length === 4 && document.querySelectorAll('#bgm-list li.skipped').length === 3);
    assert.deepEqual([await names(other.page), errors, other.errors], ['b-dc-a-', [], []]);
  } finally {
    await browser.close();
  }
});

const gi = spawnSync('/usr/bin/python3', ['-c', "import gi; gi.require_version('WebKit2', '4.1'); gi.require_version('Gtk', '3.0')"]);
const noWebKit = gi.status !== 0 ? 'python3-gi and gir1.2-webkit2-4.1 are not installed' : spawnSync('xvfb-run', ['--help']).error && 'xvfb-run is not installed';
test('in WebKitGTK: drag, Alt+↑, skip, undo, all skipped', { skip: noWebKit, timeout: 60000 }, async () => {
  fs.writeFileSync(path.join(dir, 'steps.js'), STEPS);
  const quiet = ['pulsesink', 'jackaudiosink', 'oss4sink', 'openalsink', 'osssink', 'alsasink', 'pipewiresink'].map((s) => `${s}:NONE`).join();
  const stdout = await new Promise((resolve, reject) => execFile('xvfb-run',
    ['-a', '-s', '-screen 0 1920x1080x24', '/usr/bin/python3', path.join(__dirname, 'helpers', 'webkit_page.py'), url, path.join(dir, 'show'), path.join(dir, 'steps.js')],
    { env: { ...process.env, XDG_DATA_HOME: dir, XDG_CACHE_HOME: dir, GSETTINGS_BACKEND: 'memory', NO_AT_BRIDGE: '1', GST_PLUGIN_FEATURE_RANK: quiet }, timeout: 50000 },
    (err, out, stderr) => (err ? reject(new Error(`${err.message}\n${stderr}`)) : resolve(out))));
  const { error, steps } = JSON.parse(stdout.trim().split('\n').pop());
  assert.equal(error, undefined);
  expect(steps[0].result);
});
