'use strict';
// The deck page in headless chromium, with the shell's bridge replaced by a recorder.
const { test, describe, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createDeckServer } = require('../server.js');
const { writeShowFolder, writeTree, sineWav } = require('./helpers/wav.js');
const { launchBrowser, openDeck } = require('./helpers/browser.js');

let dir;
let showDir;
let deck;
let url;
let browser;

before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-page-'));
  showDir = path.join(dir, '春季大会 "決勝"');
  writeShowFolder(showDir);
  writeTree(dir, {
    'extra/効果音 A.wav': { seconds: 0.4, freq: 700 },
    'extra/効果音 B.wav': { seconds: 0.4, freq: 800 },
    'odd/broken.wav': 'this is not audio at all',
    'odd/long.wav': { seconds: 50, rate: 8000 },
    'empty/readme.txt': 'no audio here',
  });
  for (let i = 1; i <= 24; i++) writeTree(dir, { [`big show/pad${i}.wav`]: { seconds: 1, freq: 300 + i * 10 } });
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
const preflight = (page) => page.textContent('#preflight');
const lastMessage = (page) => page.evaluate(() => document.querySelector('#messages .message:last-child span')?.textContent ?? '');
const call = (page, name, value) => page.evaluate(([n, v]) => window[n](v), [name, value]);
const tabs = (page) => page.$$eval('#tabs .tab', (els) => els.map((e) => e.textContent));
const labels = (page) => page.$$eval('#grid .pad .label', (els) => els.map((e) => e.textContent));
const padState = (page, i) => page.getAttribute(`#grid .pad:nth-child(${i + 1})`, 'data-state');
const loaded = (page) =>
  page.waitForFunction(() => !document.querySelector('.pad[data-state="loading"]') && /BGM/.test(document.getElementById('preflight').textContent));

async function openShow(opts) {
  const session = await openDeck(browser, url, opts);
  await call(session.page, 'setThemeFolderFromNative', showDir);
  await loaded(session.page);
  return session;
}

describe('messages to the shell', () => {
  test('each control posts its body on its channel', async () => {
    const { context, page, errors } = await openShow();
    await posted(page);
    for (const [button, mode] of [['#btn-theme', 'theme'], ['#btn-bgm-import', 'bgmImport'], ['#btn-page-import', 'samplerPageImport']]) {
      await page.click(button);
      assert.deepEqual(await posted(page), [['folderPicker', mode]]);
    }
    await page.click('#btn-open');
    assert.deepEqual(await posted(page), [['configPicker', null]]);

    await page.click('#btn-save');
    let [[channel, body]] = await posted(page);
    assert.equal(channel, 'configSaver');
    assert.equal(body.name, '大会設定.brasmoor.json');
    assert.equal(typeof body.content, 'string');
    assert.equal(JSON.parse(body.content).format, 'jaunvel-deck');
    await page.fill('#show-name', '秋季/大会');
    await page.click('#btn-save');
    [[, body]] = await posted(page);
    assert.equal(body.name, '秋季_大会.brasmoor.json');

    // The file picker carries the pad's index across pages as a number: page 2, slot 6.
    await page.click('#tabs .tab:nth-child(2)');
    await page.click('#grid .pad:nth-child(6) .edit');
    await page.click('#ed-pick');
    assert.deepEqual(await posted(page), [['filePicker', 16 + 5]]);
    assert.deepEqual(errors, []);
    await context.close();
  });
});

describe('callbacks from the shell', () => {
  test('a base folder lays out pages, pads and the playlist', async () => {
    const { context, page, errors } = await openShow();
    assert.deepEqual(await tabs(page), ['春季大会 "決勝"', 'SE', 'オープニング']);
    assert.equal(await preflight(page), '10/10 パッド準備完了 · BGM 3曲 · 欠落 0');
    assert.equal(await page.textContent('#base-folder'), showDir);
    assert.deepEqual(await page.$$eval('#bgm-list li', (els) => els.map((e) => e.textContent)), ['bgm1 待機', 'bgm2 休憩', 'bgm10 エンディング']);
    await page.click('#tabs .tab:nth-child(3)');
    assert.deepEqual((await labels(page)).slice(0, 4), ['01 入場曲', '02 選手紹介', '03 ルール説明', '']);
    assert.deepEqual(errors, []);
    await context.close();
  });

  test('page, BGM and pad imports fill the deck; bad ones say why', async () => {
    const { context, page } = await openDeck(browser, url);
    await call(page, 'importSamplerPageFolderFromNative', path.join(dir, 'extra'));
    assert.deepEqual((await labels(page)).slice(0, 3), ['効果音 A', '効果音 B', '']);
    assert.deepEqual(await tabs(page), ['extra']);
    assert.equal(await padState(page, 0), 'ready');

    await call(page, 'importBgmFolderFromNative', path.join(showDir, 'bgm'));
    assert.equal(await page.locator('#bgm-list li').count(), 3);
    assert.match(await lastMessage(page), /BGMに3曲を取り込みました/);

    await call(page, 'setSamplerFileFromNative', { index: 5, path: path.join(showDir, 'SE', '正解.wav'), name: '正解.wav' });
    assert.equal((await labels(page))[5], '正解');
    assert.equal(await padState(page, 5), 'ready');
    assert.equal(await preflight(page), '3/3 パッド準備完了 · BGM 3曲 · 欠落 0');

    await call(page, 'setSamplerFileFromNative', { index: 999, path: '/x.wav', name: 'x.wav' });
    assert.match(await lastMessage(page), /パッドが見つかりませんでした/);
    await call(page, 'importBgmFolderFromNative', path.join(dir, 'empty'));
    assert.match(await lastMessage(page), /音源がありません/);
    await call(page, 'setThemeFolderFromNative', path.join(dir, 'nowhere'));
    assert.match(await lastMessage(page), /基本フォルダを読み込めませんでした: フォルダが見つかりません/);
    await context.close();
  });

  test('save and open outcomes are reported in Japanese', async () => {
    const { context, page } = await openDeck(browser, url);
    const cases = [
      ['samplerConfigSavedFromNative', { path: '/t/決勝.json', name: '決勝.json' }, /保存しました: 決勝\.json/, 'info'],
      ['samplerConfigSaveFailedFromNative', '書き込み権限がありません', /保存できませんでした: 書き込み権限がありません/, 'error'],
      ['samplerConfigImportFailedFromNative', '読み込めませんでした', /大会設定を読み込めませんでした: 読み込めませんでした/, 'error'],
      ['importSamplerConfigFromNative', { path: '/t/a.json', name: 'a.json', content: '' }, /「a\.json」を読み込めませんでした: 設定ファイルが空です/, 'error'],
      ['importSamplerConfigFromNative', { path: '/t/b.json', name: 'b.json', content: '{"format": ' }, /JSONとして読めません/, 'error'],
      ['importSamplerConfigFromNative', { path: '/t/c.json', name: 'c.json', content: '{"pages": []}' }, /Jaunvel の大会設定ファイルではありません/, 'error'],
      ['importSamplerConfigFromNative', { path: '/t/d.json', name: 'd.json', content: '{"format":"jaunvel-deck","schemaVersion":9,"pages":[]}' }, /新しい版/, 'error'],
    ];
    for (const [name, value, pattern, kind] of cases) {
      await call(page, name, value);
      assert.match(await lastMessage(page), pattern, name);
      assert.equal(await page.getAttribute('#messages .message:last-child', 'class'), `message ${kind}`, name);
    }
    await context.close();
  });

  test('a callback that arrives before the deck has loaded is not lost', async () => {
    let release;
    const gate = new Promise((r) => (release = r));
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.route('**/main.js', async (route) => {
      await gate; // hold the deck's module back until the callback has been made
      await route.continue();
    });
    await page.goto(url, { waitUntil: 'commit' });
    await page.waitForFunction(() => Array.isArray(window.__jaunvelEarlyCalls));
    assert.equal(await page.evaluate(() => window.jaunvelDeck), undefined);
    await call(page, 'importBgmFolderFromNative', path.join(showDir, 'bgm'));
    release();
    await page.waitForFunction(() => document.querySelectorAll('#bgm-list li').length === 3);
    await context.close();
  });

  test('a folder chosen while the last one is still loading: only the new pads stay decoded and counted', async () => {
    const { context, page } = await openDeck(browser, url);
    await page.evaluate(([big, small]) => {
      window.setThemeFolderFromNative(big);
      window.setThemeFolderFromNative(small);
    }, [path.join(dir, 'big show'), showDir]);
    await loaded(page);
    await page.waitForFunction(() => [...jaunvelDeck.engine.files.values()].every((f) => f.state !== 'loading'));
    const { paths, decoded, counted } = await page.evaluate(() => {
      const { files, decodedBytes } = jaunvelDeck.engine;
      return { paths: [...files.keys()], decoded: decodedBytes, counted: [...files.values()].reduce((n, f) => n + (f.buffer ? f.bytes : 0), 0) };
    });
    assert.equal(paths.filter((p) => !p.startsWith(showDir)).length, 0, paths.join('\n'));
    assert.equal(decoded, counted);
    await context.close();
  });

  test('an answer that arrives after a reload reaches the restored deck', async () => {
    const { context, page } = await openShow();
    await page.click('#tabs .tab:nth-child(2)');
    await page.click('#grid .pad:nth-child(8) .edit');
    await page.click('#ed-pick');
    const [[, index]] = (await posted(page)).filter(([c]) => c === 'filePicker');
    await page.reload();
    await page.waitForFunction(() => window.jaunvelDeck !== undefined);
    await loaded(page);
    assert.deepEqual(await tabs(page), ['春季大会 "決勝"', 'SE', 'オープニング']);
    await call(page, 'setSamplerFileFromNative', { index, path: path.join(dir, 'extra', '効果音 A.wav'), name: '効果音 A.wav' });
    assert.equal(await page.getAttribute('#tabs .tab:nth-child(2)', 'aria-selected'), 'true');
    assert.equal((await labels(page))[7], '効果音 A');
    // The restored deck lists its BGM folder again in the background.
    await page.waitForFunction(() => document.getElementById('preflight').textContent === '11/11 パッド準備完了 · BGM 3曲 · 欠落 0');
    await context.close();
  });
});

describe('tournament settings', () => {
  test('saving and opening restores the deck, and missing files can be relinked', async () => {
    const first = await openShow();
    let page = first.page;
    await page.fill('#show-name', '決勝大会');
    await page.click('#grid .pad:nth-child(1) .edit');
    await page.fill('#ed-label', '開会！');
    await page.selectOption('#ed-mode', 'loop');
    await page.check('#ed-duck');
    await page.click('#ed-colors .swatch:nth-child(5)');
    await page.click('.pad-editor button[value="close"]');
    await page.$eval('#vol-master', (el) => {
      el.value = '0.5';
      el.dispatchEvent(new Event('input'));
    });
    await posted(page);
    await page.click('#btn-save');
    const [[, { content }]] = await posted(page);
    await first.context.close();

    const doc = JSON.parse(content);
    assert.equal(doc.schemaVersion, 1);
    assert.equal(doc.baseFolder, showDir);
    assert.equal(doc.pages[1].pads[0].file, 'SE/カウントダウン.wav', 'paths inside the base folder are relative');
    assert.equal(doc.bgm.folder, 'bgm');

    // The same file in a fresh deck gives the same deck.
    const second = await openDeck(browser, url);
    page = second.page;
    await call(page, 'importSamplerConfigFromNative', { path: '/t/決勝大会.brasmoor.json', name: '決勝大会.brasmoor.json', content });
    await loaded(page);
    assert.equal(await page.inputValue('#show-name'), '決勝大会');
    assert.deepEqual(await tabs(page), ['春季大会 "決勝"', 'SE', 'オープニング']);
    assert.equal((await labels(page))[0], '開会！');
    assert.equal(await page.textContent('#grid .pad:nth-child(1) .mode'), 'ループ');
    assert.equal(await page.isVisible('#grid .pad:nth-child(1) .duck-mark'), true);
    assert.equal(await page.inputValue('#vol-master'), '0.5');
    assert.equal(await preflight(page), '10/10 パッド準備完了 · BGM 3曲 · 欠落 0');
    await second.context.close();

    // The show folder moved: pads say what is missing until a folder is chosen.
    const moved = path.join(dir, '移動先', '決勝');
    fs.mkdirSync(path.dirname(moved), { recursive: true });
    fs.cpSync(showDir, moved, { recursive: true });
    const elsewhere = JSON.stringify({ ...doc, baseFolder: path.join(dir, 'gone') });
    const third = await openDeck(browser, url);
    page = third.page;
    await call(page, 'importSamplerConfigFromNative', { path: '/t/x.json', name: 'x.json', content: elsewhere });
    await loaded(page);
    assert.equal(await preflight(page), '0/10 パッド準備完了 · BGM 0曲 · 欠落 10');
    assert.equal(await padState(page, 0), 'missing');
    assert.equal(await page.textContent('#grid .pad:nth-child(1) .status'), '欠落');
    await page.click('#btn-relink');
    assert.deepEqual(await posted(page), [['folderPicker', 'theme']]);
    await call(page, 'setThemeFolderFromNative', moved);
    await loaded(page);
    assert.equal(await preflight(page), '10/10 パッド準備完了 · BGM 0曲 · 欠落 0');
    assert.match(await lastMessage(page), /10個のパッドを再リンクしました/);
    assert.equal((await labels(page))[0], '開会！', 'the settings keep their layout');

    // Choosing a base folder for a show from a settings file keeps its layout too.
    await call(page, 'setThemeFolderFromNative', showDir);
    await loaded(page);
    assert.equal(await preflight(page), '10/10 パッド準備完了 · BGM 3曲 · 欠落 0');
    assert.equal((await labels(page))[0], '開会！');
    await third.context.close();
  });
});

describe('playing', () => {
  const key = (page, k) => page.evaluate((name) => {
    const code = /^[0-9]$/.test(name) ? `Digit${name}` : name.length === 1 ? `Key${name.toUpperCase()}` : name;
    document.dispatchEvent(new KeyboardEvent('keydown', { key: name, code, bubbles: true, cancelable: true }));
  }, k);
  // Pads are redrawn on the next frame after a trigger.
  const playing = (page, i, value = 'true') =>
    page.waitForFunction(([n, v]) => document.querySelector(`#grid .pad:nth-child(${n})`).dataset.playing === v, [i + 1, value]);

  test('pads play from a hotkey without a user gesture, per their mode', async () => {
    const { context, page, errors } = await openShow();
    await page.click('#tabs .tab:nth-child(2)'); // SE: カウントダウン(3 s), ゴング, ドラムロール, 正解, 拍手, 不正解
    await key(page, '1');
    await playing(page, 0);
    assert.equal(await page.getAttribute('#audio-state', 'data-state'), 'running');
    await page.waitForFunction(() => /^-0:0[0-3]\.\d$/.test(document.querySelector('#grid .pad:nth-child(1) .status').textContent));
    await key(page, '1'); // one-shot: starts again from the top, still playing
    await playing(page, 0);

    // A toggle pad fades out on its second press; a duck pad lowers the BGM meanwhile.
    await page.click('#grid .pad:nth-child(3) .edit');
    await page.selectOption('#ed-mode', 'toggle');
    await page.fill('#ed-fade', '0.2');
    await page.dispatchEvent('#ed-fade', 'change');
    await page.check('#ed-duck');
    await page.click('.pad-editor button[value="close"]');
    await key(page, '3');
    await playing(page, 2);
    assert.equal(await page.isVisible('#duck-indicator'), true);
    await key(page, '3');
    await playing(page, 2, 'false');
    assert.equal(await page.isVisible('#duck-indicator'), false);

    // Esc fades everything out; Esc twice stops at once.
    await key(page, '1');
    await key(page, '2');
    await key(page, 'Escape');
    await key(page, 'Escape');
    await page.waitForFunction(() => !document.querySelector('.pad.playing'));
    assert.deepEqual(errors, []);
    await context.close();
  });

  test('BGM plays, moves on and pauses', async () => {
    const { context, page } = await openShow();
    await page.click('#bgm-play');
    await page.waitForFunction(() => jaunvelDeck.bgm.element.currentTime > 0);
    assert.equal(await page.textContent('#bgm-title'), 'bgm1 待機');
    assert.equal(await page.textContent('#bgm-play'), '■ 一時停止');
    await page.click('#bgm-next');
    assert.equal(await page.textContent('#bgm-title'), 'bgm2 休憩');
    assert.equal(await page.textContent('#bgm-list li.current'), 'bgm2 休憩');
    await page.click('#bgm-play');
    assert.equal(await page.textContent('#bgm-play'), '▶ 再生');
    await page.waitForFunction(() => jaunvelDeck.bgm.element.paused);
    await context.close();
  });

  test('shuffle plays every track once before any repeats', async () => {
    const { context, page } = await openShow();
    await page.check('#bgm-shuffle');
    const titles = await page.evaluate(() => Array.from({ length: 300 }, () => {
      document.getElementById('bgm-next').click();
      return document.getElementById('bgm-title').textContent;
    }));
    for (let i = 0; i < titles.length; i += 3) assert.equal(new Set(titles.slice(i, i + 3)).size, 3, `round ${i / 3}`);
    for (let i = 1; i < titles.length; i++) assert.notEqual(titles[i], titles[i - 1], `click ${i}`);
    await context.close();
  });

  test('missing, unsupported and long files are shown on their pads', async () => {
    const { context, page } = await openDeck(browser, url);
    await call(page, 'importSamplerPageFolderFromNative', path.join(dir, 'odd'));
    await call(page, 'setSamplerFileFromNative', { index: 2, path: path.join(dir, 'odd', 'deleted.wav'), name: 'deleted.wav' });
    await loaded(page);
    assert.deepEqual(await page.$$eval('#grid .pad', (els) => els.slice(0, 3).map((e) => e.dataset.state)), ['unsupported', 'ready', 'missing']);
    assert.equal(await page.isVisible('#grid .pad:nth-child(2) .badge'), true, 'long file streams');
    assert.equal(await page.isVisible('#grid .pad:nth-child(1) .badge'), false);
    assert.equal(await preflight(page), '1/3 パッド準備完了 · BGM 0曲 · 欠落 1 · 非対応 1');
    await key(page, '2');
    await playing(page, 1);
    await page.waitForFunction(() => /^-0:4\d\.\d$/.test(document.querySelector('#grid .pad:nth-child(2) .status').textContent));
    await context.close();
  });
});

describe('outside the shell', () => {
  test('the page loads, says what needs the desktop shell, and drops never navigate', async () => {
    const { context, page, errors } = await openDeck(browser, url, { bridge: false });
    assert.equal(await page.isVisible('#no-bridge'), true);
    assert.match(await page.textContent('#no-bridge'), /デスクトップアプリ Jaunvel が必要です/);
    assert.equal(await page.isDisabled('#btn-theme'), true);
    assert.equal(await page.isDisabled('#btn-save'), true);
    assert.equal(await page.isDisabled('#btn-stop'), false);
    const prevented = await page.evaluate(() => {
      const data = new DataTransfer();
      data.items.add(new File(['x'], 'x.wav', { type: 'audio/wav' }));
      return ['dragover', 'drop'].map((type) => {
        const ev = new DragEvent(type, { dataTransfer: data, bubbles: true, cancelable: true });
        document.querySelector('.pad').dispatchEvent(ev);
        return ev.defaultPrevented;
      });
    });
    assert.deepEqual(prevented, [true, true]);
    assert.deepEqual(errors, []);
    await context.close();
  });
});
