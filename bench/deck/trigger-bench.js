'use strict';
// Pad trigger latency in headless chromium: main-thread time from a keydown reaching the
// deck to AudioBufferSourceNode.start, with 64 pads loaded, against a bare handler that
// only creates and starts a source in the same page. Also shows the decoded-memory budget
// turning pads into streamed ones once it is spent.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const deckDir = path.join(__dirname, '..', '..', 'deck');
const { createDeckServer } = require(path.join(deckDir, 'server.js'));
const { writeTree } = require(path.join(deckDir, 'test', 'helpers', 'wav.js'));
const { launchBrowser, openDeck } = require(path.join(deckDir, 'test', 'helpers', 'browser.js'));

const PRESSES = 4000;

const pct = (xs, p) => {
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.floor((p / 100) * s.length))];
};

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-trigger-'));
  const tree = {};
  for (let page = 1; page <= 4; page++) {
    for (let pad = 1; pad <= 16; pad++) tree[`page${page}/pad${String(pad).padStart(2, '0')}.wav`] = { seconds: 2, freq: 200 + pad * 40, rate: 44100, channels: 2 };
  }
  writeTree(dir, tree);
  const deck = createDeckServer({ port: 0 });
  const { port } = await deck.start();
  const browser = await launchBrowser();
  try {
    const { page } = await openDeck(browser, `http://localhost:${port}/`);
    await page.evaluate((d) => window.setThemeFolderFromNative(d), dir);
    await page.waitForFunction(() => /^64\/64 /.test(document.getElementById('preflight').textContent));

    const result = await page.evaluate(async (presses) => {
      const keys = ['1', '2', '3', '4', 'Q', 'W', 'E', 'R', 'A', 'S', 'D', 'F', 'Z', 'X', 'C', 'V'];
      const event = (k) => new KeyboardEvent('keydown', { key: k.toLowerCase(), code: /\d/.test(k) ? `Digit${k}` : `Key${k}`, bubbles: true });
      const frame = () => new Promise(requestAnimationFrame);
      const before = jaunvelDeck.engine.triggerCount;
      for (let i = 0; i < presses; i++) {
        document.dispatchEvent(event(keys[i % keys.length]));
        if (i % 50 === 49) await frame();
      }
      const ours = jaunvelDeck.triggerTimes().slice(-(jaunvelDeck.engine.triggerCount - before));

      // The bare minimum a keydown handler must do to start a decoded buffer.
      const ctx = jaunvelDeck.engine.ctx;
      const buffer = [...jaunvelDeck.engine.files.values()].find((f) => f.buffer).buffer;
      const bare = [];
      const onKey = () => {
        const t0 = performance.now();
        const src = ctx.createBufferSource();
        src.buffer = buffer;
        src.connect(ctx.destination);
        src.start();
        bare.push(performance.now() - t0);
        src.stop(ctx.currentTime + 0.01);
      };
      jaunvelDeck.engine.stopAllPads(0);
      const target = document.createElement('div');
      target.addEventListener('keydown', onKey);
      for (let i = 0; i < presses; i++) {
        target.dispatchEvent(event('1'));
        if (i % 50 === 49) await frame();
      }
      jaunvelDeck.engine.stopAllPads(0);
      return { ours, bare, decoded: jaunvelDeck.engine.decodedBytes, budget: jaunvelDeck.engine.budget };
    }, PRESSES);
    const o99 = pct(result.ours, 99);
    const b99 = pct(result.bare, 99);
    console.log(`pad trigger (64 pads, ${result.ours.length} presses)  ours p50 ${pct(result.ours, 50).toFixed(3)} ms p99 ${o99.toFixed(3)} ms  ` +
      `baseline p50 ${pct(result.bare, 50).toFixed(3)} ms p99 ${b99.toFixed(3)} ms  ratio p99 ${(o99 / Math.max(b99, 0.001)).toFixed(2)}  (target p99 <= 1 ms)`);
    console.log(`decoded pads     ${(result.decoded / 1048576).toFixed(1)} MiB of a ${(result.budget / 1048576).toFixed(0)} MiB budget`);

    // The budget: with room for about ten pads, the rest must stream rather than decode.
    const small = await openDeck(browser, `http://localhost:${port}/`);
    await small.page.evaluate(() => (jaunvelDeck.engine.budget = 10 * 2 * 48000 * 2 * 4));
    await small.page.evaluate((d) => window.setThemeFolderFromNative(d), dir);
    await small.page.waitForFunction(() => /^64\/64 /.test(document.getElementById('preflight').textContent));
    const b = await small.page.evaluate(() => {
      const files = [...jaunvelDeck.engine.files.values()];
      return { decoded: jaunvelDeck.engine.decodedBytes, budget: jaunvelDeck.engine.budget, buffers: files.filter((f) => f.buffer).length, streams: files.filter((f) => f.stream).length };
    });
    console.log(`memory budget    ${b.buffers} pads decoded (${(b.decoded / 1048576).toFixed(1)} MiB, budget ${(b.budget / 1048576).toFixed(1)} MiB), ${b.streams} streamed: ${b.decoded <= b.budget ? 'kept' : 'EXCEEDED'}`);
  } finally {
    await browser.close();
    await deck.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
