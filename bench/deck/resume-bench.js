'use strict';
// Reload with the BGM playing, to the BGM heard again (the deck's `bgm-resumed` mark, ms since
// the reload began), for a WAV and an MP3 track, in Chromium and in WebKitGTK (under Xvfb), the
// formats and engines alternated; and a bare element started on the same file and second in
// the reloaded page (start to playing): the floor for a page that waits for its element.
//   node bench/deck/resume-bench.js [ROUNDS]      (needs lame for the MP3 track)
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const deckDir = path.join(__dirname, '..', '..', 'deck');
const { createDeckServer } = require(path.join(deckDir, 'server.js'));
const { sineWav } = require(path.join(deckDir, 'test', 'helpers', 'wav.js'));
const { launchBrowser, openDeck } = require(path.join(deckDir, 'test', 'helpers', 'browser.js'));
const { inWebKit } = require(path.join(deckDir, 'test', 'helpers', 'webkit.js'));
const { cut, resumed } = require('./trigger-steps.js');
const { pct } = require('./lib.js');

const ROUNDS = Number(process.argv[2]) || 3;
const RELOADS = 4;
const setup = `
for (let i = 0; i < 600 && !window.jaunvelDeck; i++) await new Promise(requestAnimationFrame);
window.setThemeFolderFromNative(show);
while (!/BGM 1曲/.test(document.getElementById('preflight').textContent)) await new Promise(requestAnimationFrame);
return JSON.stringify({});
`;

async function chromium(browser, url, show) {
  const { page, context } = await openDeck(browser, url);
  const run = async (body) => JSON.parse(await page.evaluate(`(async (show) => { ${body} })(${JSON.stringify(show)})`));
  await run(setup);
  const out = [];
  for (let i = 0; i < RELOADS; i++) {
    await run(cut);
    await page.reload();
    await page.waitForFunction(() => window.jaunvelDeck !== undefined);
    out.push(await run(resumed));
  }
  await context.close();
  return out;
}

async function webkit(url, show, work) {
  const names = ['setup', ...Array(RELOADS).fill(['cut', 'resumed']).flat()];
  const dir = fs.mkdtempSync(path.join(work, 'data-')); // an empty localStorage each run
  const { results } = await inWebKit({ url, show, dir, steps: names.map((name) => ({ setup, cut, resumed })[name]), timeout: 120000 });
  return results.filter((_, i) => i > 0 && i % 2 === 0);
}

async function main() {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-resume-bench-'));
  const wav = sineWav({ seconds: 40, freq: 330, rate: 44100, channels: 2 });
  for (let at = 44, x = 1; at < wav.length; at += 2) wav.writeInt16LE(((x = (Math.imul(x, 1103515245) + 12345) >>> 0) >>> 18) - 8192, at);
  const shows = {};
  for (const format of ['wav', 'mp3']) {
    const show = (shows[format] = path.join(work, format));
    fs.mkdirSync(path.join(show, 'bgm'), { recursive: true });
    fs.writeFileSync(path.join(show, 'bgm', 'track.wav'), wav);
    if (format === 'mp3') {
      execFileSync('lame', ['--quiet', '-b', '192', path.join(show, 'bgm', 'track.wav'), path.join(show, 'bgm', 'track.mp3')]);
      fs.rmSync(path.join(show, 'bgm', 'track.wav'));
    }
  }
  const deck = createDeckServer({ port: 0 });
  const url = `http://localhost:${(await deck.start()).port}/`;
  const browser = await launchBrowser();
  const got = {};
  try {
    for (let round = 0; round < ROUNDS; round++) {
      const order = round % 2 ? ['mp3', 'wav'] : ['wav', 'mp3'];
      for (const engine of round % 2 ? ['webkit', 'chromium'] : ['chromium', 'webkit']) {
        for (const format of order) {
          const load = fs.readFileSync('/proc/loadavg', 'utf8').split(' ')[0];
          const r = engine === 'chromium' ? await chromium(browser, url, shows[format]) : await webkit(url, shows[format], work);
          (got[`${engine} ${format}`] ??= []).push({ load, r });
          console.log(`round ${round + 1} ${engine} ${format} (load ${load}): heard again ${r.map((x) => Math.round(x.ms)).join(', ')}; bare element ${r.map((x) => Math.round(x.bareMs)).join(', ')}`);
        }
      }
    }
  } finally {
    await browser.close();
    await deck.close();
    fs.rmSync(work, { recursive: true, force: true });
  }
  for (const [key, runs] of Object.entries(got)) {
    const all = runs.flatMap((x) => x.r);
    const ms = all.map((x) => x.ms).sort((a, b) => a - b);
    const bare = all.map((x) => x.bareMs).sort((a, b) => a - b);
    console.log(`${key}: heard again median ${Math.round(pct(ms, 50))} (${Math.round(ms[0])}–${Math.round(ms[ms.length - 1])}) ms; bare element median ${Math.round(pct(bare, 50))} (${Math.round(bare[0])}–${Math.round(bare[bare.length - 1])}) ms; ${all.length} reloads`);
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
