'use strict';
// The deck page in headless chromium, with the shell's bridge replaced by a recorder; and in
// WebKitGTK, the shell's own engine, under Xvfb.
const { test, describe, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createDeckServer } = require('../server.js');
const { writeShowFolder, writeTree } = require('./helpers/wav.js');
const { launchBrowser, openDeck } = require('./helpers/browser.js');
const { noWebKit, inWebKit } = require('./helpers/webkit.js');

let dir, showDir, deck, url, browser, webkitRun;
const TABS = ['春季大会 "決勝"', 'SE', 'オープニング'];
const READY = '10/10 パッド準備完了 · BGM 3曲 · 見つからない 0';

before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-page-'));
  showDir = path.join(dir, TABS[0]);
  writeShowFolder(showDir);
  const tree = { 'extra/効果音 A.wav': { seconds: 0.4, freq: 700 }, 'extra/効果音 B.wav': { seconds: 0.4, freq: 800 },
    'odd/broken.wav': 'this is not audio at all', 'odd/long.wav': { seconds: 50, rate: 8000 }, 'empty/readme.txt': 'no audio here' };
  for (let i = 1; i <= 24; i++) tree[`big show/pad${i}.wav`] = { seconds: 1, freq: 300 + i * 10 };
  writeTree(dir, tree);
  deck = createDeckServer({ port: 0 });
  url = `http://localhost:${(await deck.start()).port}/`;
  browser = await launchBrowser();
  // WebKitGTK runs its steps in a process of its own alongside the Chromium tests.
  if (!noWebKit) {
    const eight = { '1.wav': { seconds: 0.3 }, '2.wav': Buffer.alloc(0) };
    for (let i = 3; i <= 8; i++) eight[`${i}.wav`] = { seconds: 0.3, freq: 300 + i * 50 };
    writeTree(path.join(dir, 'eight'), eight);
    webkitRun = inWebKit({ url, show: showDir, dir, steps: [SCENARIO, EMPTY_AMONG_EIGHT, KEYS_WHEREVER_FOCUS] });
    webkitRun.catch(() => {}); // reported by its test
  }
});

after(async () => {
  await webkitRun?.catch(() => {}); // its process writes under dir until it ends
  await browser?.close();
  await deck?.close();
  fs.rmSync(dir, { recursive: true, force: true });
});

const posted = (page) => page.evaluate(() => window.__posted.splice(0));
const call = (page, name, value) => page.evaluate(([n, v]) => window[n](v), [name, value]); // awaits what the callback returns
// Calls back and answers the question the deck asks first (in its own dialog).
const callAnswering = async (page, name, value, answer) => {
  const done = call(page, name, value);
  await page.click(answer ? '#ask-yes' : '#ask-no');
  return done;
};
// The texts of the elements each selector matches, a list per selector.
const texts = (page, ...selectors) => page.evaluate((all) => all.map((s) => [...document.querySelectorAll(s)].map((e) => e.textContent)), selectors);
const labels = async (page) => (await texts(page, '#grid .pad .label'))[0];
const lastMessage = (page) => page.textContent('#messages .message:last-child span');
const preflight = async (page) => (await page.waitForFunction(() => !document.querySelector('.pad[data-state="loading"]')), page.textContent('#preflight'));
const preflightIs = (page, text) => page.waitForFunction((t) => document.getElementById('preflight').textContent === t, text);
const slide = (page, selector, value) => page.$eval(selector, (el, v) => { el.value = v; el.dispatchEvent(new Event('input')); }, value);
// window.level(): the loudest sample leaving the master bus just now.
const tapMaster = (page) => page.evaluate(() => {
  const tap = jaunvelDeck.engine.master.connect(jaunvelDeck.engine.ctx.createAnalyser());
  window.level = (d = new Float32Array(tap.fftSize)) => (tap.getFloatTimeDomainData(d), Math.max(...d.map(Math.abs)));
});
// Presses a key; resolves with which pads play once they are redrawn (on the next frame).
const press = async (page, k) => (await page.evaluate((name) => document.dispatchEvent(new KeyboardEvent('keydown',
  { key: name, code: /^\d$/.test(name) ? `Digit${name}` : name, bubbles: true, cancelable: true })), k), playing(page));
// Which pads play, once they are redrawn (on the next frame).
const playing = (page) => page.evaluate(async () => {
  await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
  return [...document.querySelectorAll('#grid .pad')].map((p) => p.dataset.playing === 'true');
});
// Opens a pad's editor, sets what is given or picks a file, and closes it.
async function editPad(page, i, { label, volume, mode, duck, pick, key }) {
  await page.click(`#grid .pad:nth-child(${i + 1}) .edit`);
  if (key) await page.focus('#ed-hotkey').then(() => page.keyboard.press(key));
  if (label) await page.fill('#ed-label', label);
  if (volume) await slide(page, '#ed-volume', volume);
  if (mode) await page.selectOption('#ed-mode', mode);
  if (duck) await page.check('#ed-duck');
  if (pick) await page.click('#ed-pick');
  await page.click('.pad-editor button[value="close"]');
}
async function openShow() {
  const session = await openDeck(browser, url);
  await call(session.page, 'setThemeFolderFromNative', showDir);
  await preflight(session.page);
  return session;
}

// index.html names every module main.js imports, directly or not, so the browser fetches them
// all at once rather than one level of imports after another (this shortens a reload).
test('the page preloads exactly the modules it imports', () => {
  const read = (name) => fs.readFileSync(path.join(__dirname, '..', 'public', name), 'utf8');
  const imported = new Set();
  const walk = (name) => {
    for (const [, dep] of read(name).matchAll(/^import .* from '\.\/(.+?)';$/gm)) if (!imported.has(dep)) walk(imported.add(dep) && dep);
  };
  walk('main.js');
  const preloaded = [...read('index.html').matchAll(/<link rel="modulepreload" href="(.+?)">/g)].map((m) => m[1]);
  assert.deepEqual(preloaded.sort(), [...imported].sort());
});

// The Chromium tests run two at a time: each has a browser context and folders of its own.
describe('the page in Chromium', { concurrency: 2 }, () => {
test('a base folder lays out the deck; each control posts its body; a reload keeps the deck for a late answer', async () => {
  const { context, page, errors } = await openShow();
  assert.deepEqual(await texts(page, '#tabs .tab', '#preflight', '#bgm-list li'), [TABS, [READY], ['bgm1 待機', 'bgm2 休憩', 'bgm10 エンディング']]);
  for (const [button, body] of [['theme', 'theme'], ['bgm-import', 'bgmImport'], ['page-import', 'samplerPageImport'], ['open', null]]) {
    await page.click(`#btn-${button}`);
    assert.deepEqual(await posted(page), [[body ? 'folderPicker' : 'configPicker', body]]);
  }
  // The file picker carries the pad's index across pages as a number: page 2, slot 8 (empty).
  await page.click('#tabs .tab:nth-child(2)');
  await editPad(page, 7, { pick: true });
  assert.deepEqual(await posted(page), [['filePicker', 16 + 7]]);

  // An element whose clock stands still while it says it plays is started again where it was
  // (before the reload, which does away with the element whose clock was stopped).
  await page.click('#bgm-play');
  await page.waitForFunction(() => jaunvelDeck.bgm.element.currentTime > 1);
  await page.evaluate(() => ((el, t) => Object.defineProperty(window.frozen = el, 'currentTime', { get: () => t }))(jaunvelDeck.bgm.element, jaunvelDeck.bgm.element.currentTime));
  const again = await page.waitForFunction(() => jaunvelDeck.bgm.element !== frozen && [frozen.currentTime, jaunvelDeck.bgm.element.currentTime, jaunvelDeck.bgm.current.name], null, { timeout: 8000 });
  assert.ok((([was, now, name]) => Math.abs(now - was) < 0.1 && name === 'bgm1 待機.wav')(await again.jsonValue()), 'from where it was');
  // A reload with the BGM playing (how it resumes is the WebKitGTK reload test's).
  await page.reload();
  await page.waitForFunction(() => window.jaunvelDeck !== undefined);
  await call(page, 'setSamplerFileFromNative', { index: 16 + 7, path: path.join(dir, 'extra', '効果音 A.wav'), name: '効果音 A.wav' });
  assert.deepEqual([(await texts(page, '#tabs .tab[aria-selected="true"]'))[0], (await labels(page))[7]], [['SE'], '効果音 A']);
  // The restored deck lists its BGM folder again in the background.
  await preflightIs(page, '11/11 パッド準備完了 · BGM 3曲 · 見つからない 0');
  // It loaded the pads' files and listed the folder only once the BGM played again.
  const [playedAt, firstOther] = await page.evaluate(() => [performance.getEntriesByName('bgm-resumed')[0]?.startTime,
    Math.min(...performance.getEntriesByType('resource').filter((r) => /\/(media|api\/list)\?/.test(r.name) && r.name !== jaunvelDeck.bgm.element.src).map((r) => r.startTime))]);
  assert.ok(playedAt > 0 && firstOther >= playedAt, `${playedAt} ${firstOther}`);
  assert.deepEqual(errors, []);
  await context.close();
});

test('pads play from hotkeys without a gesture, per their mode; BGM plays, moves on, pauses and shuffles', async () => {
  const { context, page, errors } = await openShow();
  await page.click('#tabs .tab:nth-child(2)'); // SE: カウントダウン (3 s), ゴング, ドラムロール, …
  // What reaches the output follows each pad's volume: pad 1, turned down to 0, plays unheard.
  await editPad(page, 0, { volume: '0' });
  await tapMaster(page);
  assert.equal((await press(page, '1'))[0], true);
  assert.equal(await page.getAttribute('#audio-state', 'data-state'), 'running');
  await page.waitForFunction(() => /^-0:0[0-2]\.\d$/.test(document.querySelector('#grid .pad:nth-child(1) .status').textContent)); // played 0.06 s or more
  assert.equal(await page.evaluate(() => level()), 0);
  // A toggle pad fades out on its second press; a duck pad lowers the BGM meanwhile.
  await editPad(page, 2, { mode: 'toggle', duck: true });
  assert.deepEqual([(await press(page, '3'))[2], await page.isVisible('#duck-indicator')], [true, true]);
  assert.deepEqual([(await press(page, '3'))[2], await page.isVisible('#duck-indicator')], [false, false]);
  assert.deepEqual([(await press(page, '1'))[0], (await press(page, '2'))[1]], [true, true]);
  await page.waitForFunction(() => level() > 0.01); // pad 2, at its own volume, is heard
  for (const k of ['Escape', 'Escape']) assert.deepEqual((await press(page, k)).filter(Boolean), [], k); // Esc fades all out; twice, at once

  await page.click('#bgm-play');
  await page.waitForFunction(() => jaunvelDeck.bgm.element.currentTime > 0);
  assert.deepEqual(await texts(page, '#bgm-title', '#bgm-play'), [['bgm1 待機'], ['■ 一時停止']]);
  // With music playing, a dialog of the shell's (modal: no stop key gets through) is opened only
  // once the operator has chosen: stop first, or keep it playing.
  await posted(page);
  await page.click('#btn-theme');
  assert.deepEqual([await posted(page), await page.isVisible('#ask')], [[], true]);
  await page.click('#ask-stop');
  await page.waitForFunction(() => window.__posted.length > 0); // the answer comes with the dialog's close event
  assert.deepEqual([await posted(page), await page.evaluate(() => jaunvelDeck.bgm.playing)], [[['folderPicker', 'theme']], false]);
  await page.click('#bgm-play');
  await page.click('#bgm-next');
  assert.deepEqual(await texts(page, '#bgm-title', '#bgm-list li.current'), [['bgm2 休憩'], ['bgm2 休憩']]);
  await page.click('#bgm-play');
  await page.waitForFunction(() => jaunvelDeck.bgm.element.paused && document.getElementById('bgm-play').textContent === '▶ 再生');
  await page.check('#bgm-shuffle');
  // The track now playing opens the first shuffled round; 100 rounds follow.
  const titles = await page.evaluate(() => Array.from({ length: 301 }, (_, i) => (i && document.getElementById('bgm-next').click(), document.getElementById('bgm-title').textContent)));
  for (let i = 0; i < 300; i += 3) assert.equal(new Set(titles.slice(i, i + 3)).size, 3, `every track once in round ${i / 3}`);
  assert.ok(titles.every((t, i) => i === 0 || t !== titles[i - 1]), 'no track twice in a row');
  assert.deepEqual(errors, []);
  await context.close();
});

test('imports fill the deck, pads show missing, unsupported and long files, and failures say why', async () => {
  const { context, page } = await openDeck(browser, url);
  await call(page, 'importSamplerPageFolderFromNative', path.join(dir, 'odd'));
  await call(page, 'setSamplerFileFromNative', { index: 2, path: path.join(dir, 'odd', 'deleted.wav'), name: 'deleted.wav' });
  assert.equal(await preflight(page), '1/3 パッド準備完了（うち直接再生 1） · BGM 0曲 · 見つからない 1 · 読めない 1');
  assert.deepEqual(await page.$$eval('#grid .pad', (els) => els.slice(0, 3).map((e) => e.dataset.state)), ['unsupported', 'ready', 'missing']);
  assert.deepEqual(await texts(page, '#tabs .tab', '#grid .pad:nth-child(-n+2) .badge:not([hidden])'), [['odd'], ['直接再生']]);
  assert.equal((await press(page, '2'))[1], true); // the long file streams
  await page.waitForFunction(() => /^-0:4\d\.\d$/.test(document.querySelector('#grid .pad:nth-child(2) .status').textContent));

  await callAnswering(page, 'importSamplerPageFolderFromNative', path.join(dir, 'extra'), true); // over the same page
  await call(page, 'importBgmFolderFromNative', path.join(showDir, 'bgm'));
  // A pad labelled after its file takes the new file's name.
  await call(page, 'setSamplerFileFromNative', { index: 1, path: path.join(showDir, 'SE', '正解.wav'), name: '正解.wav' });
  assert.deepEqual((await labels(page)).slice(0, 3), ['効果音 A', '正解', '']);
  assert.equal(await preflight(page), '2/2 パッド準備完了 · BGM 3曲 · 見つからない 0');

  const cases = [
    ['samplerConfigSaveFailedFromNative', '書き込み権限がありません', /保存できませんでした: 書き込み権限がありません/],
    ['samplerConfigImportFailedFromNative', '読み込めませんでした', /大会設定を読み込めませんでした: 読み込めませんでした/],
    ['importSamplerConfigFromNative', { name: 'a.json', content: '' }, /「a\.json」を読み込めませんでした: 設定ファイルが空です/],
    ['importSamplerConfigFromNative', { name: 'b.json', content: '{"format": ' }, /JSONとして読めません/],
    ['importSamplerConfigFromNative', { name: 'c.json', content: '{"pages": []}' }, /Jaunvel の大会設定ファイルではありません/],
    ['importSamplerConfigFromNative', { name: 'd.json', content: '{"format":"jaunvel-deck","schemaVersion":9,"pages":[]}' }, /新しい版/],
    ['setSamplerFileFromNative', { index: 999, path: '/x.wav', name: 'x.wav' }, /パッドが見つかりませんでした/],
    ['importBgmFolderFromNative', path.join(dir, 'empty'), /音源がありません/],
    ['setThemeFolderFromNative', path.join(dir, 'nowhere'), /基本フォルダを読み込めませんでした: フォルダが見つかりません/],
  ];
  for (const [name, value, pattern] of cases) {
    await call(page, name, value);
    assert.match(await lastMessage(page), pattern, name);
    assert.equal(await page.getAttribute('#messages .message:last-child', 'class'), 'message error', name);
  }
  // The same message again is counted on the one shown; messages never lie over a pad.
  const shown = await page.locator('#messages .message').count();
  await call(page, ...cases.at(-1).slice(0, 2));
  assert.deepEqual([await page.locator('#messages .message').count(), await page.textContent('#messages .message:last-child .count')], [shown, '×2']);
  const overlapping = await page.evaluate(() => {
    const over = (a, b) => a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
    const pads = [...document.querySelectorAll('#grid .pad')].map((p) => p.getBoundingClientRect());
    return [...document.querySelectorAll('#messages .message')].filter((m) => pads.some((p) => over(m.getBoundingClientRect(), p))).length;
  });
  assert.equal(overlapping, 0);
  // A failure in asynchronous work reaches the operator too.
  await page.evaluate(() => setTimeout(() => Promise.reject(new Error('読み込みの途中で失敗'))));
  await page.waitForFunction(() => /内部エラー: 読み込みの途中で失敗/.test(document.querySelector('#messages .message:last-child span').textContent));
  await context.close();
});

test('settings saved and opened restore the deck, and a base folder chosen for it keeps its layout', async () => {
  let { context, page } = await openShow();
  await page.fill('#show-name', '決勝/大会');
  await editPad(page, 0, { label: '開会！', volume: '0.4', mode: 'loop', duck: true });
  await slide(page, '#vol-master', '0.5');
  const save = async () => (await posted(page), await page.click('#btn-save'), (await posted(page))[0]);
  const [, { name, content }] = await save();
  await context.close();
  const doc = JSON.parse(content);
  const pad = doc.pages[0].pads[0];
  // paths inside the base folder are relative
  assert.deepEqual([name, doc.format, doc.baseFolder, doc.pages[1].pads[0].file, doc.bgm.folder, doc.volumes.master, pad.label, pad.volume, pad.mode, pad.duck],
    ['決勝_大会.brasmoor.json', 'jaunvel-deck', showDir, 'SE/カウントダウン.wav', 'bgm', 0.5, '開会！', 0.4, 'loop', true]);

  ({ context, page } = await openDeck(browser, url));
  const open = (text) => call(page, 'importSamplerConfigFromNative', { path: '/t/決勝.json', name: '決勝.json', content: text });
  await open(content);
  assert.equal(await preflight(page), READY);
  assert.deepEqual(await texts(page, '#tabs .tab', '#grid .pad:nth-child(1) :is(.label, .mode)'), [TABS, ['開会！', 'ループ']]);
  assert.equal((await save())[1].content, content, 'saved again, the same settings');

  // Choosing a base folder for a show from a settings file keeps its layout too.
  await call(page, 'setThemeFolderFromNative', showDir);
  assert.deepEqual([await preflight(page), (await labels(page))[0]], [READY, '開会！']);
  await context.close();
});

test('without the bridge: callbacks racing the load are handled, the page says what needs the shell, drops never navigate', async () => {
  const context = await browser.newContext({ locale: 'ja-JP' });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (err) => errors.push(err.message));
  page.on('console', (msg) => msg.type() === 'error' && errors.push(msg.text()));
  let release;
  const gate = new Promise((r) => (release = r));
  await page.route('**/main.js', async (route) => (await gate, route.continue())); // holds the deck's module back
  await page.goto(url, { waitUntil: 'commit' });
  await page.waitForFunction(() => Array.isArray(window.__jaunvelEarlyCalls) && !window.jaunvelDeck);
  await call(page, 'importBgmFolderFromNative', path.join(showDir, 'bgm'));
  release();
  await page.waitForFunction(() => document.querySelectorAll('#bgm-list li').length === 3);
  assert.match(await page.textContent('#no-bridge:visible'), /デスクトップアプリ Jaunvel が必要です/);
  const prevented = await page.evaluate(() => ['dragover', 'drop'].map((type) => {
    const dataTransfer = new DataTransfer();
    dataTransfer.items.add(new File(['x'], 'x.wav', { type: 'audio/wav' }));
    return !document.querySelector('.pad').dispatchEvent(new DragEvent(type, { dataTransfer, bubbles: true, cancelable: true }));
  }));
  assert.deepEqual(prevented, [true, true]);

  // A folder chosen while the last one is still loading: only its pads stay decoded and counted.
  await page.evaluate((folders) => folders.forEach((f) => window.setThemeFolderFromNative(f)), [path.join(dir, 'big show'), showDir]);
  await page.click('#ask-yes'); // the BGM list would be replaced: the deck asks once, for the last folder
  await preflightIs(page, READY);
  await page.waitForFunction(() => [...jaunvelDeck.engine.files.values()].every((f) => f.state !== 'loading'));
  const { paths, decoded, counted } = await page.evaluate(() => {
    const { files, decodedBytes } = jaunvelDeck.engine;
    return { paths: [...files.keys()], decoded: decodedBytes, counted: [...files.values()].reduce((n, f) => n + (f.buffer ? f.bytes : 0), 0) };
  });
  assert.deepEqual(paths.filter((p) => !p.startsWith(showDir)), []);
  assert.equal(decoded, counted);
  assert.deepEqual(errors, []);
  await context.close();
});

const focused = (page) => page.evaluate(() => document.activeElement.id || document.activeElement.tagName);

test('the show keys work whatever has the focus, give way to typing and to an input method, and faders drag', async () => {
  const { context, page, errors } = await openShow();
  await page.setViewportSize({ width: 1440, height: 940 });
  await page.click('#tabs .tab:nth-child(2)'); // SE: カウントダウン (3 s) first
  // A click in the middle of a fader moves nothing, and leaves the keys to the show.
  await page.click('#vol-master');
  assert.deepEqual([await page.inputValue('#vol-master'), await focused(page)], ['0.9', 'BODY']);
  await page.keyboard.press('1');
  await page.keyboard.press('ArrowLeft');
  assert.deepEqual([(await playing(page))[0], await page.inputValue('#vol-master')], [true, '0.9']);
  // A fader follows a drag from where it is.
  const box = await page.locator('#vol-pads').boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.3, box.y + box.height / 2, { steps: 4 });
  await page.mouse.up();
  assert.ok(Math.abs(Number(await page.inputValue('#vol-pads')) - 0.7) < 0.03, await page.inputValue('#vol-pads'));
  // Space after a click on the shuffle box plays the BGM; the box keeps the state the click gave it.
  await page.click('#bgm-shuffle');
  await page.keyboard.press(' ');
  assert.deepEqual(await page.evaluate(() => [jaunvelDeck.bgm.playing, document.getElementById('bgm-shuffle').checked]), [true, true]);
  // Esc after a click on a checkbox stops what sounds.
  await page.keyboard.press('Escape');
  assert.deepEqual([(await playing(page))[0], await page.evaluate(() => jaunvelDeck.bgm.playing)], [false, false]);

  // From the keyboard alone: Tab to a pad, Enter plays it; Enter on a BGM track plays that track.
  await page.focus('#grid .pad:nth-child(2)');
  await page.keyboard.press('Enter');
  assert.equal((await playing(page))[1], true);
  assert.equal(await page.getAttribute('#grid .pad:nth-child(3) .edit', 'aria-label'), 'パッド 3 の設定');
  await page.focus('#bgm-list li:nth-child(3)');
  await page.keyboard.press('Enter');
  assert.equal(await page.evaluate(() => jaunvelDeck.bgm.current.name), 'bgm10 エンディング.wav');
  await page.keyboard.press('Escape');
  // In the editor: Esc stops the pad and closes the editor.
  await page.keyboard.press('2');
  await page.click('#grid .pad:nth-child(3) .edit');
  await page.keyboard.press('Escape');
  assert.deepEqual([(await playing(page))[1], await page.isVisible('#pad-editor')], [false, false]);
  // In 大会名: keys type, the first Esc stops (other fields, Ctrl+Z and input methods: the router's
  // own test; an input method's Enter in WebKitGTK: the WebKitGTK test's).
  await page.keyboard.press('1');
  await page.click('#show-name');
  await page.keyboard.type('1 ');
  assert.deepEqual([await focused(page), (await playing(page))[0], await page.evaluate(() => jaunvelDeck.bgm.playing)], ['show-name', true, false]);
  await page.keyboard.press('Escape');
  assert.deepEqual([(await playing(page))[0], await page.inputValue('#show-name')], [false, '1 ']);
  // A hotkey another pad has is refused, and the editor says whose it is.
  await page.click('#grid .pad:nth-child(3) .edit');
  await page.click('#ed-hotkey');
  await page.keyboard.press('KeyQ');
  assert.match(await page.textContent('#ed-hotkey-note'), /「Q」はパッド 5/);
  await page.keyboard.press('KeyY');
  await page.click('.pad-editor button[value="close"]');
  assert.deepEqual((await texts(page, '#grid .pad:nth-child(-n+5) .key'))[0], ['1', '2', 'Y', '4', 'Q']);
  assert.deepEqual(errors, []);
  await context.close();
});

test('relinking a moved show: each page keeps its own files, the BGM and base folder follow, what is left is listed; a cancelled relink leaves nothing behind', async () => {
  const root = path.join(dir, 'relink');
  const src = path.join(root, '大会');
  writeTree(src, {
    '予選/start.wav': { seconds: 0.5, freq: 300 }, '予選/end.wav': { seconds: 0.6, freq: 300 },
    '決勝/start.wav': { seconds: 0.7, freq: 600 }, '決勝/end.wav': { seconds: 0.8, freq: 600 },
    'bgm/a.wav': { seconds: 1 }, 'bgm/b.wav': { seconds: 1 },
  });
  let { context, page } = await openDeck(browser, url);
  // A first run says what to do first.
  assert.match(await page.textContent('#first-steps:visible'), /フォルダを選んでください.*サブフォルダがそれぞれページ.*「bgm」/s);
  await call(page, 'setThemeFolderFromNative', src);
  assert.equal(await page.isVisible('#first-steps'), false);
  await preflight(page);
  await editPad(page, 1, { label: '始まりの合図' });
  await page.click('#btn-save');
  const { content } = (await posted(page)).at(-1)[1];
  await context.close();
  const moved = path.join(root, '移動後');
  fs.renameSync(src, moved);
  fs.rmSync(path.join(moved, '決勝', 'end.wav'));

  ({ context, page } = await openDeck(browser, url));
  await call(page, 'importSamplerConfigFromNative', { name: '大会.json', content });
  await preflight(page);
  await page.click('#btn-relink');
  assert.deepEqual((await posted(page)).at(-1), ['folderPicker', 'theme']);
  await call(page, 'setThemeFolderFromNative', moved);
  // Each page's pads play that page's files (told apart by their lengths); none is taken from the other page.
  const found = await page.evaluate(() => jaunvelDeck.show.pages.map((p) => [p.name, p.pads.filter((pad) => pad.path)
    .map((pad) => `${pad.path.split('/').slice(-2).join('/')} ${Math.round((jaunvelDeck.engine.fileState(pad.path).duration || 0) * 10) / 10}`)]));
  assert.deepEqual(Object.fromEntries(found), { 予選: ['予選/end.wav 0.6', '予選/start.wav 0.5'], 決勝: ['決勝/end.wav 0', '決勝/start.wav 0.7'] });
  assert.equal(await preflight(page), '3/4 パッド準備完了 · BGM 2曲 · 見つからない 1');
  assert.match(await lastMessage(page), /見つからないもの 1個: 決勝 1「end\.wav」/);
  assert.deepEqual([await page.textContent('#base-folder'), (await labels(page))[1]], [moved, '始まりの合図']);
  await page.click('#btn-save');
  const saved = JSON.parse((await posted(page)).at(-1)[1].content);
  assert.deepEqual([saved.baseFolder, saved.bgm.folder, saved.pages[0].pads[1].file], [moved, 'bgm', '決勝/start.wav']);
  await context.close();

  // A relink dialog closed without a folder: the next base folder lays a show out as asked.
  ({ context, page } = await openDeck(browser, url));
  await call(page, 'setThemeFolderFromNative', path.join(moved, '予選'));
  await preflight(page);
  await page.$eval('#btn-relink', (b) => b.click()); // shown only when files are missing
  await page.click('#btn-theme');
  await callAnswering(page, 'setThemeFolderFromNative', moved, true);
  assert.deepEqual((await texts(page, '#tabs .tab'))[0], ['決勝', '予選']);
  await context.close();
});

test('the deck asks before it throws work away, and Ctrl+Z takes back the last steps', async () => {
  const { context, page, errors } = await openShow();
  await editPad(page, 0, { label: '開会', mode: 'loop' });
  // Laying the deck out again, or pouring a folder over a page, waits for a yes.
  await callAnswering(page, 'setThemeFolderFromNative', showDir, false);
  await callAnswering(page, 'importSamplerPageFolderFromNative', path.join(dir, 'extra'), false);
  assert.deepEqual([(await labels(page))[0], (await texts(page, '#tabs .tab'))[0]], ['開会', TABS]);
  await page.click('#tabs .tab:nth-child(2)');
  await page.click('#btn-delete-page');
  await page.click('#ask-yes');
  await page.waitForFunction(() => document.querySelectorAll('#tabs .tab').length === 2); // answered on the dialog's close event
  assert.deepEqual((await texts(page, '#tabs .tab'))[0], [TABS[0], TABS[2]]);
  await page.keyboard.press('Control+z');
  assert.deepEqual((await texts(page, '#tabs .tab'))[0], TABS);
  for (let i = 0; i < 2; i++) await page.keyboard.press('Control+z'); // the mode, then the label
  await page.click('#tabs .tab:nth-child(1)');
  assert.deepEqual((await texts(page, '#grid .pad:nth-child(1) :is(.label, .mode)'))[0], ['開会ジングル', '']);
  assert.deepEqual(errors, []);
  await context.close();
});

test('the pre-flight checks every file now, lists each problem with a jump to it; without the server the deck says so, plays what it has, and recovers', async () => {
  const truth = path.join(dir, 'truth');
  writeTree(truth, { 'p1.wav': { seconds: 0.5 }, 'p2.wav': { seconds: 0.5 }, 'bgm/a.wav': { seconds: 1 }, 'bgm/b.wav': Buffer.alloc(0), 'bgm/c.wav': 'not audio' });
  let { context, page } = await openDeck(browser, url);
  await call(page, 'setThemeFolderFromNative', truth);
  await preflightIs(page, '2/2 パッド準備完了 · BGM 1曲 · 見つからない 0 · BGMの問題 2');
  await page.click('#btn-save');
  const { content } = (await posted(page)).at(-1)[1];
  // A file deleted while the deck runs is found out when the settings are opened again.
  fs.rmSync(path.join(truth, 'p2.wav'));
  await call(page, 'importSamplerConfigFromNative', { name: 't.json', content });
  await preflightIs(page, '1/2 パッド準備完了 · BGM 1曲 · 見つからない 1 · BGMの問題 2');
  assert.equal(await page.getAttribute('#preflight', 'class'), 'preflight bad');
  await page.click('#preflight');
  assert.deepEqual((await texts(page, '#preflight-list li'))[0], ['truth 2「p2」: ファイルが移動か削除されています（読み込み済みの音は鳴ります）',
    'BGM 2「b.wav」: 音声として読めません', 'BGM 3「c.wav」: 音声として読めません']);
  await page.click('#preflight-list li:first-child button');
  assert.equal(await page.evaluate(() => document.activeElement === document.querySelector('#grid .pad:nth-child(2)')), true);
  await context.close();

  // A server of its own, stopped while the BGM plays.
  let own = createDeckServer({ port: 0 });
  const { port } = await own.start();
  ({ context, page } = await openDeck(browser, `http://localhost:${port}/`));
  await call(page, 'setThemeFolderFromNative', showDir);
  await preflightIs(page, READY);
  await page.click('#bgm-play');
  await page.waitForFunction(() => jaunvelDeck.bgm.element.currentTime > 0);
  await own.close();
  const changes = await page.evaluate(async () => {
    let n = 0;
    jaunvelDeck.bgm.addEventListener('change', () => n++);
    document.getElementById('bgm-next').click();
    await new Promise((r) => setTimeout(r, 1000)); // counting what happens in a while: no event to wait for
    return n;
  });
  assert.ok(changes < 6, `${changes} changes in 1 s`);
  await page.waitForSelector('#server-banner:not([hidden])');
  assert.deepEqual(await texts(page, '#bgm-play', '#bgm-title'), [['▶ 再生'], ['bgm2 休憩（サーバー待ち）']]);
  assert.equal((await press(page, '1'))[0], true, 'a loaded pad still plays');
  own = createDeckServer({ port });
  await own.start();
  await page.waitForSelector('#server-banner[hidden]', { state: 'attached' });
  await page.waitForFunction(() => jaunvelDeck.bgm.playing && jaunvelDeck.bgm.element.currentTime > 0.1);
  assert.deepEqual(await texts(page, '#bgm-play', '#bgm-title'), [['■ 一時停止'], ['bgm2 休憩']]);
  await context.close();
  await own.close();
});

test('what sounds is shown across pages and stoppable, volume changes are heard at once, 64 pads stay readable and take keys, a crossfade leaves short tracks heard', async () => {
  const full = {};
  for (let i = 1; i <= 64; i++) full[`満杯/${String(i).padStart(2, '0')} 効果音の長めの名前 ${i}.wav`] = { seconds: 0.2, rate: 8000 };
  Object.assign(full, { 'xf/a.wav': { seconds: 4 }, 'xf/b.wav': { seconds: 1, freq: 600 }, 'xf/c.wav': { seconds: 4 } });
  writeTree(dir, full);
  const { context, page, errors } = await openShow();
  await page.setViewportSize({ width: 1440, height: 940 });
  await tapMaster(page);
  // SE's first pad (3 s) plays; on another page it is still shown, with a stop, and its tab is marked.
  await page.click('#tabs .tab:nth-child(2)');
  await press(page, '1');
  await page.waitForFunction(() => level() > 0.05);
  await editPad(page, 0, { volume: '0' });
  await page.waitForFunction(() => level() < 0.001 && jaunvelDeck.engine.voices.size === 1); // turned down while it plays
  await page.click('#tabs .tab:nth-child(1)');
  assert.deepEqual(await texts(page, '#sounding .chip .name', '#tabs .tab.sounding'), [['SE 1 カウントダウン'], ['SE']]);
  await page.click('#sounding .chip button');
  await page.waitForSelector('#sounding[data-empty="true"]');
  assert.deepEqual((await texts(page, '#tabs .tab.sounding'))[0], []);

  // A full page: every label shows, and pad 20 takes a key of its own.
  await page.click('#btn-add-page');
  await call(page, 'importSamplerPageFolderFromNative', path.join(dir, '満杯'));
  await preflight(page);
  const unreadable = await page.$$eval('#grid .pad', (pads) => pads.filter((p) => {
    const label = p.querySelector('.label').getBoundingClientRect();
    const box = p.getBoundingClientRect();
    return label.height < 12 || label.top < box.top || label.bottom > box.bottom;
  }).length);
  assert.deepEqual([await page.locator('#grid .pad').count(), unreadable], [64, 0]);
  // State text on every pad colour (a full page has them all) is 4.5:1 or more.
  const contrasts = await page.$$eval('#grid .pad', (pads) => {
    const rgb = (c) => (c.match(/[\d.]+/g) || []).slice(0, 3).map(Number).map((v) => (c.startsWith('color(') ? v * 255 : v));
    const lum = (c) => rgb(c).map((v) => (v /= 255) <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4).reduce((n, v, i) => n + v * [0.2126, 0.7152, 0.0722][i], 0);
    return pads.map((p) => {
      const [a, b] = [lum(getComputedStyle(p.querySelector('.status')).color), lum(getComputedStyle(p).backgroundColor)].sort((x, y) => y - x);
      return (a + 0.05) / (b + 0.05);
    });
  });
  assert.ok(Math.min(...contrasts) >= 4.5, `lowest contrast ${Math.min(...contrasts).toFixed(2)}`);
  await editPad(page, 19, { key: 'KeyK' });
  assert.equal((await press(page, 'K'))[19], true);

  // Crossfade of 3 s into a 1 s track: the fade is at most 0.5 s, and the track is heard for half its length or more.
  await call(page, 'importBgmFolderFromNative', path.join(dir, 'xf'));
  await slide(page, '#bgm-xfade', '3');
  await page.click('#bgm-play');
  await page.waitForFunction(() => jaunvelDeck.bgm.element.currentTime > 0);
  const heard = await page.evaluate(async () => {
    const { bgm } = jaunvelDeck;
    document.getElementById('bgm-next').click();
    const from = performance.now();
    await new Promise((r) => bgm.addEventListener('change', function moved() {
      if (bgm.current.name !== 'b.wav') r(bgm.removeEventListener('change', moved));
    }));
    return { fade: bgm.lastFade, seconds: (performance.now() - from) / 1000 };
  });
  assert.ok(heard.fade <= 0.5 && heard.seconds >= 0.45, JSON.stringify(heard));
  // The BGM's clocks, its chip and its bar change together, once a second (in WebKitGTK without
  // a GPU every frame that changes anything costs tens of ms).
  await slide(page, '#bgm-xfade', '0');
  await page.dblclick('#bgm-list li:nth-child(1)');
  const ticks = await page.evaluate(async () => {
    const seen = [];
    const $ = (id) => document.getElementById(id);
    const watch = new MutationObserver(() => seen.push([$('bgm-elapsed').textContent, $('bgm-remaining').textContent, $('bgm-progress').style.width]));
    for (const id of ['bgm-elapsed', 'bgm-remaining', 'bgm-progress', 'sounding']) watch.observe($(id), { subtree: true, childList: true, characterData: true, attributes: true });
    await new Promise((r) => setTimeout(r, 2600));
    watch.disconnect();
    return seen;
  });
  const secs = (t) => Number(t.replace('-', '').split(':')[0]) * 60 + Number(t.split(':')[1]);
  assert.ok(ticks.length >= 2 && ticks.length <= 5, JSON.stringify(ticks)); // a.wav: 4 s
  for (const [elapsed, left, bar] of ticks.slice(-2)) assert.deepEqual([secs(elapsed) + secs(left), bar], [4, `${secs(elapsed) * 25}%`], JSON.stringify(ticks));
  assert.deepEqual(errors, []);
  await context.close();
});
});

// Run once the page has loaded: the callback may still come before the deck's modules have run.
const SCENARIO = `
const frame = () => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
const text = (id) => document.getElementById(id).textContent;
window.setThemeFolderFromNative(show);
if (document.readyState !== 'complete') await new Promise((r) => addEventListener('load', r, { once: true }));
if (!window.jaunvelDeck) return JSON.stringify({ errors: __errors });
for (let i = 0; i < 600 && !(/BGM 3曲/.test(text('preflight')) && !document.querySelector('.pad[data-state="loading"]')); i++) await frame();
const out = { preflight: text('preflight'), tabs: [...document.querySelectorAll('#tabs .tab')].map((t) => t.textContent) };
document.querySelector('#tabs .tab:nth-child(2)').click();
document.dispatchEvent(new KeyboardEvent('keydown', { key: '1', code: 'Digit1', bubbles: true, cancelable: true }));
Object.assign(out, { padPlaying: document.querySelector('#grid .pad').dataset.playing, audio: jaunvelDeck.engine.ctx.state });
document.getElementById('bgm-play').click();
await new Promise((r) => jaunvelDeck.bgm.element.addEventListener('timeupdate', r, { once: true }));
Object.assign(out, { bgmTitle: text('bgm-title'), bgmAdvancing: jaunvelDeck.bgm.element.currentTime > 0 });
document.getElementById('btn-kill').click(); // with nothing sounding, the shell's dialogs open at once
document.getElementById('btn-save').click();
document.getElementById('btn-theme').click();
return JSON.stringify({ ...out, errors: __errors });
`;

// Eight files, the second of them empty: WebKitGTK never settles a decode of it, and held every
// later decode behind it. Each file gets its own answer, and a page imported later loads too.
const EMPTY_AMONG_EIGHT = `
const frame = () => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
const settled = () => !document.querySelector('.pad[data-state="loading"]');
const states = () => [...document.querySelectorAll('#grid .pad')].slice(0, 8).map((p) => p.dataset.state);
const answered = async (done) => {
  for (let i = 0; i < 300 && !document.getElementById('ask').open; i++) await frame();
  document.getElementById('ask-yes').click();
  return done;
};
await answered(window.importSamplerPageFolderFromNative(show + '/../eight'));
for (let i = 0; i < 900 && !settled(); i++) await frame();
const eight = states();
const status = document.querySelector('#grid .pad:nth-child(2) .status').textContent;
await answered(window.importSamplerPageFolderFromNative(show + '/../extra'));
for (let i = 0; i < 900 && !settled(); i++) await frame();
return JSON.stringify({ eight, status, later: states().slice(0, 2), errors: __errors });
`;

// The show keys in WebKitGTK, sent where the focus is: on a fader, in 大会名 with an input
// method confirming a conversion, then Esc there.
const KEYS_WHEREVER_FOCUS = `
const key = (el, init) => el.dispatchEvent(new KeyboardEvent('keydown', { bubbles: true, cancelable: true, ...init }));
// Read at once: the key handler lights the pad itself (frames come slowly under Xvfb).
const pad1 = () => [document.querySelector('#grid .pad').dataset.playing, jaunvelDeck.engine.voices.size];
const fader = document.getElementById('vol-master');
fader.focus();
key(fader, { key: '1', code: 'Digit1' });
const out = { fromFader: pad1() };
const name = document.getElementById('show-name');
name.focus();
key(name, { key: 'Enter', code: 'Enter', isComposing: true });
key(name, { key: 'Enter', code: 'Enter', keyCode: 229 });
out.stillTyping = document.activeElement === name;
key(name, { key: 'Escape', code: 'Escape' });
out.afterEsc = [...jaunvelDeck.engine.voices.keys()].some((p) => jaunvelDeck.engine.isPlaying(p));
return JSON.stringify({ ...out, errors: __errors });
`;

test('in WebKitGTK the deck takes an early callback, plays pads and BGM, posts to the shell, an empty file holds up nothing and the show keys work wherever the focus is', { skip: noWebKit, timeout: 90000 }, async () => {
  const { results, posted } = await webkitRun;
  assert.deepEqual(results[0], { preflight: READY, tabs: TABS, padPlaying: 'true', audio: 'running', bgmTitle: 'bgm1 待機', bgmAdvancing: true, errors: [] });
  assert.deepEqual(posted.map(([channel, body]) => [channel, channel === 'configSaver' ? JSON.parse(body.content).baseFolder : body]), [['configSaver', showDir], ['folderPicker', 'theme']]);
  assert.deepEqual(results[1], { eight: ['ready', 'unsupported', 'ready', 'ready', 'ready', 'ready', 'ready', 'ready'], status: '空のファイル', later: ['ready', 'ready'], errors: [] });
  assert.deepEqual(results[2], { fromFader: ['true', 1], stillTyping: true, afterEsc: false, errors: [] });
});
