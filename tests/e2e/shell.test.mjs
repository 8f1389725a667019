// The shell around the deck server: how the server is started, the error
// alert when it cannot be, the window, the timed loads of the deck page,
// closing the window, and what reaches the terminal.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import http from 'node:http';
import net from 'node:net';
import { after, before, describe, test } from 'node:test';
import { Display, ODD_ENV, PORT, delay, launchShell, processesWithMarker, waitFor } from './lib/harness.mjs';

let display;
before(async () => (display = await Display.start()));
after(() => display?.close());

// A URL on a free port that nothing listens on (WebKit drops blocked ports such as 9 silently).
async function refusedUrl() {
  const free = net.createServer().listen(0, '127.0.0.1');
  await once(free, 'listening');
  const url = `http://localhost:${free.address().port}/`;
  free.close();
  return url;
}

const within = (value, [low, high], what) => assert.ok(value >= low && value <= high, `${what}: ${value} ms, expected ${low}..${high}`);

describe('with the server ready', () => {
  let shell, shownAt; // the start-up loads are timed from the moment the shell shows its window
  before(async () => {
    shell = await launchShell(display, { env: ODD_ENV });
    shownAt = await shell.windowShown();
    await shell.waitSettled();
  });
  after(() => shell?.dispose());

  test('the server is node from the fixed PATH with the script as its only argument, PORT 4177 and the rest of the environment', () =>
    shell.assertServerStart(['node', `${shell.res}/server.js`])); // as "/usr/bin/env node SCRIPT"

  // The times are those at which the shell asked WebKit for the page (see
  // load_probe.c), not those at which the server saw a request: the web
  // process may send one a few hundred ms late on a busy machine.
  test('loads 0.5 s, 1.5 s and 3.0 s after the window is shown, and no other but a reload for a load replaced before it was shown; each past the cache', async () => {
    // A fourth load would come at most 1 s after a failure; watch well past that.
    const loads = (await shell.waitSettled(2500)).map((t) => t - shownAt);
    const shown = shell.reports('loaded').map((r) => r.t - shownAt);
    // The loads are scheduled just after the window is shown. Starting the
    // web process with the first load may hold the shell up for a while on a
    // busy machine, and delay the second.
    within(loads[0], [490, 750], `first load (loads at ${loads})`);
    const startup = [loads[0], ...[[900, 1400], [2400, 2900]].map(([low, high]) => loads.find((l) => l - loads[0] >= low && l - loads[0] <= high))];
    assert.ok(!startup.includes(undefined), `loads 1.0 s and 2.5 s after the first (loads at ${loads})`);
    // On a busy machine a page may take over a second to show: the load that
    // replaces it makes it fail, and it is loaded again a second later.
    const failures = loads.slice(1).filter((l, i) => !shown.some((s) => s > loads[i] && s < l));
    for (const extra of loads.filter((l) => !startup.includes(l))) {
      const failure = failures.findIndex((f) => extra - f >= 950 && extra - f <= 1450);
      assert.ok(failure >= 0, `load at ${extra} ms is a reload a second after a failure (loads at ${loads}, shown at ${shown})`);
      failures.splice(failure, 1);
    }
    for (const r of shell.pageLoads()) assert.deepEqual(r.cache, ['no-cache', 'no-cache'], 'each request asks past any cache');
    const versions = shell.reports('loaded').map((r) => r.version);
    assert.ok(versions.every((v, i) => i === 0 || v > versions[i - 1]), `each page shown is the version served for it, never a cached one: ${versions}`);
  });

  // Before any input event reaches the window.
  test('without any user gesture, the page\'s audio context runs and an <audio> element plays', async () => {
    const { value } = await shell.waitDone(await shell.command({ op: 'audio' }));
    assert.equal(value.context, 'running');
    assert.equal(value.play, 'resolved');
    assert.ok(value.time >= 0.3, `playback time advances: ${value.time} s`);
  });

  test('the window is titled Jaunvel, has a 1440×940 content area at (240, 70) and shows the page', async () => {
    const main = await shell.mainWindow();
    assert.deepEqual([main.name, main.x, main.y, main.width, main.height], ['Jaunvel', 240, 70, 1440, 940]);
    const page = Buffer.alloc(1440 * 940 * 3, Buffer.from([29, 111, 138])); // the probe page's background, all over
    await waitFor(() => display.pixels(main.id).equals(page), 'the page to fill the window');
  });

  test('a failed navigation started by the page is followed a second later by the deck page; one that never answers is given up after 5 s, and loaded again a second later', async () => {
    await shell.silence(true);
    const navigated = await shell.waitDone(await shell.command({ op: 'navigate', url: await refusedUrl() }));
    const held = await waitFor(() => shell.requestedLoads().find((t) => t > navigated.t), 'the deck page to be asked for');
    within(held - navigated.t, [950, 1250], 'reload after the failed navigation');
    await waitFor(() => shell.pageLoads().find((r) => r.silent && r.t >= held), 'the server to hold the request');
    await shell.silence(false);
    const next = await waitFor(() => shell.requestedLoads().find((t) => t > held), 'the next load', { timeout: 10000 });
    within(next - held, [5900, 6600], 'load given up after 5 s, then a second');
    await waitFor(() => shell.reports('loaded').find((r) => r.t > next), 'the page to be shown');
  });

  test('a page with a beforeunload handler that asks to stay does not hold up the next load', async () => {
    // beforeunload asks only once the user has used the page.
    const main = await shell.mainWindow();
    display.x('xdotool', ['mousemove', '--window', String(main.id), '700', '400', 'click', '1', 'mousemove', '1919', '1079']);
    assert.equal((await shell.waitDone(await shell.command({ op: 'guard' }))).error, undefined);
    const navigated = await shell.waitDone(await shell.command({ op: 'navigate', url: await refusedUrl() }));
    const reload = await waitFor(() => shell.requestedLoads().find((t) => t > navigated.t), 'the deck page to be asked for');
    await waitFor(() => shell.reports('loaded').find((r) => r.t > reload), 'the page to be shown');
    assert.deepEqual(display.visibleWindows(), [main.id], 'no dialog asked to stay');
  });

  test('closing the window ends the shell with 0, stops the server with SIGTERM and leaves no process behind; the terminal got only the server\'s lines', async () => {
    const { pid } = shell.events('start')[0];
    assert.ok(processesWithMarker(shell.marker).includes(pid), 'the server runs until then');
    display.deleteWindow((await shell.mainWindow()).id);
    assert.deepEqual(await Promise.race([shell.exited, delay(10000)]), { code: 0, signal: null });
    await waitFor(() => shell.events('sigterm')[0], 'the server to get SIGTERM');
    await waitFor(() => processesWithMarker(shell.marker).length === 0, 'every child to end');
    await Promise.race([shell.outputClosed, delay(5000)]);
    shell.assertOnlyServerOutput(1);
  });
});

// The same text in a plain GTK message dialog draws the same picture.
const REFERENCE_ALERT = `import gi, sys; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk
d = Gtk.MessageDialog(message_type=Gtk.MessageType.ERROR, text='Jaunvel', secondary_text=sys.argv[1], title='Jaunvel')
d.add_button('OK', 1000); d.set_default_response(1000); d.set_position(Gtk.WindowPosition.CENTER); d.run()`;

// Checks that the error alert is the only window, shows `message`, and holds
// up the start: nothing is started while it is up. Then dismisses it.
async function errorAlertFirst(shell, message) {
  const alert = await shell.waitDialog();
  assert.deepEqual([alert.transientFor, alert.types], [null, ['_NET_WM_WINDOW_TYPE_DIALOG']]);
  const reference = spawn('/usr/bin/python3', ['-c', REFERENCE_ALERT, message], { env: shell.env, stdio: 'ignore' });
  const shown = await shell.waitDialog([alert.id]);
  display.focus(shown.id); // focused, as the alert will be
  const expected = await display.settle(shown.id);
  await new Promise((r) => reference.once('exit', r).kill());
  display.focus(alert.id);
  assert.ok((await display.settle(alert.id)).equals(expected), `the alert says "${message}"`);
  // Nothing should happen while the alert is up; give it time to go wrong.
  await delay(1500);
  assert.deepEqual(display.visibleWindows(), [alert.id], 'only the alert is shown');
  assert.deepEqual(processesWithMarker(shell.marker), [shell.pid], 'no process was started');
  display.key(alert.id, 'Return');
  await display.waitGone(alert.id);
}

test('without server.js: an error alert before the window, then loads fail and come again a second later until a server answers', async (t) => {
  // A server for later that drops every connection for 3 s, then serves a page that says it ran.
  const requests = [];
  let acceptFrom;
  const server = http.createServer((req, res) => {
    requests.push({ url: req.url, t: Date.now() });
    res.writeHead(200, { 'content-type': 'text/html', 'cache-control': 'no-store' }).end('<script>fetch("/shown")</script>');
  });
  server.on('connection', (socket) => Date.now() < acceptFrom && socket.destroy());
  t.after(() => server.close().closeAllConnections()); // before the shell's clean-up, which waits for the port
  const shell = await launchShell(display, { server: false });
  t.after(() => shell.dispose());
  await errorAlertFirst(shell, 'server.js が見つかりません。');
  const shownAt = await shell.windowShown();
  await delay(3500); // every start-up load fails with nothing listening
  acceptFrom = Date.now() + 3000;
  server.listen(PORT, '127.0.0.1');
  const shown = await waitFor(() => requests.find((r) => r.url === '/shown'), 'the page to run');
  const loads = shell.requestedLoads().map((l) => l - shownAt);
  const failing = loads.filter((l) => l < acceptFrom - shownAt);
  // The start-up loads, timed from the window shown after the alert.
  for (const due of [500, 1500, 3000]) assert.ok(failing.some((l) => l >= due - 10 && l <= due + 400), `a load at ${due} ms (loads at ${loads})`);
  // Every failed load is followed by one a second after its failure...
  for (const l of failing.filter((l) => l < acceptFrom - shownAt - 1500))
    assert.ok(loads.some((m) => m - l >= 950 && m - l <= 1450), `a load a second after ${l} ms (loads at ${loads})`);
  // ...and by only one: each start-up load's chain stays one chain, three loads a second.
  const steady = failing.filter((l) => l >= 3200 && l < 6200).length;
  assert.ok(steady >= 7 && steady <= 10, `${steady} loads from 3.2 s to 6.2 s (loads at ${loads})`);
  within(requests.find((r) => r.url === '/').t - acceptFrom, [0, 1250], 'page requested after connections are accepted');
  within(shown.t - acceptFrom, [0, 1500], 'page shown after connections are accepted');
  assert.equal(display.visibleWindows().length, 1, 'failed loads show nothing');
  shell.assertOnlyServerOutput(0);
});

test('a node resource that cannot be run: the launch-failure alert, then the window', async (t) => {
  const shell = await launchShell(display, { node: 'broken' });
  t.after(() => shell.dispose());
  await errorAlertFirst(shell, `Node.js を起動できませんでした: 「${shell.res}/node」を実行する権限がありません。`);
  await shell.mainWindow();
  shell.assertOnlyServerOutput(0);
});

test('with no display at all: one line on standard error saying why, exit 1, and nothing started', async (t) => {
  const shell = await launchShell(display, { env: { DISPLAY: undefined, WAYLAND_DISPLAY: undefined } });
  t.after(() => shell.dispose());
  assert.deepEqual(await Promise.race([shell.exited, delay(10000)]), { code: 1, signal: null });
  await shell.outputClosed;
  assert.equal(shell.stdout, '');
  assert.equal(shell.stderr, '画面に接続できないため Jaunvel を起動できません（cannot open display: ）。DISPLAY または WAYLAND_DISPLAY を確かめてください。\n');
  assert.deepEqual(shell.events('start'), [], 'no server was started');
});

test('SIGTERM, SIGINT and SIGHUP run the same shutdown as closing the window: exit 0 and the server stopped', async (t) => {
  for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) {
    const shell = await launchShell(display);
    t.after(() => shell.dispose());
    await shell.mainWindow();
    const { pid } = await waitFor(() => shell.events('start')[0], 'the server to start');
    process.kill(shell.pid, signal);
    assert.deepEqual(await Promise.race([shell.exited, delay(10000)]), { code: 0, signal: null }, signal);
    await waitFor(() => shell.events('sigterm')[0], `the server to get SIGTERM after ${signal}`);
    await waitFor(() => !processesWithMarker(shell.marker).includes(pid), 'the server to end');
    await shell.dispose();
  }
});
