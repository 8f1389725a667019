// The main window and the timed loads of the deck page, seen from the probe
// server's request log.
import assert from 'node:assert/strict';
import net from 'node:net';
import { after, before, describe, test } from 'node:test';
import { Display, delay, launchShell, waitFor } from './lib/harness.mjs';

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

// The moment the first window is mapped; the start-up loads are timed from it.
async function windowMapped() {
  await waitFor(() => display.visibleWindows().length > 0, { interval: 5, what: 'a window' });
  return Date.now();
}

const within = (value, [low, high], what) =>
  assert.ok(value >= low && value <= high, `${what}: ${value} ms, expected ${low}..${high}`);

test('the window is titled Jaunvel, has a 1440×940 content area centred on the screen and shows the page', async (t) => {
  const shell = await started({}, t);
  const main = await shell.mainWindow();
  assert.equal(main.name, 'Jaunvel');
  assert.deepEqual([main.x, main.y, main.width, main.height], [240, 70, 1440, 940]);
  await shell.waitLoaded(1);
  const background = [0x1d, 0x6f, 0x8a]; // the probe page's
  const centre = { x: main.x + 720, y: main.y + 470, width: 1, height: 1 };
  await waitFor(() => display.screenshot(centre).pixel(0, 0).join() === background.join(), { what: 'the page to be painted' });
  await display.settle(main.id);
  display.saveScreenshot('main-window');
  const shot = display.screenshot(main);
  for (const [x, y] of [[2, 2], [1437, 2], [2, 937], [1437, 937], [720, 600]]) {
    assert.deepEqual(shot.pixel(x, y), background, `page shown at (${x}, ${y}) of the content area`);
  }
});

describe('deck loading', () => {
  test('with the server ready: exactly three loads, 0.5 s, 1.5 s and 3.0 s after the window', async (t) => {
    const shell = await started({}, t);
    const mappedAt = await windowMapped();
    await shell.waitLoaded(3);
    // A fourth load would come at most 1 s after a failure; watch well past that.
    await delay(2500);
    const loads = shell.pageLoads().map((e) => e.t - mappedAt);
    assert.equal(loads.length, 3, `loads at ${loads} ms`);
    // The first request reaches the server late by the time WebKit takes to
    // start its network process (0.1–0.8 s here); the later ones are punctual.
    within(loads[0], [450, 1450], `first load (loads at ${loads})`);
    within(loads[1], [1450, 1750], `second load (loads at ${loads})`);
    within(loads[2], [2950, 3250], `third load (loads at ${loads})`);
    within(loads[2] - loads[1], [1400, 1600], 'gap between second and third');
  });

  test('with a server that starts late, the page is shown within about a second of it answering', async (t) => {
    const shell = await started({ config: { listenDelayMs: 2500 } }, t);
    const listening = await shell.waitLog((e) => e.ev === 'listening', { timeout: 8000 });
    const loaded = await shell.waitReport((r) => r.kind === 'loaded', { timeout: 5000 });
    const first = shell.pageLoads()[0];
    within(first.t - listening.t, [0, 1250], 'first load after the server listens');
    within(loaded.t - listening.t, [0, 1500], 'page shown after the server listens');
  });

  test('while every connection fails, loads go on about a second apart', async (t) => {
    const shell = await started({ config: { resetUntilMs: 5000 } }, t);
    const start = await shell.waitLog((e) => e.ev === 'start');
    const loaded = await shell.waitReport((r) => r.kind === 'loaded', { timeout: 10000 });
    const attempts = shell.events('reset').map((e) => e.t - start.t);
    const end = 5000;
    // Three chains (from the three start-up loads), each reloading 1 s after
    // its failure: no long silence, and no busy loop. WebKit may try a request
    // twice on a connection closed under it, so a load is one or two attempts.
    const gaps = attempts.slice(1).map((a, i) => a - attempts[i]);
    assert.ok(attempts.length >= 6, `attempts at ${attempts}`);
    assert.ok(Math.max(...gaps) <= 1300, `gaps ${gaps}`);
    assert.ok(attempts.length <= 2 * 3 * ((end - attempts[0]) / 1000 + 1), `attempts at ${attempts}`);
    within(loaded.t - start.t - end, [0, 1500], 'page shown after connections are accepted');
  });

  test('a failed navigation started by the page is followed a second later by the deck page', async (t) => {
    const shell = await started({}, t);
    await shell.mainWindow();
    await shell.waitLoaded(3);
    // A free port that nothing listens on (WebKit drops blocked ports such as 9 silently).
    const port = await new Promise((resolve) => {
      const s = net.createServer().listen(0, '127.0.0.1', () => {
        const p = s.address().port;
        s.close(() => resolve(p));
      });
    });
    const id = await shell.command({ op: 'navigate', url: `http://localhost:${port}/` });
    const navigated = await shell.waitDone(id);
    const reload = await waitFor(() => shell.pageLoads().find((e) => e.t > navigated.t), {
      timeout: 5000,
      what: 'the deck page to load again',
    });
    within(reload.t - navigated.t, [950, 1500], 'reload after the failed navigation');
    await shell.waitReport((r) => r.kind === 'loaded' && r.t > reload.t);
    // The reload succeeded: nothing more follows it.
    await delay(2000);
    assert.equal(shell.pageLoads().filter((e) => e.t > navigated.t).length, 1);
  });
});
