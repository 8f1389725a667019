// Times the real shell against a minimal GTK + WebKitGTK program in the same
// run, under one virtual X server: start-up, memory, idle CPU, the bridge, and
// a reload storm with the server down. Prints one row per figure.
import { spawn, spawnSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

const [binary, minimal, watcher] = process.argv.slice(2);
const here = path.dirname(new URL(import.meta.url).pathname);
const runs = Number(process.env.BENCH_RUNS ?? 5);
const idleSeconds = Number(process.env.BENCH_IDLE_SECONDS ?? 60);
const stormSeconds = Number(process.env.BENCH_STORM_SECONDS ?? 600);
const ticksPerSecond = Number(spawnSync('getconf', ['CLK_TCK']).stdout.toString()) || 100;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'jaunvel-bench-'));
const children = new Set();

function start(command, args, env = {}) {
  const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
  children.add(child);
  child.on('exit', () => children.delete(child));
  return child;
}
process.on('exit', () => children.forEach((c) => c.kill('SIGKILL')));

async function startXvfb() {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-nolisten', 'tcp'], {
    stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
  });
  children.add(xvfb);
  const [chunk] = await once(xvfb.stdio[3], 'data');
  return `:${chunk.toString().trim()}`;
}

const display = await startXvfb();
const guiEnv = {
  DISPLAY: display,
  HOME: path.join(work, 'home'),
  XDG_CACHE_HOME: path.join(work, 'home/.cache'),
  XDG_DATA_HOME: path.join(work, 'home/.local/share'),
  XDG_CONFIG_HOME: path.join(work, 'home/.config'),
  GSETTINGS_BACKEND: 'memory',
  NO_AT_BRIDGE: '1',
  GST_PLUGIN_FEATURE_RANK:
    'pulsesink:NONE,jackaudiosink:NONE,oss4sink:NONE,openalsink:NONE,osssink:NONE,alsasink:NONE,pipewiresink:NONE',
};
fs.mkdirSync(guiEnv.HOME, { recursive: true });

// Window maps as the X server reports them.
const maps = [];
const mapWaiters = [];
const watch = start(watcher, [], guiEnv);
let buffered = '';
watch.stdout.on('data', (chunk) => {
  buffered += chunk;
  let newline;
  while ((newline = buffered.indexOf('\n')) >= 0) {
    const [t, id, ...name] = buffered.slice(0, newline).split(' ');
    buffered = buffered.slice(newline + 1);
    if (t !== 'ready') maps.push({ t: Number(t), id, name: name.join(' ') });
    mapWaiters.splice(0).forEach((w) => w());
  }
});
await once(watch.stdout, 'data');

function waitMap(name, after) {
  return new Promise((resolve) => {
    const check = () => {
      const found = maps.find((m) => m.name === name && m.t >= after);
      if (found) resolve(found);
      else mapWaiters.push(check);
    };
    check();
  });
}

function request(port, route, body) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, path: route, method: body ? 'POST' : 'GET' }, (res) => {
      let text = '';
      res.on('data', (c) => (text += c));
      res.on('end', () => resolve(text));
    });
    req.on('error', reject);
    req.end(body);
  });
}

async function waitEvent(port, name, after = 0) {
  for (let attempt = 0; attempt < 200; attempt++) {
    try {
      return JSON.parse(await request(port, `/wait?event=${name}&after=${after}`));
    } catch {
      await new Promise((r) => setTimeout(r, 25)); // the server is not listening yet
    }
  }
  throw new Error(`no ${name} event on port ${port}`);
}

function cpuTicks(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return Number(fields[11]) + Number(fields[12]);
}
function memory(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const rollup = fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8');
  return {
    rss: Number(/VmRSS:\s+(\d+)/.exec(status)[1]) / 1024,
    pss: Number(/Pss:\s+(\d+)/.exec(rollup)[1]) / 1024,
  };
}
function webProcess(parent) {
  for (const pid of fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
      if (/^Name:\s+WebKitWebProces/m.test(status) && new RegExp(`^PPid:\\s+${parent}$`, 'm').test(status)) return pid;
    } catch {}
  }
  return null;
}
// Waits until the port answers (or, with `up` false, refuses), checking every 25 ms.
async function listening(port, up) {
  for (let attempt = 0; attempt < 400; attempt++) {
    const answers = await request(port, '/events').then(() => true, () => false);
    if (answers === up) return;
    await new Promise((r) => setTimeout(r, 25));
  }
  throw new Error(`port ${port} never became ${up ? 'ready' : 'free'}`);
}
const fdCount = (pid) => fs.readdirSync(`/proc/${pid}/fd`).length;
const settle = (ms) => new Promise((r) => setTimeout(r, ms)); // fixed windows of measurement, not synchronisation

function ourPrefix(env) {
  const prefix = fs.mkdtempSync(path.join(work, 'prefix-'));
  fs.mkdirSync(path.join(prefix, 'bin'));
  fs.mkdirSync(path.join(prefix, 'share/jaunvel'), { recursive: true });
  fs.copyFileSync(binary, path.join(prefix, 'bin/jaunvel'));
  fs.chmodSync(path.join(prefix, 'bin/jaunvel'), 0o755);
  fs.copyFileSync(path.join(here, 'page_server.js'), path.join(prefix, 'share/jaunvel/server.js'));
  return start(path.join(prefix, 'bin/jaunvel'), [], { ...guiEnv, ...env });
}

const basePort = 4178;
const baseServer = start('node', [path.join(here, 'page_server.js')], { PORT: String(basePort) });
await listening(basePort, true);

async function bridge(port, dialogName, after) {
  const before = Date.now();
  await request(port, '/send', JSON.stringify({ post: 'folderPicker', body: 'theme' }));
  const posted = await waitEvent(port, 'posted', after);
  const dialog = await waitMap(dialogName, before);
  spawnSync('xdotool', ['windowfocus', '--sync', dialog.id], { env: { ...process.env, DISPLAY: display } });
  const confirmed = Date.now();
  spawnSync('xdotool', ['key', 'Return'], { env: { ...process.env, DISPLAY: display } });
  const callback = await waitEvent(port, 'callback', after);
  return { sheet: dialog.t - posted.page, callback: callback.page - confirmed };
}

async function measure(kind) {
  const port = kind === 'ours' ? 4177 : basePort;
  const after = kind === 'ours' ? 0 : JSON.parse(await request(basePort, '/events')).length;
  const t0 = Date.now();
  const app = kind === 'ours' ? ourPrefix({}) : start(minimal, [`http://localhost:${basePort}/`], guiEnv);
  const map = await waitMap(kind === 'ours' ? 'Jaunvel' : 'Baseline', t0);
  const requested = await waitEvent(port, 'request', after);
  const loaded = await waitEvent(port, 'loaded', after);
  return { app, port, after, mapped: map.t - t0, requested: requested.t - t0, appear: loaded.t - requested.t, loaded: loaded.t - t0 };
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const results = { ours: [], base: [] };
let extra = {};

for (let run = 0; run < runs; run++) {
  for (const kind of ['ours', 'base']) {
    const m = await measure(kind);
    results[kind].push(m);
    if (run === 0) {
      // After the shell's last scheduled load (3 s) and a second to settle.
      await settle(Math.max(0, 4000 - m.loaded));
      const web = webProcess(m.app.pid);
      const ui = memory(m.app.pid);
      const webMemory = web ? memory(web) : { rss: NaN, pss: NaN };
      const ticks = cpuTicks(m.app.pid);
      await settle(idleSeconds * 1000);
      const idle = ((cpuTicks(m.app.pid) - ticks) / ticksPerSecond / idleSeconds) * 100;
      const br = await bridge(m.port, kind === 'ours' ? 'Jaunvel' : 'Baseline', m.after);
      extra[kind] = { ui, webMemory, idle, ...br };
    }
    m.app.kill('SIGTERM');
    await once(m.app, 'exit');
    if (kind === 'ours') await listening(4177, false); // the shell stopped its server
  }
}

// A reload storm: the server exits at once, the shell retries every second.
const storm = ourPrefix({ BENCH_DOWN: '1' });
await settle(10_000);
const stormStart = { ticks: cpuTicks(storm.pid), ...memory(storm.pid), fds: fdCount(storm.pid), t: Date.now() };
await settle(stormSeconds * 1000);
const stormEnd = { ticks: cpuTicks(storm.pid), ...memory(storm.pid), fds: fdCount(storm.pid), t: Date.now() };
storm.kill('SIGTERM');
await once(storm, 'exit');
baseServer.kill('SIGTERM');

const rows = [];
const row = (name, ours, base, unit) =>
  rows.push([name, `${ours.toFixed(1)} ${unit}`, base === null ? '—' : `${base.toFixed(1)} ${unit}`,
    base === null ? '—' : `${(ours / base).toFixed(2)}×`]);
for (const [key, label] of [['mapped', 'exec → window mapped'], ['loaded', 'exec → page loaded'],
  ['appear', 'page requested → page loaded'], ['requested', 'exec → first page request']]) {
  row(`${label} (median of ${runs})`, median(results.ours.map((m) => m[key])), median(results.base.map((m) => m[key])), 'ms');
}
row('UI process RSS after load', extra.ours.ui.rss, extra.base.ui.rss, 'MB');
row('UI process PSS after load', extra.ours.ui.pss, extra.base.ui.pss, 'MB');
row('web process RSS after load', extra.ours.webMemory.rss, extra.base.webMemory.rss, 'MB');
row('web process PSS after load', extra.ours.webMemory.pss, extra.base.webMemory.pss, 'MB');
row(`UI process idle CPU over ${idleSeconds} s`, extra.ours.idle, extra.base.idle, '%');
row('bridge: message posted → folder dialog mapped', extra.ours.sheet, extra.base.sheet, 'ms');
row('bridge: dialog confirmed → callback ran in page', extra.ours.callback, extra.base.callback, 'ms');
const stormCpu = ((stormEnd.ticks - stormStart.ticks) / ticksPerSecond / ((stormEnd.t - stormStart.t) / 1000)) * 100;
row(`reload storm ${stormSeconds} s, server down: CPU`, stormCpu, null, '%');
row('reload storm: UI RSS at end vs after 10 s', stormEnd.rss, stormStart.rss, 'MB');
row('reload storm: open fds at end vs after 10 s', stormEnd.fds, stormStart.fds, '');

console.log('| shell figure | ours | baseline | ratio |\n|---|---|---|---|');
for (const r of rows) console.log(`| ${r.join(' | ')} |`);
fs.rmSync(work, { recursive: true, force: true });
process.exit(0);
