'use strict';
// Loudness levelling's cost: the meter's time per minute of audio (48 kHz stereo) in node and on
// Chromium's main thread, and the decode-to-ready time of a 64-pad show opened from a settings
// file with levelling off (the baseline) and on (ready = every pad decoded and measured), in
// alternating rounds on fresh browser contexts. Each row: ours, the baseline, the ratio.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { pathToFileURL } = require('node:url');
const deckDir = path.join(__dirname, '..', '..', 'deck');
const { createDeckServer } = require(path.join(deckDir, 'server.js'));
const { writeTree } = require(path.join(deckDir, 'test', 'helpers', 'wav.js'));
const { launchBrowser, openDeck } = require(path.join(deckDir, 'test', 'helpers', 'browser.js'));
const { pct } = require('./lib.js');

const ROUNDS = Number(process.env.ROUNDS || 5);
const PAD_SECONDS = 4;

// Measures a minute of a two-tone stereo signal `runs` times with the meter given; ms each run.
function runMeter(measure, runs) {
  const rate = 48000;
  const n = rate * 60;
  const channels = [new Float32Array(n), new Float32Array(n)];
  for (let i = 0; i < n; i++) {
    channels[0][i] = 0.5 * Math.sin(i * 0.0654);
    channels[1][i] = 0.3 * Math.sin(i * 0.1309) + 0.1 * Math.sin(i * 0.9);
  }
  const times = [];
  for (let r = 0; r < runs; r++) {
    const t = performance.now();
    measure(channels, rate);
    times.push(performance.now() - t);
  }
  return times;
}

async function meterInNode(runs) {
  const { measure } = await import(pathToFileURL(path.join(deckDir, 'public', 'loudness.js')).href);
  return runMeter(measure, runs);
}

// The page's own module, on its main thread (the worker runs the same code on another thread).
const meterInPage = (page, runs) => page.evaluate(`(async () => {
  const { measure } = await import('./loudness.js');
  return (${runMeter})(measure, ${runs});
})()`);

function settingsText(dir, on) {
  const pages = [1, 2, 3, 4].map((p) => ({
    name: `page${p}`,
    pads: Array.from({ length: 16 }, (_, i) => ({ label: `${p}-${i + 1}`, file: `page${p}/pad${String(i + 1).padStart(2, '0')}.wav`, hotkey: '' })),
  }));
  return JSON.stringify({ format: 'jaunvel-deck', schemaVersion: 1, name: 'bench', baseFolder: dir, pages, loudness: { on, pads: -16, bgm: -20 } });
}

// Opens the show from its settings text on a fresh page; ms until every pad is ready (and, with
// levelling on, measured).
async function decodeToReady(browser, url, dir, on) {
  const { page, context } = await openDeck(browser, url);
  const ms = await page.evaluate(async ([text, levelling]) => {
    const frame = () => new Promise((r) => requestAnimationFrame(r));
    const t0 = performance.now();
    window.importSamplerConfigFromNative({ path: '/b/bench.json', name: 'bench.json', content: text });
    const files = () => [...jaunvelDeck.engine.files.values()];
    while (files().length < 64 || files().some((f) => f.state === 'loading')) await frame();
    if (files().some((f) => f.state !== 'ready')) throw new Error('a pad failed to load');
    if (levelling) await jaunvelDeck.levellingIdle();
    return performance.now() - t0;
  }, [settingsText(dir, on), on]);
  await context.close();
  return ms;
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-loudness-'));
  const tree = {};
  for (let p = 1; p <= 4; p++) {
    for (let i = 1; i <= 16; i++) tree[`page${p}/pad${String(i).padStart(2, '0')}.wav`] = { seconds: PAD_SECONDS, freq: 200 + i * 40, rate: 44100, channels: 2 };
  }
  writeTree(dir, tree);
  const deck = createDeckServer({ port: 0 });
  const url = `http://localhost:${(await deck.start()).port}/`;
  const browser = await launchBrowser();
  try {
    const node = await meterInNode(ROUNDS);
    const { page, context } = await openDeck(browser, url);
    const chromium = await meterInPage(page, ROUNDS);
    await context.close();
    const med = (a) => pct(a, 50);
    console.log(`loudness meter, ms per minute of 48 kHz stereo (${ROUNDS} runs): node ${process.version} median ${med(node).toFixed(0)} (min ${Math.min(...node).toFixed(0)}), Chromium ${browser.version().split('.')[0]} main thread median ${med(chromium).toFixed(0)} (min ${Math.min(...chromium).toFixed(0)})`);

    const off = [];
    const on = [];
    for (let r = 0; r < ROUNDS; r++) {
      off.push(await decodeToReady(browser, url, dir, false));
      on.push(await decodeToReady(browser, url, dir, true));
    }
    const audio = 64 * PAD_SECONDS;
    console.log(`64-pad show (${audio} s of 44.1 kHz stereo) opened from its settings, decode to ready, ms, Chromium, ${ROUNDS} alternating rounds`);
    console.log(`${'row'.padEnd(14)}${'levelling on'.padStart(14)}${'off'.padStart(10)}${'ratio'.padStart(8)}`);
    for (const [label, f] of [['median', med], ['min', (a) => Math.min(...a)], ['max', (a) => Math.max(...a)]]) {
      console.log(`${label.padEnd(14)}${f(on).toFixed(0).padStart(14)}${f(off).toFixed(0).padStart(10)}${(f(on) / f(off)).toFixed(2).padStart(8)}`);
    }
    console.log(`rounds, on: ${on.map((v) => v.toFixed(0)).join(' ')}; off: ${off.map((v) => v.toFixed(0)).join(' ')}`);
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
