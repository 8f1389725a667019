// Starting and stopping the local server: what the server is given, the error
// alert when it cannot be started, and the shutdown when the window is closed.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  Display, PORT, SERVER_PATH, delay, descendantsOf, isAlive, launchShell, processesWithMarker, waitFor,
} from './lib/harness.mjs';

let display;

before(async () => {
  display = await Display.start();
});

after(async () => {
  await display?.close();
});

async function started(options, t) {
  const shell = await launchShell(display, options);
  t.after(() => shell.dispose());
  return shell;
}

const withoutPortAndPath = (env) => Object.fromEntries(Object.entries(env).filter(([k]) => k !== 'PORT' && k !== 'PATH'));

describe('server launch', () => {
  const oddEnv = {
    PORT: '9999',
    PATH: '/nonexistent/bin:/also/missing',
    JAUNVEL_E2E_EXTRA: '値 with spaces = and; semicolons',
    JAUNVEL_E2E_EMPTY: '',
    JAUNVEL_E2E_LINES: 'one\ntwo',
  };

  test('runs node from the fixed PATH with the script as its only argument, PORT 4177 and the rest of the environment as is', async (t) => {
    const shell = await started({ env: oddEnv }, t);
    const start = await shell.waitLog((e) => e.ev === 'start');
    const script = path.join(shell.res, 'server.js');
    assert.deepEqual(start.cmdline, ['node', script], 'started as "/usr/bin/env node SCRIPT"');
    assert.equal(start.ppid, shell.pid, 'a child of the shell');
    assert.equal(start.env.PORT, String(PORT));
    assert.equal(start.env.PATH, SERVER_PATH);
    assert.deepEqual(withoutPortAndPath(start.env), withoutPortAndPath(shell.env));
  });

  test('runs the node resource itself when there is one', async (t) => {
    const shell = await started({ node: 'wrapper', env: oddEnv }, t);
    const start = await shell.waitLog((e) => e.ev === 'start');
    const argv = JSON.parse(fs.readFileSync(path.join(shell.res, 'node-argv'), 'utf8'));
    assert.deepEqual(argv, [path.join(shell.res, 'node'), path.join(shell.res, 'server.js')]);
    assert.equal(start.env.PORT, String(PORT));
    assert.equal(start.env.PATH, SERVER_PATH);
    assert.deepEqual(withoutPortAndPath(start.env), withoutPortAndPath(shell.env));
  });
});

describe('error alert', () => {
  // Returns the alert, after checking that it is the only window and that
  // start-up waits on it: no main window and no child process appear while
  // it is shown.
  async function alertBeforeWindow(shell, screenshot) {
    const alert = await shell.waitDialog();
    assert.ok(alert.types.includes('_NET_WM_WINDOW_TYPE_DIALOG'));
    assert.equal(alert.transientFor, null);
    await display.settle(alert.id);
    display.saveScreenshot(screenshot, alert.id);
    // Nothing should happen while the alert is up; give it time to go wrong.
    await delay(1500);
    assert.deepEqual(display.visibleWindows(), [alert.id], 'only the alert is shown');
    assert.deepEqual(descendantsOf(shell.pid).filter(isAlive), [], 'no process was started');
    assert.deepEqual(shell.events('start'), [], 'no server ran');
    display.key(alert.id, 'Return');
    await shell.waitDialogGone(alert.id);
    return alert;
  }

  test('a missing server.js is reported first; then the window comes and keeps loading until a server answers', async (t) => {
    const shell = await started({ server: false }, t);
    await alertBeforeWindow(shell, 'error-alert-missing-server-js');
    await shell.mainWindow();
    const shownAt = Date.now();

    // Let every start-up load fail before a server appears.
    await delay(3500);
    const requests = [];
    const server = http.createServer((req, res) => {
      requests.push({ url: req.url, t: Date.now() });
      res.writeHead(200, { 'content-type': 'text/html', 'cache-control': 'no-store' });
      res.end(req.url === '/' ? '<script>fetch("/shown")</script>' : '');
    });
    await new Promise((r) => server.listen(PORT, '127.0.0.1', r));
    const listenAt = Date.now();
    try {
      const first = await waitFor(() => requests.find((r) => r.url === '/'), { timeout: 5000, what: 'a page load' });
      assert.ok(first.t - listenAt <= 1250, `page requested ${first.t - listenAt} ms after the server started`);
      await waitFor(() => requests.find((r) => r.url === '/shown'), { timeout: 5000, what: 'the page to run' });
    } finally {
      server.close();
      server.closeAllConnections();
    }
    assert.ok(listenAt - shownAt >= 3400);
    assert.deepEqual(display.visibleWindows(), [shell.main.id], 'failed loads show nothing');
  });

  test('a node resource that cannot be run is reported, and the window still comes', async (t) => {
    const shell = await started({ node: 'broken' }, t);
    await alertBeforeWindow(shell, 'error-alert-node-launch-failed');
    await shell.mainWindow();
    assert.deepEqual(shell.events('start'), []);
  });
});

test('closing the window ends the shell with 0, stops the server and leaves no process behind', async (t) => {
  const shell = await started({}, t);
  const main = await shell.mainWindow();
  await shell.waitLoaded(1);
  const start = shell.events('start')[0];
  const children = shell.noteChildren();
  assert.ok(children.includes(start.pid), 'the server is among the children');

  display.deleteWindow(main.id);
  const exit = await Promise.race([shell.exited, delay(10000).then(() => 'still running')]);
  assert.deepEqual(exit, { code: 0, signal: null });
  await shell.waitLog((e) => e.ev === 'sigterm', { what: 'the server to get SIGTERM' });
  await waitFor(() => children.every((pid) => !isAlive(pid)) && processesWithMarker(shell.marker).length === 0, {
    timeout: 10000,
    what: 'every child to end',
  });
  assert.equal(shell.stdout, '', 'nothing printed on stdout');
});
