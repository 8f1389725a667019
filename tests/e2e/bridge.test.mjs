// The four bridge channels end to end: the page posts, the real GTK dialogs are
// driven with the keyboard, and the probe page reports the callbacks it gets.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, afterEach, before, describe, test } from 'node:test';
import { Display, launchShell } from './lib/harness.mjs';

let display;
let shell;
let main;
let files; // a folder of test files with awkward names
let barrier; // an empty folder (a folder with subfolders may answer with the one under the cursor)

before(async () => {
  display = await Display.start();
  shell = await launchShell(display);
  main = await shell.mainWindow();
  await shell.waitLoaded(3);
  files = path.join(shell.root, `素材 "引用" 'x' 空白`);
  fs.mkdirSync(files);
  barrier = path.join(shell.root, '区切り');
  fs.mkdirSync(barrier);
});

after(async () => {
  await shell?.dispose();
  await display?.close();
});

// A test that failed half-way must not leave its dialog in the next one's way.
afterEach(async () => {
  for (const id of display.visibleWindows().filter((w) => w !== main.id)) await display.cancel(id);
});

// Posts on a channel and returns the dialog it opens, after checking that it
// is attached to the main window.
async function openDialog(channel, body) {
  await shell.post(channel, body);
  const dialog = await shell.waitDialog();
  assert.equal(dialog.transientFor, main.id, 'the dialog belongs to the main window');
  assert.ok(dialog.states.includes('_NET_WM_STATE_MODAL'));
  return dialog;
}

const callbacksSince = (t) => shell.callbacks().filter((c) => c.t >= t);

// The dialog's message line, as pixels: the band across the top of the chooser.
const messageBand = (dialog) => display.screenshot({ x: dialog.x, y: dialog.y, width: dialog.width, height: 34 });

// A completed folder pick: proves, as a barrier, that any answer to an
// earlier dialog would have arrived already.
async function barrierPick(t) {
  const dialog = await openDialog('folderPicker', 'theme');
  await display.enterPath(dialog.id, barrier);
  const cb = await shell.waitCallback('setThemeFolderFromNative', { after: t });
  assert.equal(cb.arg, barrier);
  return cb;
}

describe('folder picker', () => {
  test('each mode shows its message and answers with the exact path through its callback', async () => {
    const folder = path.join(files, 'テーマ フォルダ "a" \'b\'');
    fs.mkdirSync(folder);
    const cases = [
      { body: 'bgmImport', callback: 'importBgmFolderFromNative', message: 'bgm' },
      { body: 'samplerPageImport', callback: 'importSamplerPageFolderFromNative', message: 'sampler' },
      { body: 'theme', callback: 'setThemeFolderFromNative', message: 'theme' },
      { body: 'BgmImport', callback: 'setThemeFolderFromNative', message: 'theme' },
      { body: 3, callback: 'setThemeFolderFromNative', message: 'theme' },
      { body: { mode: 'bgmImport' }, callback: 'setThemeFolderFromNative', message: 'theme' },
      { body: null, callback: 'setThemeFolderFromNative', message: 'theme' },
    ];
    const bands = {};
    for (const c of cases) {
      const t = Date.now();
      const dialog = await openDialog('folderPicker', c.body);
      await display.settle(dialog.id);
      const band = messageBand(dialog);
      if (bands[c.message]) {
        assert.ok(band.equals(bands[c.message]), `body ${JSON.stringify(c.body)} shows the ${c.message} message`);
      } else {
        bands[c.message] = band;
        display.saveScreenshot(`folder-picker-${c.message}`, dialog.id);
      }
      await display.enterPath(dialog.id, folder);
      const cb = await shell.waitCallback(c.callback, { after: t });
      assert.equal(cb.argType, 'string');
      assert.equal(cb.arg, folder);
      await shell.waitDialogGone(dialog.id);
      assert.deepEqual(callbacksSince(t).map((x) => x.name), [c.callback], 'exactly one answer');
    }
    assert.ok(!bands.bgm.equals(bands.sampler) && !bands.bgm.equals(bands.theme) && !bands.sampler.equals(bands.theme),
      'the three modes show three different messages');
  });
});

describe('audio file picker', () => {
  test('echoes the pad index with the chosen file\'s path and name', async () => {
    // Extensions are matched without regard to case.
    for (const [body, index, name] of [
      [5, 5, `効果音 "歓声" 'x' 1.mp3`],
      [2.5, 2.5, 'ファンファーレ.WAV'],
      ['7', -1, 'b.aif'],
      [null, -1, 'c.flac'],
    ]) {
      const file = path.join(files, name);
      fs.writeFileSync(file, 'not really audio: the shell only passes the path on');
      const t = Date.now();
      const dialog = await openDialog('filePicker', body);
      if (body === 5) {
        await display.settle(dialog.id);
        display.saveScreenshot('audio-file-picker', dialog.id);
      }
      await display.enterPath(dialog.id, file);
      const cb = await shell.waitCallback('setSamplerFileFromNative', { after: t });
      assert.deepEqual(cb.arg, { index, path: file, name });
      await shell.waitDialogGone(dialog.id);
    }
  });

  test('refuses a file that is not audio and answers nothing for it', async () => {
    const file = path.join(files, 'notes.txt');
    fs.writeFileSync(file, 'not audio');
    const t = Date.now();
    const dialog = await openDialog('filePicker', 1);
    await display.enterPath(dialog.id, file);
    await display.settle(dialog.id);
    assert.ok(display.isVisible(dialog.id), 'the dialog stays open');
    await display.cancel(dialog.id);
    await barrierPick(t);
    assert.deepEqual(callbacksSince(t).map((c) => c.name), ['setThemeFolderFromNative']);
  });
});

describe('settings files', () => {
  test('a saved text is written byte for byte and opens again unchanged', async () => {
    const content =
      '{\n\t"大会": "決勝 \\"本戦\\"",\r\n  "音": "🎵", "sep": "\u2028", "tag": "</script>", "bs": "\\\\"\n}';
    const target = path.join(files, '大会 設定 "保存".json');
    let t = Date.now();
    let dialog = await openDialog('configSaver', { name: 'ignored.json', content });
    await display.settle(dialog.id);
    display.saveScreenshot('settings-save', dialog.id);
    await display.enterPath(dialog.id, target, { field: 'name' });
    const saved = await shell.waitCallback('samplerConfigSavedFromNative', { after: t });
    assert.deepEqual(saved.arg, { path: target, name: path.basename(target) });
    assert.deepEqual(fs.readFileSync(target), Buffer.from(content, 'utf8'));

    t = Date.now();
    dialog = await openDialog('configPicker', { anything: true });
    await display.settle(dialog.id);
    display.saveScreenshot('settings-open', dialog.id);
    await display.enterPath(dialog.id, target);
    const opened = await shell.waitCallback('importSamplerConfigFromNative', { after: t });
    assert.deepEqual(opened.arg, { path: target, name: path.basename(target), content });
  });

  test('the save dialog offers the requested name, else 大会設定.brasmoor.json', async () => {
    for (const [body, offered] of [
      [{ name: '決勝 "A".json', content: '{}' }, '決勝 "A".json'],
      [{ name: '', content: '{}' }, '大会設定.brasmoor.json'],
      [{ name: 12, content: '{}' }, '大会設定.brasmoor.json'],
      [{ content: '{}' }, '大会設定.brasmoor.json'],
      ['a string body', '大会設定.brasmoor.json'],
    ]) {
      const dialog = await openDialog('configSaver', body);
      assert.equal(await display.copyFocusedText(dialog.id), offered, `offered for ${JSON.stringify(body)}`);
      await display.cancel(dialog.id);
    }
  });

  test('a name without the extension gets ".json"; a body that is not an object saves "{}"', async () => {
    const t = Date.now();
    const dialog = await openDialog('configSaver', 'not an object');
    await display.enterPath(dialog.id, path.join(files, 'plain'), { field: 'name' });
    const saved = await shell.waitCallback('samplerConfigSavedFromNative', { after: t });
    const written = path.join(files, 'plain.json');
    assert.deepEqual(saved.arg, { path: written, name: 'plain.json' });
    assert.equal(fs.readFileSync(written, 'utf8'), '{}');
  });

  test('saving over a longer file leaves exactly the new text', async () => {
    const target = path.join(files, 'over.json');
    fs.writeFileSync(target, 'x'.repeat(5000));
    const t = Date.now();
    const dialog = await openDialog('configSaver', { name: 'over.json', content: 'short' });
    await display.enterPath(dialog.id, target, { field: 'name' });
    // GTK asks before replacing; confirm that question too.
    const question = await shell.waitDialog({ exclude: [dialog.id] });
    display.saveScreenshot('settings-overwrite-question', question.id);
    display.key(question.id, 'Return');
    await shell.waitCallback('samplerConfigSavedFromNative', { after: t });
    assert.equal(fs.readFileSync(target, 'utf8'), 'short');
  });

  test('a write that fails is reported through samplerConfigSaveFailedFromNative only', async () => {
    const t = Date.now();
    const dialog = await openDialog('configSaver', { name: 'x.json', content: '{"a":1}' });
    await display.enterPath(dialog.id, '/proc/jaunvel-e2e-settings.json', { field: 'name' });
    const failed = await shell.waitCallback('samplerConfigSaveFailedFromNative', { after: t });
    assert.equal(failed.argType, 'string');
    assert.ok(failed.arg.length > 0, 'a description of the failure');
    await barrierPick(t);
    assert.deepEqual(callbacksSince(t).map((c) => c.name), ['samplerConfigSaveFailedFromNative', 'setThemeFolderFromNative']);
  });

  test('a file that is not UTF-8 is reported through samplerConfigImportFailedFromNative', async () => {
    const file = path.join(files, 'latin1.json');
    fs.writeFileSync(file, Buffer.from([0x7b, 0x22, 0xe9, 0x22, 0x7d]));
    const t = Date.now();
    const dialog = await openDialog('configPicker', null);
    await display.enterPath(dialog.id, file);
    const failed = await shell.waitCallback('samplerConfigImportFailedFromNative', { after: t });
    assert.equal(failed.argType, 'string');
    assert.ok(failed.arg.length > 0);
  });
});

test('cancelling any of the four dialogs answers nothing', async () => {
  const t = Date.now();
  for (const [channel, body] of [
    ['folderPicker', 'bgmImport'],
    ['filePicker', 4],
    ['configSaver', { name: 'a.json', content: '{}' }],
    ['configPicker', null],
  ]) {
    const dialog = await openDialog(channel, body);
    await display.cancel(dialog.id);
  }
  await barrierPick(t);
  assert.deepEqual(callbacksSince(t).map((c) => c.name), ['setThemeFolderFromNative']);
});
