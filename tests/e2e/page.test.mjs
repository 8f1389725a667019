// What the page gets from the shell, with a node resource running the server:
// the answers of alert, confirm and prompt, and the four bridge channels end
// to end, their real GTK dialogs driven with the keyboard.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, afterEach, before, describe, test } from 'node:test';
import { Display, ODD_ENV, launchShell } from './lib/harness.mjs';

let display, shell, main, files, folder; // files: where test files go; folder: an empty folder in it; both awkwardly named

before(async () => {
  display = await Display.start();
  shell = await launchShell(display, { node: 'wrapper', env: ODD_ENV });
  main = await shell.mainWindow();
  await shell.waitSettled();
  files = path.join(shell.root, `素材 "引用" 'x' 空白`);
  folder = path.join(files, 'テーマ フォルダ "a" \'b\'');
  fs.mkdirSync(folder, { recursive: true });
});

after(async () => {
  await shell?.dispose();
  await display?.close();
});

// A test that failed half-way must not leave its dialog in the next one's way.
afterEach(async () => {
  for (const id of display.visibleWindows().filter((w) => w !== main.id)) await display.cancel(id);
});

test('the node resource is run directly with the script as its only argument, PORT 4177 and the fixed PATH', () =>
  shell.assertServerStart([process.execPath, `${shell.res}/node`, `${shell.res}/server.js`]));

// Waits for a dialog attached to the main window, which it holds.
async function modalDialog() {
  const dialog = await shell.waitDialog();
  assert.deepEqual([dialog.transientFor, dialog.states.includes('_NET_WM_STATE_MODAL')], [main.id, true], 'modal on the main window');
  return dialog;
}

describe('alert, confirm and prompt', () => {
  // Starts a page dialog and returns its window once shown, with the page's call still waiting.
  async function open(op, ...args) {
    const id = await shell.command({ op, args });
    const dialog = await modalDialog();
    assert.equal(shell.reports('done').find((r) => r.id === id), undefined, 'the page waits for the answer');
    return { id, dialog };
  }

  // Answers with `keys`; returns what the page's call returned.
  async function answer({ id, dialog }, ...keys) {
    display.key(dialog.id, ...keys);
    const done = await shell.waitDone(id);
    await display.waitGone(dialog.id);
    assert.equal(done.error, undefined);
    return done.value;
  }

  test('alert returns once OK is pressed; confirm gives true for OK and false for キャンセル or Escape', async () => {
    assert.equal(await answer(await open('alert', '試合開始まで 5 分です'), 'Return'), undefined);
    assert.equal(await answer(await open('confirm', 'リセットしますか?'), 'Return'), true);
    assert.equal(await answer(await open('confirm', 'リセットしますか?'), 'Tab', 'space'), false);
    assert.equal(await answer(await open('confirm', 'リセットしますか?'), 'Escape'), false);
  });

  test('prompt gives the field\'s text on OK, "" for an emptied field and null on cancel', async () => {
    assert.equal(await answer(await open('prompt', 'チーム名を入力', '初期 "値"'), 'Return'), '初期 "値"');
    const d = await open('prompt', 'チーム名を入力', '初期値');
    await display.setClipboard('新チーム B'); // pasted: typing Japanese races the input method
    display.key(d.dialog.id, 'ctrl+a', 'ctrl+v');
    await display.settle(d.dialog.id);
    assert.equal(await answer(d, 'Return'), '新チーム B');
    assert.equal(await answer(await open('prompt', 'チーム名を入力', '初期値'), 'ctrl+a', 'BackSpace', 'Return'), '');
    assert.equal(await answer(await open('prompt', 'チーム名を入力', '初期値'), 'Escape'), null);
  });
});

describe('bridge channels', () => {
  // Posts on a channel and returns the dialog it opens.
  async function openDialog(channel, body) {
    const done = await shell.waitDone(await shell.command({ op: 'post', channel, body }));
    assert.equal(done.error, undefined, 'postMessage');
    return modalDialog();
  }

  // Enters `file` in the dialog a post opens (in `field`, after `look` at the
  // dialog); returns what `callback` got, once the dialog has closed.
  async function pick(channel, body, file, callback, { field, look } = {}) {
    const t = Date.now();
    const dialog = await openDialog(channel, body);
    await look?.(dialog);
    await display.enterPath(dialog.id, file, field);
    const cb = await shell.waitCallback(callback, t);
    await display.waitGone(dialog.id);
    return cb.arg;
  }

  test('the folder picker shows a message per mode and answers with the exact path through its callback', async () => {
    const bands = new Set(); // the dialogs' top lines, which hold the message
    const look = async (d) => bands.add((await display.settle(d.id)).subarray(0, d.width * 34 * 3).toString('base64'));
    assert.equal(await pick('folderPicker', 'bgmImport', folder, 'importBgmFolderFromNative', { look }), folder);
    assert.equal(await pick('folderPicker', 'samplerPageImport', folder, 'importSamplerPageFolderFromNative', { look }), folder);
    assert.equal(await pick('folderPicker', 'theme', folder, 'setThemeFolderFromNative', { look }), folder);
    assert.equal(bands.size, 3, 'three different messages');
  });

  test('the audio file picker echoes the pad index with the file, and refuses a file that is not audio', async () => {
    const name = `効果音 "歓声" 'x' 1.WAV`; // extensions match in any case
    fs.writeFileSync(path.join(files, name), 'not really audio: the shell only passes the path on');
    const arg = await pick('filePicker', 5, path.join(files, name), 'setSamplerFileFromNative');
    assert.deepEqual(arg, { index: 5, path: path.join(files, name), name });

    fs.writeFileSync(path.join(files, 'notes.txt'), 'not audio');
    const dialog = await openDialog('filePicker', 1);
    await display.enterPath(dialog.id, path.join(files, 'notes.txt'));
    await display.settle(dialog.id);
    assert.ok(display.visibleWindows().includes(dialog.id), 'the dialog stays open');
  });

  test('a saved text under the name offered replaces a longer file byte for byte, once GTK has asked, and opens again unchanged', async () => {
    const content = '{\n\t"大会": "決勝 \\"本戦\\"",\r\n  "音": "🎵", "sep": "\u2028", "tag": "</script>", "bs": "\\\\"\n}';
    const target = path.join(shell.home, '決勝 "A".json'); // the dialog opens in the home folder
    fs.writeFileSync(target, 'x'.repeat(5000));
    const t = Date.now();
    const dialog = await openDialog('configSaver', { name: path.basename(target), content });
    await display.settle(dialog.id);
    display.key(dialog.id, 'Return');
    const question = await shell.waitDialog([dialog.id]);
    assert.equal(question.transientFor, dialog.id, 'GTK asks before replacing the file');
    display.key(question.id, 'Return');
    assert.deepEqual((await shell.waitCallback('samplerConfigSavedFromNative', t)).arg, { path: target, name: path.basename(target) });
    assert.deepEqual(fs.readFileSync(target), Buffer.from(content));
    await display.waitGone(dialog.id);

    assert.deepEqual(await pick('configPicker', { anything: true }, target, 'importSamplerConfigFromNative'), { path: target, name: path.basename(target), content });
  });

  test('a name that is not UTF-8 (an unpaired surrogate) is offered as the default name instead', async () => {
    const t = Date.now();
    const dialog = await openDialog('configSaver', { name: '決勝\ud800.json', content: '{"a": 1}' });
    await display.settle(dialog.id);
    display.key(dialog.id, 'Return');
    const target = path.join(shell.home, '大会設定.brasmoor.json');
    assert.deepEqual((await shell.waitCallback('samplerConfigSavedFromNative', t)).arg, { path: target, name: path.basename(target) });
    assert.equal(fs.readFileSync(target, 'utf8'), '{"a": 1}');
    await display.waitGone(dialog.id);
  });

  test('a name typed without ".json" gets it, and a write that fails is reported with a description', async () => {
    const failed = await pick('configSaver', { name: 'x.json', content: '{}' }, '/proc/jaunvel-e2e-settings', 'samplerConfigSaveFailedFromNative', { field: 'name' });
    assert.match(failed, /「jaunvel-e2e-settings\.json」を保存できませんでした。\S/);
  });

  test('cancelling any of the four dialogs answers nothing, and nothing was answered but the above, each once', async () => {
    for (const [channel, body] of [['folderPicker', 'bgmImport'], ['filePicker', 4], ['configSaver', { name: 'a.json', content: '{}' }], ['configPicker', null]]) {
      await display.cancel((await openDialog(channel, body)).id);
    }
    // A last pick: an answer to any earlier dialog would have come before it.
    assert.equal(await pick('folderPicker', 'theme', folder, 'setThemeFolderFromNative'), folder);
    assert.deepEqual(shell.reports('callback').map((c) => c.name), [
      'importBgmFolderFromNative', 'importSamplerPageFolderFromNative', 'setThemeFolderFromNative', 'setSamplerFileFromNative',
      'samplerConfigSavedFromNative', 'importSamplerConfigFromNative', 'samplerConfigSavedFromNative', 'samplerConfigSaveFailedFromNative',
      'setThemeFolderFromNative',
    ]);
  });
});

test('after every dialog, the terminal holds the server\'s lines and nothing else', () => shell.assertOnlyServerOutput(1));
