'use strict';
// The deck page in headless chromium, with the shell's bridge replaced by a recorder.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createDeckServer } = require('../server.js');
const { writeShowFolder, writeTree } = require('./helpers/wav.js');
const { launchBrowser, openDeck } = require('./helpers/browser.js');

let dir, showDir, deck, url, browser;
const TABS = ['春季大会 "決勝"', 'SE', 'オープニング'];
const READY = '10/10 パッド準備完了 · BGM 3曲 · 欠落 0';

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
});

after(async () => {
  await browser?.close();
  await deck?.close();
  fs.rmSync(dir, { recursive: true, force: true });
});

const posted = (page) => page.evaluate(() => window.__posted.splice(0));
const call = (page, name, value) => page.evaluate(([n, v]) => window[n](v), [name, value]); // awaits what the callback returns
// The texts of the elements each selector matches, a list per selector.
const texts = (page, ...selectors) => page.evaluate((all) => all.map((s) => [...document.querySelectorAll(s)].map((e) => e.textContent)), selectors);
const labels = async (page) => (await texts(page, '#grid .pad .label'))[0];
const lastMessage = (page) => page.textContent('#messages .message:last-child span');
const loaded = (page) => page.waitForFunction(() => !document.querySelector('.pad[data-state="loading"]') && /BGM/.test(document.getElementById('preflight').textContent));
const preflight = async (page) => (await loaded(page), page.textContent('#preflight'));
const preflightIs = (page, text) => page.waitForFunction((t) => document.getElementById('preflight').textContent === t, text);
// Presses a key; resolves with which pads play once they are redrawn (on the next frame).
const press = (page, k) => page.evaluate(async (name) => {
  document.dispatchEvent(new KeyboardEvent('keydown', { key: name, code: /^\d$/.test(name) ? `Digit${name}` : name, bubbles: true, cancelable: true }));
  await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
  return [...document.querySelectorAll('#grid .pad')].map((pad) => pad.dataset.playing === 'true');
}, k);
// At the given window size: the texts in the master strip and the BGM controls that break over
// more than one line, and the master strip's controls that stick out of it.
async function stripFaults(page, width, height) {
  await page.setViewportSize({ width, height });
  return page.evaluate(() => {
    const faults = [];
    for (const root of document.querySelectorAll('.master, .bgm-controls')) {
      const walk = document.createTreeWalker(root, NodeFilter.SHOW_TEXT);
      for (let node; (node = walk.nextNode());) {
        const range = document.createRange();
        range.selectNodeContents(node);
        if (new Set([...range.getClientRects()].map((r) => Math.round(r.top))).size > 1) faults.push(node.textContent.trim());
      }
    }
    const strip = document.querySelector('.master').getBoundingClientRect();
    for (const el of document.querySelectorAll('.master :is(label, button, .preflight)')) {
      const r = el.getBoundingClientRect();
      if (r.width && (r.left < strip.left || r.right > strip.right || r.bottom > strip.bottom)) faults.push(`${el.id || el.textContent} outside`);
    }
    return faults;
  });
}
// Opens a pad's editor, sets what is given or picks a file, and closes it.
async function editPad(page, i, { label, mode, duck, pick }) {
  await page.click(`#grid .pad:nth-child(${i + 1}) .edit`);
  if (label) await page.fill('#ed-label', label);
  if (mode) await page.selectOption('#ed-mode', mode);
  if (duck) await page.check('#ed-duck');
  if (pick) await page.click('#ed-pick');
  await page.click('.pad-editor button[value="close"]');
}
async function openShow() {
  const session = await openDeck(browser, url);
  await call(session.page, 'setThemeFolderFromNative', showDir);
  await loaded(session.page);
  return session;
}

test('a base folder lays out the deck; each control posts its body; an answer after a reload finds its pad', async () => {
  const { context, page, errors } = await openShow();
  assert.deepEqual(await texts(page, '#tabs .tab', '#preflight', '#base-folder', '#bgm-list li'), [TABS, [READY], [showDir], ['bgm1 待機', 'bgm2 休憩', 'bgm10 エンディング']]);
  await page.click('#tabs .tab:nth-child(3)');
  assert.deepEqual((await labels(page)).slice(0, 4), ['01 入場曲', '02 選手紹介', '03 ルール説明', '']);

  await posted(page);
  for (const [button, body] of [['theme', 'theme'], ['bgm-import', 'bgmImport'], ['page-import', 'samplerPageImport'], ['open', null]]) {
    await page.click(`#btn-${button}`);
    assert.deepEqual(await posted(page), [[body ? 'folderPicker' : 'configPicker', body]]);
  }
  await page.fill('#show-name', '秋季/大会');
  await page.click('#btn-save');
  const [[channel, { name, content }]] = await posted(page);
  assert.deepEqual([channel, name, JSON.parse(content).format], ['configSaver', '秋季_大会.brasmoor.json', 'jaunvel-deck']);
  // The file picker carries the pad's index across pages as a number: page 2, slot 8 (empty).
  await page.click('#tabs .tab:nth-child(2)');
  await editPad(page, 7, { pick: true });
  assert.deepEqual(await posted(page), [['filePicker', 16 + 7]]);

  await page.reload();
  await page.waitForFunction(() => window.jaunvelDeck !== undefined);
  assert.deepEqual((await texts(page, '#tabs .tab'))[0], TABS);
  await call(page, 'setSamplerFileFromNative', { index: 16 + 7, path: path.join(dir, 'extra', '効果音 A.wav'), name: '効果音 A.wav' });
  assert.equal(await page.getAttribute('#tabs .tab:nth-child(2)', 'aria-selected'), 'true');
  assert.equal((await labels(page))[7], '効果音 A');
  // The restored deck lists its BGM folder again in the background.
  await preflightIs(page, '11/11 パッド準備完了 · BGM 3曲 · 欠落 0');
  assert.deepEqual(errors, []);
  await context.close();
});

test('pads play from hotkeys without a gesture, per their mode; BGM plays, moves on, pauses and shuffles', async () => {
  const { context, page, errors } = await openShow();
  await page.click('#tabs .tab:nth-child(2)'); // SE: カウントダウン (3 s), ゴング, ドラムロール, …
  assert.equal((await press(page, '1'))[0], true);
  assert.equal(await page.getAttribute('#audio-state', 'data-state'), 'running');
  await page.waitForFunction(() => /^-0:0[0-3]\.\d$/.test(document.querySelector('#grid .pad:nth-child(1) .status').textContent));
  // A toggle pad fades out on its second press; a duck pad lowers the BGM meanwhile.
  await editPad(page, 2, { mode: 'toggle', duck: true });
  assert.deepEqual([(await press(page, '3'))[2], await page.isVisible('#duck-indicator')], [true, true]);
  assert.deepEqual([(await press(page, '3'))[2], await page.isVisible('#duck-indicator')], [false, false]);
  assert.deepEqual([(await press(page, '1'))[0], (await press(page, '2'))[1]], [true, true]);
  for (const k of ['Escape', 'Escape']) assert.deepEqual((await press(page, k)).filter(Boolean), [], k); // Esc fades all out; twice, at once

  await page.click('#bgm-play');
  await page.waitForFunction(() => jaunvelDeck.bgm.element.currentTime > 0);
  assert.deepEqual(await texts(page, '#bgm-title', '#bgm-play'), [['bgm1 待機'], ['■ 一時停止']]);
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

test('imports fill the deck, pads show missing, unsupported and long files, and failures say why in Japanese', async () => {
  const { context, page } = await openDeck(browser, url);
  await call(page, 'importSamplerPageFolderFromNative', path.join(dir, 'odd'));
  await call(page, 'setSamplerFileFromNative', { index: 2, path: path.join(dir, 'odd', 'deleted.wav'), name: 'deleted.wav' });
  assert.equal(await preflight(page), '1/3 パッド準備完了 · BGM 0曲 · 欠落 1 · 非対応 1');
  // The longest status, with the relink button: the labels still keep to one line, nothing sticks out.
  for (const [w, h] of [[1440, 940], [1920, 1080]]) assert.deepEqual(await stripFaults(page, w, h), [], `${w}x${h}`);
  assert.deepEqual(await page.$$eval('#grid .pad', (els) => els.slice(0, 3).map((e) => e.dataset.state)), ['unsupported', 'ready', 'missing']);
  assert.deepEqual(await texts(page, '#tabs .tab', '#grid .pad:nth-child(-n+2) .badge:not([hidden])'), [['odd'], ['ストリーム']]);
  assert.equal((await press(page, '2'))[1], true); // the long file streams
  await page.waitForFunction(() => /^-0:4\d\.\d$/.test(document.querySelector('#grid .pad:nth-child(2) .status').textContent));

  await call(page, 'importSamplerPageFolderFromNative', path.join(dir, 'extra')); // over the same page
  assert.deepEqual((await labels(page)).slice(0, 3), ['効果音 A', '効果音 B', '']);
  await call(page, 'importBgmFolderFromNative', path.join(showDir, 'bgm'));
  assert.match(await lastMessage(page), /BGMに3曲を取り込みました/);
  // A pad labelled after its file takes the new file's name.
  await call(page, 'setSamplerFileFromNative', { index: 1, path: path.join(showDir, 'SE', '正解.wav'), name: '正解.wav' });
  assert.deepEqual((await labels(page)).slice(0, 3), ['効果音 A', '正解', '']);
  assert.equal(await preflight(page), '2/2 パッド準備完了 · BGM 3曲 · 欠落 0');

  const cases = [
    ['samplerConfigSavedFromNative', { path: '/t/決勝.json', name: '決勝.json' }, /保存しました: 決勝\.json/, 'info'],
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
  for (const [name, value, pattern, kind = 'error'] of cases) {
    await call(page, name, value);
    assert.match(await lastMessage(page), pattern, name);
    assert.equal(await page.getAttribute('#messages .message:last-child', 'class'), `message ${kind}`, name);
  }
  await context.close();
});

test('settings saved and opened restore the deck; a moved show is relinked and keeps its layout', async () => {
  let { context, page } = await openShow();
  await page.fill('#show-name', '決勝大会');
  await editPad(page, 0, { label: '開会！', mode: 'loop', duck: true });
  await page.$eval('#vol-master', (el) => { el.value = '0.5'; el.dispatchEvent(new Event('input')); });
  await posted(page);
  await page.click('#btn-save');
  const [[, { content }]] = await posted(page);
  await context.close();
  const doc = JSON.parse(content);
  // paths inside the base folder are relative
  assert.deepEqual([doc.schemaVersion, doc.baseFolder, doc.pages[1].pads[0].file, doc.bgm.folder], [1, showDir, 'SE/カウントダウン.wav', 'bgm']);

  ({ context, page } = await openDeck(browser, url));
  const open = (text) => call(page, 'importSamplerConfigFromNative', { path: '/t/決勝大会.brasmoor.json', name: '決勝大会.brasmoor.json', content: text });
  await open(content);
  assert.equal(await preflight(page), READY);
  assert.deepEqual(await texts(page, '#tabs .tab', '#grid .pad:nth-child(1) :is(.label, .mode)'), [TABS, ['開会！', 'ループ']]);
  assert.deepEqual([await page.inputValue('#show-name'), await page.inputValue('#vol-master')], ['決勝大会', '0.5']);
  assert.equal(await page.isVisible('#grid .pad:nth-child(1) .duck-mark'), true);

  // The show folder moved: pads say what is missing until a folder is chosen.
  const moved = path.join(dir, '移動先', '決勝');
  fs.cpSync(showDir, moved, { recursive: true });
  await open(JSON.stringify({ ...doc, baseFolder: path.join(dir, 'gone') }));
  assert.equal(await preflight(page), '0/10 パッド準備完了 · BGM 0曲 · 欠落 10');
  assert.deepEqual([await page.getAttribute('#grid .pad', 'data-state'), await page.textContent('#grid .pad .status')], ['missing', '欠落']);
  await page.click('#btn-relink');
  assert.deepEqual(await posted(page), [['folderPicker', 'theme']]);
  await call(page, 'setThemeFolderFromNative', moved);
  assert.equal(await preflight(page), '10/10 パッド準備完了 · BGM 0曲 · 欠落 0');
  assert.match(await lastMessage(page), /10個のパッドを再リンクしました/);
  assert.equal((await labels(page))[0], '開会！');
  // Choosing a base folder for a show from a settings file keeps its layout too.
  await call(page, 'setThemeFolderFromNative', showDir);
  assert.equal(await preflight(page), READY);
  assert.equal((await labels(page))[0], '開会！');
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
  await page.route('**/main.js', async (route) => { // holds the deck's module back
    await gate;
    await route.continue();
  });
  await page.goto(url, { waitUntil: 'commit' });
  await page.waitForFunction(() => Array.isArray(window.__jaunvelEarlyCalls) && !window.jaunvelDeck);
  await call(page, 'importBgmFolderFromNative', path.join(showDir, 'bgm'));
  release();
  await page.waitForFunction(() => document.querySelectorAll('#bgm-list li').length === 3);
  assert.match(await page.textContent('#no-bridge:visible'), /デスクトップアプリ Jaunvel が必要です/);
  assert.deepEqual([await page.isDisabled('#btn-theme'), await page.isDisabled('#btn-save'), await page.isDisabled('#btn-stop')], [true, true, false]);
  const prevented = await page.evaluate(() => ['dragover', 'drop'].map((type) => {
    const dataTransfer = new DataTransfer();
    dataTransfer.items.add(new File(['x'], 'x.wav', { type: 'audio/wav' }));
    const ev = new DragEvent(type, { dataTransfer, bubbles: true, cancelable: true });
    return !document.querySelector('.pad').dispatchEvent(ev); // false once the default is prevented
  }));
  assert.deepEqual(prevented, [true, true]);

  // A folder chosen while the last one is still loading: only its pads stay decoded and counted.
  await page.evaluate((folders) => folders.forEach((f) => window.setThemeFolderFromNative(f)), [path.join(dir, 'big show'), showDir]);
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
