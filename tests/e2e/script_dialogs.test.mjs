// The page's alert, confirm and prompt, answered with the keyboard in the
// shell's dialogs; the probe page reports what each call returned.
import assert from 'node:assert/strict';
import { after, afterEach, before, test } from 'node:test';
import { Display, launchShell } from './lib/harness.mjs';

let display;
let shell;
let main;

before(async () => {
  display = await Display.start();
  shell = await launchShell(display);
  main = await shell.mainWindow();
  await shell.waitLoaded(3);
});

after(async () => {
  await shell?.dispose();
  await display?.close();
});

afterEach(async () => {
  for (const id of display.visibleWindows().filter((w) => w !== main.id)) await display.cancel(id);
});

// Starts a page dialog and returns its window once shown; the page's call
// must still be waiting then.
async function open(op, args, screenshot) {
  const id = await shell.command({ op, args });
  const dialog = await shell.waitDialog();
  assert.equal(dialog.transientFor, main.id, 'the dialog belongs to the main window');
  assert.ok(dialog.states.includes('_NET_WM_STATE_MODAL'));
  if (screenshot) {
    await display.settle(dialog.id);
    display.saveScreenshot(screenshot, dialog.id);
  }
  assert.equal(shell.reports('done').find((r) => r.id === id), undefined, 'the page waits for the answer');
  return { id, dialog };
}

async function answer({ id, dialog }, ...keys) {
  display.key(dialog.id, ...keys);
  const done = await shell.waitDone(id);
  await shell.waitDialogGone(dialog.id);
  assert.equal(done.error, undefined);
  return done;
}

test('alert returns once OK is pressed, with or without a message', async () => {
  await answer(await open('alert', ['試合開始まで 5 分です'], 'alert'), 'Return');
  await answer(await open('alert', [], 'alert-no-message'), 'Return');
});

test('confirm gives true for OK and false for キャンセル or Escape', async () => {
  assert.equal((await answer(await open('confirm', ['リセットしますか?'], 'confirm'), 'Return')).value, true);
  assert.equal((await answer(await open('confirm', ['リセットしますか?']), 'Tab', 'space')).value, false);
  assert.equal((await answer(await open('confirm', ['リセットしますか?']), 'Escape')).value, false);
});

test('prompt gives the field\'s text on OK and null on cancel', async () => {
  // The default text is offered as it is.
  let d = await open('prompt', ['チーム名を入力', '初期 "値"'], 'prompt');
  assert.equal(await display.copyFocusedText(d.dialog.id), '初期 "値"');
  assert.equal((await answer(d, 'Return')).value, '初期 "値"');

  // Replaced text, including Japanese (pasted: typing it races the input method).
  d = await open('prompt', ['チーム名を入力', '初期値']);
  await display.setClipboard('新チーム B');
  display.key(d.dialog.id, 'ctrl+a', 'ctrl+v');
  await display.settle(d.dialog.id);
  assert.equal((await answer(d, 'Return')).value, '新チーム B');

  // An emptied field is the empty string, not null.
  d = await open('prompt', ['チーム名を入力', '初期値']);
  display.key(d.dialog.id, 'ctrl+a', 'BackSpace');
  let done = await answer(d, 'Return');
  assert.deepEqual([done.value, done.isNull], ['', false]);

  // Without a default text the field starts empty.
  d = await open('prompt', ['チーム名を入力']);
  done = await answer(d, 'Return');
  assert.deepEqual([done.value, done.isNull], ['', false]);

  // Cancelled, whatever was typed.
  d = await open('prompt', ['チーム名を入力', '初期値']);
  display.key(d.dialog.id, 'ctrl+a');
  display.type(d.dialog.id, 'typed');
  done = await answer(d, 'Escape');
  assert.equal(done.isNull, true);
  // The field has the focus: the first Tab reaches OK, the second キャンセル.
  d = await open('prompt', ['チーム名を入力', '初期値']);
  done = await answer(d, 'Tab', 'Tab', 'space');
  assert.equal(done.isNull, true);
});
