// What the shell benchmarks share: a virtual X server, the shell in a prefix
// of its own, the page server's event log, and /proc readings.
import { spawn, spawnSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

export const here = path.dirname(new URL(import.meta.url).pathname);
export const work = fs.mkdtempSync(path.join(os.tmpdir(), 'jaunvel-bench-'));
const children = new Set();

// Output nobody reads must not fill a pipe and stall the child: stdout is
// piped only for the readers that ask for it.
export function start(command, args, env = {}, { readOutput = false } = {}) {
  const child = spawn(command, args, {
    env: { ...process.env, ...env },
    stdio: ['ignore', readOutput ? 'pipe' : 'ignore', 'ignore'],
  });
  children.add(child);
  child.on('exit', () => children.delete(child));
  return child;
}
process.on('exit', () => {
  children.forEach((c) => c.kill('SIGKILL'));
  fs.rmSync(work, { recursive: true, force: true });
});

export async function startDisplay() {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-nolisten', 'tcp'], {
    stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
  });
  children.add(xvfb);
  const [chunk] = await once(xvfb.stdio[3], 'data');
  const display = `:${chunk.toString().trim()}`;
  const env = {
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
  fs.mkdirSync(env.HOME, { recursive: true });
  return env;
}

// Window maps as the X server reports them, through x11_watch.
export async function watchMaps(watcher, env) {
  const maps = [];
  const waiters = [];
  const watch = start(watcher, [], env, { readOutput: true });
  let buffered = '';
  watch.stdout.on('data', (chunk) => {
    buffered += chunk;
    let newline;
    while ((newline = buffered.indexOf('\n')) >= 0) {
      const [t, id, ...name] = buffered.slice(0, newline).split(' ');
      buffered = buffered.slice(newline + 1);
      if (t !== 'ready') maps.push({ t: Number(t), id, name: name.join(' ') });
      waiters.splice(0).forEach((w) => w());
    }
  });
  await once(watch.stdout, 'data');
  return (name, after) =>
    new Promise((resolve) => {
      const check = () => {
        const found = maps.find((m) => m.name === name && m.t >= after);
        if (found) resolve(found);
        else waiters.push(check);
      };
      check();
    });
}

// The shell in a prefix of its own, with `script` as its server.js.
export function startShell(binary, script, env) {
  const prefix = fs.mkdtempSync(path.join(work, 'prefix-'));
  fs.mkdirSync(path.join(prefix, 'bin'));
  fs.mkdirSync(path.join(prefix, 'share/jaunvel'), { recursive: true });
  fs.copyFileSync(binary, path.join(prefix, 'bin/jaunvel'));
  fs.chmodSync(path.join(prefix, 'bin/jaunvel'), 0o755);
  fs.copyFileSync(script, path.join(prefix, 'share/jaunvel/server.js'));
  return start(path.join(prefix, 'bin/jaunvel'), [], env);
}

export function request(port, route, body) {
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

// The first event called `name` past entry `after` of the page server's log.
export async function waitEvent(port, name, after = 0) {
  for (let attempt = 0; attempt < 400; attempt++) {
    try {
      return JSON.parse(await request(port, `/wait?event=${name}&after=${after}`));
    } catch {
      await new Promise((r) => setTimeout(r, 25)); // the server is not listening yet
    }
  }
  throw new Error(`no ${name} event on port ${port}`);
}

// Waits until the port answers (or, with `up` false, refuses), checking every 25 ms.
export async function listening(port, up) {
  for (let attempt = 0; attempt < 400; attempt++) {
    const answers = await request(port, '/events').then(() => true, () => false);
    if (answers === up) return;
    await new Promise((r) => setTimeout(r, 25));
  }
  throw new Error(`port ${port} never became ${up ? 'ready' : 'free'}`);
}

export const ticksPerSecond = Number(spawnSync('getconf', ['CLK_TCK']).stdout.toString()) || 100;

export function cpuTicks(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return Number(fields[11]) + Number(fields[12]);
}

export function memory(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const rollup = fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8');
  return {
    rss: Number(/VmRSS:\s+(\d+)/.exec(status)[1]) / 1024,
    pss: Number(/Pss:\s+(\d+)/.exec(rollup)[1]) / 1024,
  };
}

export const fdCount = (pid) => fs.readdirSync(`/proc/${pid}/fd`).length;

// Processes whose parent is `parent`, with their state letter.
export function childrenOf(parent) {
  const found = [];
  for (const pid of fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
      if (!new RegExp(`^PPid:\\s+${parent}$`, 'm').test(status)) continue;
      found.push({ pid, name: /^Name:\s+(.*)$/m.exec(status)[1], state: /^State:\s+(\S)/m.exec(status)[1] });
    } catch {}
  }
  return found;
}

// Fixed windows of measurement (idle time, storm length), not synchronisation.
export const settle = (ms) => new Promise((r) => setTimeout(r, ms));
