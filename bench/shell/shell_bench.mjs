// Times the real shell against a minimal GTK + WebKitGTK program in the same
// run, under one virtual X server: start-up, memory, idle CPU, the bridge, and
// a reload storm with the server down. Prints one row per figure.
import { spawnSync } from 'node:child_process';
import { once } from 'node:events';
import path from 'node:path';
import {
  childrenOf, cpuTicks, fdCount, here, listening, memory, request, settle, start, startDisplay, startShell,
  ticksPerSecond, waitEvent, watchMaps,
} from './lib.mjs';

const [binary, minimal, watcher] = process.argv.slice(2);
const runs = Number(process.env.BENCH_RUNS ?? 5);
const idleSeconds = Number(process.env.BENCH_IDLE_SECONDS ?? 60);
const stormSeconds = Number(process.env.BENCH_STORM_SECONDS ?? 600);
const pageServer = path.join(here, 'page_server.js');

await listening(4177, false).catch(() => {
  console.error('Port 4177 is in use: stop whatever holds it (another shell or deck server) first.');
  process.exit(1);
});
const guiEnv = await startDisplay();
const display = guiEnv.DISPLAY;
const waitMap = await watchMaps(watcher, guiEnv);
const webProcess = (parent) => childrenOf(parent).find((c) => c.name.startsWith('WebKitWebProces'))?.pid ?? null;
const ourPrefix = (env) => startShell(binary, pageServer, { ...guiEnv, ...env });

// The baseline starts a fresh page server alongside itself, as the shell does.
const basePort = 4178;

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// Five folder picks: message posted → dialog mapped, Return → callback ran.
async function bridge(port, dialogName) {
  const sheet = [];
  const callback = [];
  const env = { ...process.env, DISPLAY: display };
  for (let round = 0, after = 0; round < 5; round++) {
    const before = Date.now();
    await request(port, '/send', JSON.stringify({ post: 'folderPicker', body: 'theme' }));
    const posted = await waitEvent(port, 'posted', after);
    const dialog = await waitMap(dialogName, before);
    spawnSync('xdotool', ['windowfocus', '--sync', dialog.id], { env });
    const confirmed = Date.now();
    spawnSync('xdotool', ['key', 'Return'], { env });
    const answered = await waitEvent(port, 'callback', after);
    sheet.push(dialog.t - posted.page);
    callback.push(answered.page - confirmed);
    after = answered.index + 1;
  }
  return { sheet: median(sheet), callback: median(callback) };
}

async function measure(kind) {
  const port = kind === 'ours' ? 4177 : basePort;
  const after = 0;
  const t0 = Date.now();
  const server = kind === 'ours' ? null : start('node', [pageServer], { PORT: String(basePort) });
  const app = kind === 'ours' ? ourPrefix({}) : start(minimal, [`http://localhost:${basePort}/`], guiEnv);
  if (server) app.on('exit', () => server.kill('SIGTERM'));
  const map = await waitMap(kind === 'ours' ? 'Jaunvel' : 'Baseline', t0);
  const requested = await waitEvent(port, 'request', after);
  const loaded = await waitEvent(port, 'loaded', after);
  return { app, port, after, mapped: map.t - t0, requested: requested.t - t0, appear: loaded.t - requested.t, loaded: loaded.t - t0 };
}

const trace = process.env.BENCH_DEBUG ? (...a) => console.error(new Date().toISOString(), ...a) : () => {};
const results = { ours: [], base: [] };
let extra = {};

for (let run = 0; run < runs; run++) {
  for (const kind of ['ours', 'base']) {
    trace('measure', run, kind);
    const m = await measure(kind);
    trace('measured', m.mapped, m.loaded);
    results[kind].push(m);
    // Memory after the shell's last scheduled load (3 s) and a second to settle,
    // in every run: one sample moves by tens of MB with the web process's heap.
    await settle(Math.max(0, 4000 - m.loaded));
    const web = webProcess(m.app.pid);
    m.ui = memory(m.app.pid);
    m.webMemory = web ? memory(web) : { rss: NaN, pss: NaN };
    if (run === 0) {
      const ticks = cpuTicks(m.app.pid);
      await settle(idleSeconds * 1000);
      const idle = ((cpuTicks(m.app.pid) - ticks) / ticksPerSecond / idleSeconds) * 100;
      trace('bridge');
      const br = await bridge(m.port, kind === 'ours' ? 'Jaunvel' : 'Baseline');
      extra[kind] = { idle, ...br };
    }
    trace('stopping');
    m.app.kill('SIGTERM');
    await once(m.app, 'exit');
    await listening(m.port, false); // the server has stopped
  }
}

// A reload storm: the server exits at once, the shell retries every second.
const storm = ourPrefix({ BENCH_DOWN: '1' });
await settle(10_000);
const stormStart = { ticks: cpuTicks(storm.pid), ...memory(storm.pid), fds: fdCount(storm.pid), t: Date.now() };
// RSS once a minute: growth that levels off is warming caches, steady growth a leak.
const stormRss = [];
for (let left = stormSeconds * 1000; left > 0; left -= 60_000) {
  await settle(Math.min(left, 60_000));
  stormRss.push(memory(storm.pid).rss);
}
const stormEnd = { ticks: cpuTicks(storm.pid), ...memory(storm.pid), fds: fdCount(storm.pid), t: Date.now() };
storm.kill('SIGTERM');
await once(storm, 'exit');

const rows = [];
const row = (name, ours, base, unit) =>
  rows.push([name, `${ours.toFixed(1)} ${unit}`, base === null ? '—' : `${base.toFixed(1)} ${unit}`,
    base === null ? '—' : ours === base ? '1.00×' : `${(ours / base).toFixed(2)}×`]);
for (const [key, label] of [['mapped', 'exec → window mapped'], ['loaded', 'exec → page loaded'],
  ['appear', 'page requested → page loaded'], ['requested', 'exec → first page request']]) {
  row(`${label} (median of ${runs})`, median(results.ours.map((m) => m[key])), median(results.base.map((m) => m[key])), 'ms');
}
for (const [process, label] of [['ui', 'UI'], ['webMemory', 'web']]) {
  for (const key of ['rss', 'pss']) {
    const of = (kind) => median(results[kind].map((m) => m[process][key]));
    row(`${label} process ${key.toUpperCase()} after load (median of ${runs})`, of('ours'), of('base'), 'MB');
  }
}
row(`UI process idle CPU over ${idleSeconds} s`, extra.ours.idle, extra.base.idle, '%');
row('bridge: message posted → folder dialog mapped (median of 5)', extra.ours.sheet, extra.base.sheet, 'ms');
row('bridge: dialog confirmed → callback ran in page (median of 5)', extra.ours.callback, extra.base.callback, 'ms');
const stormCpu = ((stormEnd.ticks - stormStart.ticks) / ticksPerSecond / ((stormEnd.t - stormStart.t) / 1000)) * 100;
row(`reload storm ${stormSeconds} s, server down: CPU`, stormCpu, null, '%');
row('reload storm: UI RSS at end vs after 10 s', stormEnd.rss, stormStart.rss, 'MB');
row('reload storm: open fds at end vs after 10 s', stormEnd.fds, stormStart.fds, '');

console.log('| shell figure | ours | baseline | ratio |\n|---|---|---|---|');
for (const r of rows) console.log(`| ${r.join(' | ')} |`);
console.log(`\nreload storm: UI RSS each minute (MB): ${stormRss.map((m) => m.toFixed(1)).join(', ')}`);
process.exit(0);
