// Drives the real shell under Xvfb: a private X display per test file, a
// private install prefix per shell run (the built binary plus the probe server),
// the probe's log, X window queries, keyboard input and screenshots.
// Everything started here is ended by dispose()/close(), and a watchdog ends it
// too if the test process itself dies.
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { readXwd } from './screenshot.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const E2E_DIR = path.dirname(HERE);
export const PORT = 4177;
export const SERVER_PATH = '/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin';
const GST_RANKS =
  'pulsesink:NONE,jackaudiosink:NONE,oss4sink:NONE,openalsink:NONE,osssink:NONE,alsasink:NONE,pipewiresink:NONE';

export function shellBinary() {
  const bin = process.env.JAUNVEL_BINARY;
  if (!bin || !fs.existsSync(bin)) {
    throw new Error('JAUNVEL_BINARY must name the built jaunvel binary');
  }
  return bin;
}

export const screenshotDir =
  process.env.JAUNVEL_E2E_SCREENSHOTS ?? path.join(os.tmpdir(), 'jaunvel-e2e-screenshots');

export const delay = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `probe` until it returns a truthy value; fails with `what` after `timeout` ms.
export async function waitFor(probe, { timeout = 10000, interval = 25, what = 'condition' } = {}) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await delay(interval);
  }
}

// ---------------------------------------------------------------- processes

function procStat(pid) {
  try {
    const s = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const rest = s.slice(s.lastIndexOf(')') + 2).split(' ');
    return { pid, state: rest[0], ppid: Number(rest[1]), pgrp: Number(rest[2]) };
  } catch {
    return null;
  }
}

function allPids() {
  return fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d)).map(Number);
}

// Live (non-zombie) processes whose environment carries `marker`.
export function processesWithMarker(marker) {
  const needle = Buffer.from(marker + '\0');
  return allPids().filter((pid) => {
    if (pid === process.pid) return false;
    try {
      const env = fs.readFileSync(`/proc/${pid}/environ`);
      return env.includes(needle) && procStat(pid)?.state !== 'Z';
    } catch {
      return false;
    }
  });
}

export function descendantsOf(root) {
  const stats = allPids().map(procStat).filter(Boolean);
  const found = [];
  let frontier = [root];
  for (let depth = 0; depth < 20 && frontier.length; depth++) {
    const next = stats.filter((s) => frontier.includes(s.ppid)).map((s) => s.pid);
    found.push(...next);
    frontier = next;
  }
  return found;
}

export function isAlive(pid) {
  const s = procStat(pid);
  return s !== null && s.state !== 'Z';
}

function killQuietly(pid, signal = 'SIGKILL') {
  try {
    process.kill(pid, signal);
  } catch {
    // already gone
  }
}

// A detached sh that ends the given processes (and process groups, as
// negative numbers) and removes the given temporary folders once this test
// process has gone, watching for at most 30 minutes.
function startWatchdog(targets, dirs = []) {
  const rm = dirs.map((d) => `'${d}'`).join(' ');
  const script = `i=0; while [ $i -lt 3600 ] && kill -0 ${process.pid} 2>/dev/null; do sleep 0.5; i=$((i+1)); done; kill -KILL ${targets.join(' ')} 2>/dev/null; ${rm ? `sleep 1; rm -rf ${rm}` : ''}; exit 0`;
  const dog = spawn('/bin/sh', ['-c', script], { detached: true, stdio: 'ignore' });
  dog.unref();
  return dog;
}

export async function portIsFree(port = PORT) {
  return new Promise((resolve) => {
    const s = net.connect({ port, host: '127.0.0.1' });
    s.once('connect', () => {
      s.destroy();
      resolve(false);
    });
    s.once('error', () => resolve(true));
  });
}

// ---------------------------------------------------------------- X display

export class Display {
  static async start() {
    const fbdir = fs.mkdtempSync(path.join(os.tmpdir(), 'jaunvel-xvfb-'));
    const proc = spawn(
      'Xvfb',
      ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-fbdir', fbdir, '-nolisten', 'tcp', '-noreset'],
      { stdio: ['ignore', 'ignore', 'pipe', 'pipe'], detached: true },
    );
    const number = await new Promise((resolve, reject) => {
      let text = '';
      const timer = setTimeout(() => reject(new Error('Xvfb did not report a display')), 15000);
      proc.stdio[3].on('data', (d) => {
        text += d;
        if (text.includes('\n')) {
          clearTimeout(timer);
          resolve(Number(text.trim()));
        }
      });
      proc.once('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
    });
    const display = new Display(number, fbdir, proc);
    display.watchdog = startWatchdog([proc.pid], [fbdir]);
    // Xvfb draws the pointer into its framebuffer: park it in a corner that no
    // window covers, out of the screenshots.
    display.x('xdotool', ['mousemove', '1919', '1079']);
    return display;
  }

  constructor(number, fbdir, proc) {
    this.number = number;
    this.name = `:${number}`;
    this.fbdir = fbdir;
    this.proc = proc;
  }

  async close() {
    if (this.proc.exitCode === null) {
      const exited = new Promise((r) => this.proc.once('exit', r));
      this.proc.kill('SIGTERM');
      await Promise.race([exited, delay(5000)]);
      killQuietly(this.proc.pid);
    }
    killQuietly(this.watchdog.pid);
    fs.rmSync(this.fbdir, { recursive: true, force: true });
  }

  x(cmd, args, input) {
    return execFileSync(cmd, args, {
      env: { ...process.env, DISPLAY: this.name },
      input,
      encoding: 'utf8',
      stdio: ['pipe', 'pipe', 'pipe'],
      timeout: 15000,
    });
  }

  // Mapped top-level windows (there is no window manager, so these are root's children).
  visibleWindows() {
    const out = spawnSync('xdotool', ['search', '--onlyvisible', '--maxdepth', '1', '--name', ''], {
      env: { ...process.env, DISPLAY: this.name },
      encoding: 'utf8',
      timeout: 15000,
    }).stdout;
    const root = this.rootId();
    return out.split('\n').filter(Boolean).map(Number).filter((id) => id !== root);
  }

  rootId() {
    this.root ??= Number(/Window id: (0x[0-9a-f]+)/.exec(this.x('xwininfo', ['-root']))[1]);
    return this.root;
  }

  windowInfo(id) {
    const wi = this.x('xwininfo', ['-id', String(id)]);
    const num = (label) => Number(new RegExp(`${label}:\\s+(-?\\d+)`).exec(wi)[1]);
    const props = this.x('xprop', ['-id', String(id), '_NET_WM_NAME', 'WM_TRANSIENT_FOR', '_NET_WM_WINDOW_TYPE', '_NET_WM_STATE']);
    const name = /_NET_WM_NAME\(UTF8_STRING\) = "(.*)"/.exec(props)?.[1] ?? '';
    const transient = /WM_TRANSIENT_FOR\(WINDOW\): window id # (0x[0-9a-f]+)/.exec(props);
    return {
      id,
      x: num('Absolute upper-left X'),
      y: num('Absolute upper-left Y'),
      width: num('Width'),
      height: num('Height'),
      mapped: /Map State: IsViewable/.test(wi),
      name: JSON.parse(`"${name}"`),
      transientFor: transient ? Number(transient[1]) : null,
      types: /_NET_WM_WINDOW_TYPE\(ATOM\) = (.*)/.exec(props)?.[1].split(', ') ?? [],
      states: /_NET_WM_STATE\(ATOM\) = (.*)/.exec(props)?.[1].split(', ') ?? [],
    };
  }

  // windowInfo, or null when the window has gone meanwhile.
  tryWindowInfo(id) {
    try {
      return this.windowInfo(id);
    } catch {
      return null;
    }
  }

  // The screen, or the rectangle `rect` of it.
  screenshot(rect) {
    return readXwd(path.join(this.fbdir, 'Xvfb_screen0'), rect);
  }

  // Waits until the window's picture stops changing, for input that has no
  // event of its own to wait for (the file chooser's location entry loads and
  // completes the pasted path asynchronously).
  async settle(id, { timeout = 3000, interval = 120 } = {}) {
    const rect = this.windowInfo(id);
    let last = this.screenshot(rect);
    await waitFor(
      async () => {
        await delay(interval);
        const now = this.screenshot(rect);
        const same = now.equals(last);
        last = now;
        return same;
      },
      { timeout, interval: 0, what: 'the window to settle' },
    );
  }

  // Saves the screen, or one window of it, as PNG under screenshotDir.
  saveScreenshot(name, id) {
    fs.mkdirSync(screenshotDir, { recursive: true });
    const img = this.screenshot(id === undefined ? undefined : this.windowInfo(id));
    const file = path.join(screenshotDir, `${name}.png`);
    img.savePng(file);
    return file;
  }

  focus(id) {
    this.x('xdotool', ['windowfocus', '--sync', String(id)]);
  }

  key(id, ...keys) {
    this.focus(id);
    this.x('xdotool', ['key', '--delay', '40', ...keys]);
  }

  type(id, text) {
    this.focus(id);
    this.x('xdotool', ['type', '--delay', '30', text]);
  }

  // Puts `text` on the clipboard, owned by an xclip that stays in the
  // foreground until it is replaced or dropClipboard() ends it; resolves once
  // the clipboard answers with that text. A new owner that has not answered
  // within a few seconds is replaced by another.
  async setClipboard(text) {
    for (let attempt = 1; ; attempt++) {
      // An owner killed while answering leaves the reader hanging: let the
      // old one be gone first.
      const old = this.clipboardOwner;
      this.dropClipboard();
      if (old && old.exitCode === null && old.signalCode === null) await new Promise((r) => old.once('exit', r));
      const owner = spawn('xclip', ['-quiet', '-selection', 'clipboard', '-t', 'UTF8_STRING', '-i'], {
        env: { ...process.env, DISPLAY: this.name },
        stdio: ['pipe', 'ignore', 'ignore'],
      });
      owner.stdin.end(text);
      this.clipboardOwner = owner;
      try {
        await waitFor(() => this.clipboard() === text, { timeout: 3000, what: 'the clipboard to hold the text' });
        return;
      } catch (e) {
        if (attempt === 3) throw e;
      }
    }
  }

  clipboard() {
    return spawnSync('xclip', ['-o', '-selection', 'clipboard', '-t', 'UTF8_STRING'], {
      env: { ...process.env, DISPLAY: this.name },
      encoding: 'utf8',
      timeout: 2000,
    }).stdout;
  }

  // The text of the focused entry of a window, read by copying it (ctrl+a ctrl+c).
  async copyFocusedText(id) {
    const sentinel = `<${crypto.randomUUID()}>`;
    await this.setClipboard(sentinel);
    this.key(id, 'ctrl+a', 'ctrl+c');
    return waitFor(
      () => {
        const text = this.clipboard();
        return text !== sentinel ? { text } : null;
      },
      { timeout: 5000, what: 'the copied text' },
    ).then((r) => r.text);
  }

  dropClipboard() {
    this.clipboardOwner?.kill('SIGKILL');
    this.clipboardOwner = null;
  }

  // Enters a path in a file chooser: in its location entry (ctrl+l), or in
  // the save dialog's name field, which has the focus when it opens.
  async enterPath(id, text, { field = 'location' } = {}) {
    await this.setClipboard(text);
    this.key(id, field === 'location' ? 'ctrl+l' : 'ctrl+a', 'ctrl+v');
    await this.settle(id);
    this.key(id, 'Return');
  }

  isVisible(id) {
    return this.visibleWindows().includes(id);
  }

  // Cancels a dialog with Escape; a file chooser that has just refused a
  // pick needs a second one.
  async cancel(id) {
    for (let attempt = 0; attempt < 3 && this.isVisible(id); attempt++) {
      try {
        this.key(id, 'Escape');
        await waitFor(() => !this.isVisible(id), { timeout: 1500, what: 'the dialog to close' });
      } catch {
        // still open, or gone between the check and the key press
      }
    }
    if (this.isVisible(id)) throw new Error(`dialog ${id} did not close on Escape`);
  }

  // Sends WM_DELETE_WINDOW, as a window manager does when the user closes a window.
  deleteWindow(id) {
    execFileSync(wmDeleteHelper(), [String(id)], {
      env: { ...process.env, DISPLAY: this.name },
      timeout: 15000,
    });
  }
}

let builtHelper = null;
function wmDeleteHelper() {
  if (process.env.JAUNVEL_WM_DELETE) return process.env.JAUNVEL_WM_DELETE;
  // Run outside CTest: build the helper once for this process.
  if (!builtHelper) {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'jaunvel-wmdelete-'));
    builtHelper = path.join(dir, 'wm_delete');
    execFileSync('cc', ['-O1', '-o', builtHelper, path.join(E2E_DIR, 'wm_delete.c'), '-lX11']);
    process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  }
  return builtHelper;
}

// ---------------------------------------------------------------- one shell run

// Lays out a prefix and starts the shell in it.
//   server: true (probe server.js) or false (no server.js)
//   node:   undefined (no node resource), 'wrapper' (records its arguments in
//           node-argv, then runs the script), or 'broken' (a file that cannot
//           be executed)
//   config: probe-config.json contents
//   env:    variables added to (or, with undefined, removed from) the shell's environment
export async function launchShell(display, { server = true, node, config, env = {} } = {}) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'jaunvel-e2e-'));
  const prefix = path.join(root, 'prefix');
  const res = path.join(prefix, 'share', 'jaunvel');
  fs.mkdirSync(path.join(prefix, 'bin'), { recursive: true });
  fs.mkdirSync(res, { recursive: true });
  fs.copyFileSync(shellBinary(), path.join(prefix, 'bin', 'jaunvel'));
  fs.chmodSync(path.join(prefix, 'bin', 'jaunvel'), 0o755);
  if (server) fs.copyFileSync(path.join(E2E_DIR, 'probe', 'server.js'), path.join(res, 'server.js'));
  if (config) fs.writeFileSync(path.join(res, 'probe-config.json'), JSON.stringify(config));
  if (node === 'wrapper') {
    // A node script rather than sh, which would add PWD to the environment.
    fs.writeFileSync(
      path.join(res, 'node'),
      `#!${process.execPath}\n` +
        "require('fs').writeFileSync(__dirname + '/node-argv', JSON.stringify(process.argv.slice(1)));\n" +
        'process.argv.splice(1, 1);\nrequire(process.argv[1]);\n',
      { mode: 0o755 },
    );
  } else if (node === 'broken') {
    fs.writeFileSync(path.join(res, 'node'), 'not a program\n', { mode: 0o644 });
  }

  const home = path.join(root, 'home');
  const xdg = {
    XDG_CONFIG_HOME: path.join(home, '.config'),
    XDG_DATA_HOME: path.join(home, '.local', 'share'),
    XDG_CACHE_HOME: path.join(home, '.cache'),
    XDG_STATE_HOME: path.join(home, '.local', 'state'),
    XDG_RUNTIME_DIR: path.join(root, 'runtime'),
  };
  for (const dir of Object.values(xdg)) fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  // Steady pictures: no blinking text cursor, no animations.
  fs.mkdirSync(path.join(xdg.XDG_CONFIG_HOME, 'gtk-3.0'), { recursive: true });
  fs.writeFileSync(
    path.join(xdg.XDG_CONFIG_HOME, 'gtk-3.0', 'settings.ini'),
    '[Settings]\ngtk-cursor-blink=false\ngtk-enable-animations=false\n',
  );
  const work = path.join(root, 'work');
  fs.mkdirSync(work);

  const marker = `JAUNVEL_E2E_RUN=${crypto.randomUUID()}`;
  const fullEnv = {
    PATH: process.env.PATH,
    LANG: 'C.UTF-8',
    HOME: home,
    ...xdg,
    DISPLAY: display.name,
    GDK_BACKEND: 'x11',
    GSETTINGS_BACKEND: 'memory',
    NO_AT_BRIDGE: '1',
    GST_PLUGIN_FEATURE_RANK: GST_RANKS,
    [marker.split('=')[0]]: marker.split('=')[1],
    ...env,
  };
  for (const [k, v] of Object.entries(fullEnv)) if (v === undefined) delete fullEnv[k];

  const shell = new Shell({ display, root, prefix, res, work, marker, env: fullEnv });
  await shell.start();
  return shell;
}

export class Shell {
  constructor(fields) {
    Object.assign(this, fields);
    this.stdout = '';
    this.stderr = '';
    this.nextCommand = 1;
    this.seen = new Set();
  }

  async start() {
    if (!(await portIsFree())) throw new Error(`port ${PORT} is busy before the shell starts`);
    this.startedAt = Date.now();
    this.proc = spawn(path.join(this.prefix, 'bin', 'jaunvel'), [], {
      cwd: this.work,
      env: this.env,
      detached: true,
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    this.proc.stdout.on('data', (d) => (this.stdout += d));
    this.proc.stderr.on('data', (d) => (this.stderr += d));
    this.exited = new Promise((resolve) =>
      this.proc.once('exit', (code, signal) => {
        this.exitedAt = Date.now();
        resolve({ code, signal });
      }),
    );
    this.watchdog = startWatchdog([-this.proc.pid, this.proc.pid], [this.root]);
  }

  get pid() {
    return this.proc.pid;
  }

  // Remembers every process the shell has started so far, for the cleanup.
  noteChildren() {
    for (const pid of descendantsOf(this.pid)) this.seen.add(pid);
    return [...this.seen];
  }

  // ---- probe log

  log() {
    let text;
    try {
      text = fs.readFileSync(path.join(this.res, 'probe.log'), 'utf8');
    } catch {
      return [];
    }
    return text.split('\n').filter(Boolean).map((l) => JSON.parse(l));
  }

  events(ev) {
    return this.log().filter((e) => e.ev === ev);
  }

  // Requests for the deck page (the root path).
  pageLoads() {
    return this.log().filter((e) => e.ev === 'request' && e.method === 'GET' && e.url === '/');
  }

  reports(kind) {
    return this.events('report').map((e) => ({ t: e.t, ...e.data })).filter((d) => !kind || d.kind === kind);
  }

  callbacks() {
    return this.reports('callback');
  }

  async waitLog(predicate, { timeout = 10000, what = 'a probe log entry' } = {}) {
    return waitFor(() => this.log().find(predicate), { timeout, what });
  }

  async waitReport(predicate, opts = {}) {
    return waitFor(() => this.reports().find(predicate), { what: 'a page report', ...opts });
  }

  // Waits until the page has been shown `count` times and returns the last.
  async waitLoaded(count = 1, timeout = 15000) {
    return waitFor(() => this.reports('loaded')[count - 1], { timeout, what: `page load ${count}` });
  }

  // Queues a command for the probe page; returns its id.
  async command(cmd) {
    const id = this.nextCommand++;
    await new Promise((resolve, reject) => {
      const body = JSON.stringify({ id, ...cmd });
      const req = http.request(
        { host: '127.0.0.1', port: PORT, path: '/probe/command', method: 'POST', headers: { 'content-type': 'application/json' } },
        (res) => {
          res.resume();
          res.on('end', () => (res.statusCode === 204 ? resolve() : reject(new Error(`command: ${res.statusCode}`))));
        },
      );
      req.setTimeout(5000, () => req.destroy(new Error('command timed out')));
      req.on('error', reject);
      req.end(body);
    });
    return id;
  }

  async waitDone(id, timeout = 10000) {
    return this.waitReport((r) => r.kind === 'done' && r.id === id, { timeout, what: `command ${id} to finish` });
  }

  // Posts `body` on a bridge channel from the page.
  async post(channel, body) {
    const id = await this.command({ op: 'post', channel, body });
    const done = await this.waitDone(id);
    if (done.error) throw new Error(`postMessage failed: ${done.error}`);
  }

  async waitCallback(name, { after = 0, timeout = 10000 } = {}) {
    return waitFor(() => this.callbacks().find((c) => c.name === name && c.t >= after), {
      timeout,
      what: `callback ${name}`,
    });
  }

  // ---- windows

  async mainWindow(timeout = 10000) {
    this.main ??= await waitFor(
      () =>
        this.display
          .visibleWindows()
          .map((id) => this.display.tryWindowInfo(id))
          .find((w) => w && w.name === 'Jaunvel' && w.transientFor === null && !w.types.includes('_NET_WM_WINDOW_TYPE_DIALOG')),
      { timeout, what: 'the main window' },
    );
    return this.main;
  }

  // Waits for a mapped dialog window: any visible window but the main one
  // and those in `exclude`.
  async waitDialog({ timeout = 10000, exclude = [] } = {}) {
    const skip = [this.main?.id, ...exclude];
    return waitFor(
      () => {
        const ids = this.display.visibleWindows().filter((id) => !skip.includes(id));
        return ids.length ? this.display.tryWindowInfo(ids[ids.length - 1]) : null;
      },
      { timeout, what: 'a dialog' },
    );
  }

  async waitDialogGone(id, timeout = 10000) {
    await waitFor(() => !this.display.visibleWindows().includes(id), { timeout, what: 'the dialog to close' });
  }

  // ---- ending

  async dispose() {
    this.noteChildren();
    if (this.proc.exitCode === null && this.proc.signalCode === null) {
      killQuietly(-this.proc.pid);
      await Promise.race([this.exited, delay(5000)]);
    }
    for (const pid of [...this.seen, ...processesWithMarker(this.marker)]) killQuietly(pid);
    for (const e of this.events('start')) killQuietly(e.pid);
    killQuietly(this.watchdog.pid);
    this.display.dropClipboard();
    await waitFor(() => portIsFree(), { timeout: 10000, what: `port ${PORT} to be free` }).catch(() => {});
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}
