'use strict';
// Pad trigger latency and decoded-pad memory with 64 pads loaded, in headless Chromium and in
// WebKitGTK (the shell's engine, under Xvfb): main-thread time from a keydown reaching the deck
// to AudioBufferSourceNode.start, against a bare handler that only creates and starts a source
// in the same page; and the decoded pads against the budget, both as the deck counts them and
// as the page's process grew (RSS and PSS) while loading them.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const deckDir = path.join(__dirname, '..', '..', 'deck');
const { createDeckServer } = require(path.join(deckDir, 'server.js'));
const { writeTree } = require(path.join(deckDir, 'test', 'helpers', 'wav.js'));
const { launchBrowser, openDeck } = require(path.join(deckDir, 'test', 'helpers', 'browser.js'));
const { noWebKit, inWebKit: runInWebKit } = require(path.join(deckDir, 'test', 'helpers', 'webkit.js'));
const steps = require('./trigger-steps.js');
const { pct } = require('./lib.js');


// RSS and PSS (KiB) and CPU seconds summed over Chromium's renderer processes below this one.
const CLK_TCK = Number(spawnSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }).stdout.trim()) || 100;
function rendererMemory() {
  const children = new Map();
  for (const pid of fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      const ppid = Number(fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ')[1]);
      if (!children.has(ppid)) children.set(ppid, []);
      children.get(ppid).push(Number(pid));
    } catch {
      // gone meanwhile
    }
  }
  const total = { Rss: 0, Pss: 0, cpuSeconds: 0 };
  const walk = (pid) => {
    for (const c of children.get(pid) || []) {
      try {
        if (fs.readFileSync(`/proc/${c}/cmdline`, 'utf8').includes('--type=renderer')) {
          const rollup = fs.readFileSync(`/proc/${c}/smaps_rollup`, 'utf8');
          for (const k of ['Rss', 'Pss']) total[k] += Number(new RegExp(`^${k}:\\s+(\\d+)`, 'm').exec(rollup)[1]);
          const stat = fs.readFileSync(`/proc/${c}/stat`, 'utf8').split(') ')[1].split(' ');
          total.cpuSeconds += (Number(stat[11]) + Number(stat[12])) / CLK_TCK; // utime, stime
        }
      } catch {
        // gone meanwhile
      }
      walk(c);
    }
  };
  walk(process.pid);
  return total;
}

async function inChromium(browser, url, dir) {
  const { page } = await openDeck(browser, url);
  const run = async (body) => {
    const value = JSON.parse(await page.evaluate(`(async (show) => { ${body} })(${JSON.stringify(dir)})`));
    return { result: value, memory: rendererMemory() };
  };
  const ready = await run(steps.ready);
  const load = await run(steps.load);
  const press = await run(steps.press);
  const pressShaped = await run(steps.pressShaped);
  const lit = await run(steps.lit);
  const bgmStart = await run(steps.bgmStart);
  const bgmHold = await run(steps.hold);
  // Reloads with the BGM playing, as in WebKitGTK below.
  const resumes = [];
  for (let i = 0; i < 4; i++) {
    await run(steps.cut);
    await page.reload();
    await page.waitForFunction(() => window.jaunvelDeck !== undefined);
    resumes.push((await run(steps.resumed)).result);
  }
  await page.context().close();
  const bare = await openDeck(browser, url);
  const bareRun = async (body) => ({ result: JSON.parse(await bare.page.evaluate(`(async (show) => { ${body} })(${JSON.stringify(dir)})`)), memory: rendererMemory() });
  const bareReady = { memory: rendererMemory() };
  const bareLoad = await bareRun(steps.bareLoad);
  await bare.page.context().close();
  const bare2 = await openDeck(browser, url);
  const bareBgmStart = { result: JSON.parse(await bare2.page.evaluate(`(async (show) => { ${steps.bareBgmStart} })(${JSON.stringify(dir)})`)), memory: rendererMemory() };
  await bare2.page.evaluate(`(async () => { ${steps.hold} })()`);
  const bareBgmHold = { memory: rendererMemory() };
  await bare2.page.context().close();
  return { ready, load, press, pressShaped, lit, bgmStart, bgmHold, bareReady, bareLoad, bareBgmStart, bareBgmHold, resumes };
}

// Runs steps in a fresh WebKitGTK page (a web process of its own) under Xvfb, with a data folder
// of its own: a bare page sharing the deck's would restore its show and decode its pads.
async function webkitSteps(url, dir, work, names) {
  const data = fs.mkdtempSync(path.join(work, 'run-'));
  const { results, memory } = await runInWebKit({ url, show: dir, dir: data, steps: names.map((name) => steps[name]), timeout: 180000 });
  return results.map((result, i) => ({ result, memory: memory[i] }));
}

async function inWebKit(url, dir, work) {
  if (noWebKit) return null;
  const RELOADS = 4;
  const [ready, load, press, pressShaped, lit, bgmStart, bgmHold, ...reloads] = await webkitSteps(url, dir, work,
    ['ready', 'load', 'press', 'pressShaped', 'lit', 'bgmStart', 'hold', ...Array(RELOADS).fill(['cut', 'resumed']).flat()]);
  const [bareReady, bareLoad] = await webkitSteps(url, dir, work, ['ready', 'bareLoad']);
  const [, bareBgmStart, bareBgmHold] = await webkitSteps(url, dir, work, ['ready', 'bareBgmStart', 'hold']);
  const resumes = reloads.filter((_, i) => i % 2 === 1).map((s) => s.result);
  return { ready, load, press, pressShaped, lit, bgmStart, bgmHold, bareReady, bareLoad, bareBgmStart, bareBgmHold, resumes };
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-trigger-'));
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-trigger-steps-'));
  const tree = {};
  for (let page = 1; page <= 4; page++) {
    for (let pad = 1; pad <= 16; pad++) tree[`page${page}/pad${String(pad).padStart(2, '0')}.wav`] = { seconds: 2, freq: 200 + pad * 40, rate: 44100, channels: 2 };
  }
  tree['bgm/bgm.wav'] = { seconds: 30, freq: 330, rate: 44100, channels: 2 };
  writeTree(dir, tree);
  const deck = createDeckServer({ port: 0 });
  const { port } = await deck.start();
  const url = `http://localhost:${port}/`;
  const browser = await launchBrowser();
  try {
    const engines = { chromium: await inChromium(browser, url, dir), webkit: await inWebKit(url, dir, work) };
    const version = spawnSync('/usr/bin/python3', ['-c', "import gi; gi.require_version('WebKit2', '4.1'); from gi.repository import WebKit2 as W; print(W.get_major_version(), W.get_minor_version(), W.get_micro_version(), sep='.')"], { encoding: 'utf8' }).stdout.trim();

    const names = Object.keys(engines).filter((k) => engines[k]);
    const head = names.map((n) => (n === 'webkit' ? `WebKitGTK ${version}` : `Chromium ${browser.version().split('.')[0]}`));
    const col = (s) => String(s).padStart(9);
    console.log(`pad trigger, 64 pads loaded, ${steps.PRESSES} presses per handler; ms of main thread from keydown to start() (target p99 <= 1 ms)`);
    console.log(`${''.padEnd(30)}${head.map((h) => h.padStart(27)).join('')}`);
    console.log(`${'row'.padEnd(30)}${names.map(() => `${col('ours')}${col('bare')}${col('ratio')}`).join('')}`);
    for (const [step, label] of [['press', ''], ['pressShaped', ' with hold and trims in use']]) {
      for (const p of [50, 90, 99, 99.9]) {
        const cells = names.map((n) => {
          const { ours, bare } = engines[n][step].result;
          const o = pct(ours, p);
          const b = pct(bare, p);
          const clock = engines[n].ready.result.clockMs; // below one step of the clock, both read 0
          return `${col(o.toFixed(3))}${col(b.toFixed(3))}${col((Math.max(o, clock) / Math.max(b, clock)).toFixed(2))}`;
        });
        console.log(`${`p${p}${label}`.padEnd(30)}${cells.join('')}`);
      }
    }
    const one = (label, f) => console.log(`${label.padEnd(30)}${names.map((n) => f(engines[n]).padStart(27)).join('')}`);
    one('presses recorded', (e) => `${e.press.result.ours.length} / ${e.press.result.bare.length}`);
    one('with hold and trims, recorded', (e) => `${e.pressShaped.result.ours.length} / ${e.pressShaped.result.bare.length}`);
    one('clock step, isolated page', (e) => `${(e.ready.result.clockMs * 1000).toFixed(0)} us, ${e.ready.result.isolated}`);
    one('audio context rate', (e) => `${e.ready.result.rate} Hz`);
    const mib = (kib) => (kib / 1024).toFixed(1);
    one('decoded pads (deck count)', (e) => `${(e.load.result.decoded / 1048576).toFixed(1)} of ${(e.load.result.budget / 1048576).toFixed(0)} MiB`);
    one('pads decoded / streamed', (e) => `${e.load.result.buffers} / ${e.load.result.streams}`);
    for (const k of ['Rss', 'Pss']) {
      const cells = names.map((n) => {
        const e = engines[n];
        const o = e.load.memory[k] - e.ready.memory[k];
        const b = e.bareLoad.memory[k] - e.bareReady.memory[k];
        return `${col(mib(o))}${col(mib(b))}${col((o / b).toFixed(2))}`;
      });
      console.log(`${`loading: ${k.toUpperCase()} growth MiB`.padEnd(30)}${cells.join('')}`);
    }
    one('page process RSS after presses MiB', (e) => mib(e.press.memory.Rss));
    const lit = names.map((n) => {
      const { ours, bare } = engines[n].lit.result;
      const o = pct(ours, 50);
      const b = pct(bare, 50);
      return `${col(o.toFixed(1))}${col(b.toFixed(1))}${col((o / b).toFixed(2))}`;
    });
    console.log(`${'key to pad lit, median ms'.padEnd(30)}${lit.join('')}`);
    const cpu = names.map((n) => {
      const e = engines[n];
      const share = (a, b) => (100 * (b.memory.cpuSeconds - a.memory.cpuSeconds)) / steps.BGM_SECONDS;
      return `${col(share(e.bgmStart, e.bgmHold).toFixed(0))}${col(share(e.bareBgmStart, e.bareBgmHold).toFixed(0))}${col('')}`;
    });
    console.log(`${'BGM playing: page CPU % of core'.padEnd(30)}${cpu.join('')}`);
    for (const [n, h] of names.map((n, i) => [n, head[i]])) {
      const r = engines[n].resumes;
      const list = (k) => r.map((x) => (x[k] === null ? '-' : Math.round(x[k]))).join(', ');
      console.log(`${h} reload with the BGM playing (${r.length} reloads), ms: BGM playing again after the reload began: ${list('ms')}; ` +
        `page answered: ${list('html')}; modules run: ${list('scripts')}; a bare element on the same file and second, start to playing: ${list('bareMs')}`);
    }
    if (!engines.webkit) console.log('WebKitGTK: skipped (python3-gi, gir1.2-webkit2-4.1 or xvfb missing)');

    // The budget: with room for about ten pads, the rest must stream rather than decode.
    const small = await openDeck(browser, url);
    await small.page.evaluate(() => (jaunvelDeck.engine.budget = 10 * 2 * 48000 * 2 * 4));
    await small.page.evaluate((d) => window.setThemeFolderFromNative(d), dir);
    await small.page.waitForFunction(() => /^64\/64 /.test(document.getElementById('preflight').textContent));
    const b = await small.page.evaluate(() => {
      const files = [...jaunvelDeck.engine.files.values()];
      return { decoded: jaunvelDeck.engine.decodedBytes, budget: jaunvelDeck.engine.budget, buffers: files.filter((f) => f.buffer).length, streams: files.filter((f) => f.stream).length };
    });
    console.log(`memory budget (Chromium): ${b.buffers} pads decoded (${(b.decoded / 1048576).toFixed(1)} MiB, budget ${(b.budget / 1048576).toFixed(1)} MiB), ${b.streams} streamed: ${b.decoded <= b.budget ? 'kept' : 'EXCEEDED'}`);
  } finally {
    await browser.close();
    await deck.close();
    fs.rmSync(dir, { recursive: true, force: true });
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
