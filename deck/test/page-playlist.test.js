'use strict';
// The BGM playlist arranged through the page: the same steps as events in Chromium and WebKitGTK
// (drag, Alt+↑, skip, undo, all skipped, saved and opened), then Chromium's own mouse and keys.
const { test, before, after } = require('node:test'), assert = require('node:assert/strict');
const [fs, os, path] = ['fs', 'os', 'path'].map((m) => require(`node:${m}`));
const [{ createDeckServer }, { writeTree }, { launchBrowser, openDeck }, { noWebKit, inWebKit }] = ['../server.js', './helpers/wav.js', './helpers/browser.js', './helpers/webkit.js'].map(require);

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-playlist-'));
writeTree(dir, Object.fromEntries([...'abcd'].map((n) => [`show/bgm/${n}.wav`, { seconds: 30, rate: 8000, gain: 0.05 }])));
let deck, url, browser;
before(async () => (browser = await launchBrowser()) && (url = `http://localhost:${(await (deck = createDeckServer({ port: 0 })).start()).port}/`));
after(() => Promise.all([browser?.close(), deck?.close()]).then(() => fs.rmSync(dir, { recursive: true, force: true })));

const STEPS = `const frame = () => new Promise((r) => requestAnimationFrame(r)), until = async (f, n = 0) => { while (!f()) if (n++ > 900) throw new Error(String(f)); else await frame(); };
const $ = (id) => document.getElementById(id), row = (i) => document.querySelectorAll('#bgm-list li')[i], orders = [];
const order = () => orders.push(jaunvelDeck.show.bgm.tracks.map((t) => t.name[0] + (t.skip ? '-' : '')).join('')); // "c-": c skipped
const fire = (el, E, type, o) => el.dispatchEvent(new E(type, { bubbles: true, pointerId: 1, ...o }));
const drag = (from, to) => [[from, 'pointerdown', 8], [from - 1, 'pointermove', 8], [to, 'pointermove', 2], [to, 'pointerup', 2]].forEach(([i, type, dy]) => fire(row(i), PointerEvent, type, { clientY: row(i).getBoundingClientRect().top + dy }));
await until(() => window.jaunvelDeck); window.setThemeFolderFromNative(show); await until(() => row(3));
const { bgm } = jaunvelDeck; fire(row(0), MouseEvent, 'dblclick'); await until(() => bgm.element.currentTime > 0.3);
const [src, t0] = [bgm.element.src, bgm.element.currentTime, order()];
row(3).focus(); drag(3, 0); order(); await new Promise((r) => setTimeout(r)); const focusBack = document.activeElement === document.body;
row(2).focus(); fire(row(2), KeyboardEvent, 'keydown', { key: 'ArrowUp', altKey: true }); order();
const focused = document.activeElement.textContent; row(3).querySelector('input').click(); order();
const kept = bgm.element.src === src && bgm.element.currentTime >= t0 && bgm.current.name, text = jaunvelDeck.settingsText();
$('bgm-next').click(); const next = bgm.current.name; fire(document.body, KeyboardEvent, 'keydown', { key: 'z', code: 'KeyZ', ctrlKey: true }); order();
for (let i = 0; i < 4; i++) row(i).querySelector('input').click(); // each click draws the list anew
$('bgm-next').click(); const stopped = !bgm.playing && !bgm.current, said = $('messages').textContent.includes('すべて「飛ばす」');
window.importSamplerConfigFromNative({ name: 'x.json', content: text }); const opened = jaunvelDeck.show.bgm.tracks; await until(() => jaunvelDeck.show.bgm.tracks !== opened); order(); // once listed
return JSON.stringify({ orders, focusBack, focused, kept, next, stopped, said, errors: window.__errors || [] });`;
const expect = (r) => assert.deepEqual(r, { orders: ['abcd', 'dabc', 'dbac', 'dbac-', 'dbac', 'dbac-'], focusBack: true, focused: 'b', kept: 'a.wav', next: 'd.wav', stopped: true, said: true, errors: [] });

test('in Chromium: the steps, then a drag with the mouse and Alt+S', async () => {
  const { page, errors } = await openDeck(browser, url);
  expect(JSON.parse(await page.evaluate(`(async (show) => {${STEPS}})(${JSON.stringify(path.join(dir, 'show'))})`)));
  const [a, c] = await Promise.all([2, 3].map((i) => page.locator('#bgm-list li').nth(i).boundingBox()));
  for (const y of [c.y + 5, 'down', a.y + 8, a.y + 2, 'up']) await (y === 'down' || y === 'up' ? page.mouse[y]() : page.mouse.move(a.x + 40, y, { steps: 3 }));
  await page.waitForFunction(() => document.activeElement === document.body); // the focus given back
  await page.locator('#bgm-list li').nth(0).focus().then(() => page.keyboard.press('Alt+KeyS'));
  assert.deepEqual([await page.evaluate(() => jaunvelDeck.show.bgm.tracks.map((t) => t.name[0] + (t.skip ? '-' : '')).join('')), errors], ['d-bc-a', []]);
});

test('in WebKitGTK: the steps', { skip: noWebKit, timeout: 60000 }, async () => {
  expect((await inWebKit({ url, show: path.join(dir, 'show'), dir, steps: [STEPS], name: 'playlist' })).results[0]); // the page's errors are in the result
});
