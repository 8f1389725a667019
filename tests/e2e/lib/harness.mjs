// Drives the real shell under Xvfb: a private X display per test file, a
// private install prefix per shell run (the built binary plus the probe
// server), the probe's log, X window queries, keyboard input and pictures
// (ImageMagick's import). dispose()/close() end everything started here, and
// a watchdog does if the test process itself dies.
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

export const PORT = 4177;
export const delay = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `probe` until it returns a truthy value, which it returns.
export async function waitFor(probe, what, { timeout = 10000, interval = 25 } = {}) {
  for (const deadline = Date.now() + timeout; ; await delay(interval)) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
  }
}

// Odd values that the server must get as they are, and a PORT and PATH it must not.
export const ODD_ENV = { PORT: '9999', PATH: '/nonexistent/bin', JAUNVEL_E2E_ODD: '値 a = b; c', JAUNVEL_E2E_EMPTY: '', JAUNVEL_E2E_LINES: 'one\ntwo' };

// Live (not zombie) processes but this one whose environment holds `marker`.
export function processesWithMarker(marker) {
  const needle = Buffer.from(marker + '\0');
  return fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d) && Number(d) !== process.pid).map(Number).filter((pid) => {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      return stat[stat.lastIndexOf(')') + 2] !== 'Z' && fs.readFileSync(`/proc/${pid}/environ`).includes(needle);
    } catch {
      return false; // gone meanwhile
    }
  });
}

const kill = (pid) => spawnSync('kill', ['-KILL', '--', String(pid)]); // quietly, if already gone

// A detached sh that, once this process has gone (or after 30 minutes), kills
// `targets` (a negative number is a process group) and removes `dir`.
function watchdog(targets, dir) {
  const script = `i=0; while [ $i -lt 3600 ] && kill -0 ${process.pid} 2>/dev/null; do sleep 0.5; i=$((i+1)); done; kill -KILL ${targets.join(' ')} 2>/dev/null; ${dir ? `sleep 1; rm -rf '${dir}'` : ''}`;
  const dog = spawn('/bin/sh', ['-c', script], { detached: true, stdio: 'ignore' });
  dog.unref();
  return dog;
}

const portIsFree = () =>
  new Promise((resolve) => {
    const s = net.connect({ port: PORT, host: '127.0.0.1' });
    s.once('connect', () => resolve(!s.destroy()));
    s.once('error', () => resolve(true));
  });

export class Display {
  static async start() {
    const args = ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-nolisten', 'tcp', '-noreset'];
    const proc = spawn('Xvfb', args, { stdio: ['ignore', 'ignore', 'ignore', 'pipe'], detached: true });
    const number = await new Promise((resolve, reject) => {
      setTimeout(() => reject(new Error('Xvfb did not report a display')), 15000).unref();
      proc.stdio[3].on('data', (d) => resolve(Number(String(d).trim())));
      proc.once('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
    });
    const name = `:${number}`;
    const display = Object.assign(new Display(), { name, proc, env: { ...process.env, DISPLAY: name }, watchdog: watchdog([proc.pid]) });
    // Out of the way of the dialogs: a file chooser may pick the row under the pointer.
    display.x('xdotool', ['mousemove', '1919', '1079']);
    return display;
  }

  async close() {
    if (this.proc.exitCode === null) await Promise.race([new Promise((r) => this.proc.once('exit', r).kill('SIGTERM')), delay(5000)]);
    kill(this.proc.pid);
    kill(this.watchdog.pid);
  }

  x(cmd, args) {
    return execFileSync(cmd, args, { env: this.env, encoding: 'utf8', stdio: 'pipe', timeout: 15000 });
  }

  // Mapped top-level windows (there is no window manager: root's children).
  visibleWindows() {
    const root = (this.root ??= Number(/Window id: (0x[0-9a-f]+)/.exec(this.x('xwininfo', ['-root']))[1]));
    const out = spawnSync('xdotool', ['search', '--onlyvisible', '--maxdepth', '1', '--name', ''], { env: this.env, encoding: 'utf8' });
    return out.stdout.split('\n').filter(Boolean).map(Number).filter((id) => id !== root);
  }

  waitGone(id, timeout) {
    return waitFor(() => !this.visibleWindows().includes(id), `window ${id} to close`, { timeout });
  }

  // The window's geometry, title, owner and types; null if there is none (any more).
  windowInfo(id) {
    if (id === undefined) return null;
    try {
      const wi = this.x('xwininfo', ['-id', String(id)]);
      const props = this.x('xprop', ['-id', String(id), '_NET_WM_NAME', 'WM_TRANSIENT_FOR', '_NET_WM_WINDOW_TYPE', '_NET_WM_STATE']);
      const num = (label) => Number(new RegExp(`${label}:\\s+(-?\\d+)`).exec(wi)[1]);
      const [x, y, width, height] = ['Absolute upper-left X', 'Absolute upper-left Y', 'Width', 'Height'].map(num);
      const list = (atom) => new RegExp(`${atom}\\(ATOM\\) = (.*)`).exec(props)?.[1].split(', ') ?? [];
      const transient = /WM_TRANSIENT_FOR\(WINDOW\): window id # (0x[0-9a-f]+)/.exec(props);
      const name = /_NET_WM_NAME\(UTF8_STRING\) = "(.*)"/.exec(props)?.[1];
      return { id, x, y, width, height, name, transientFor: transient && Number(transient[1]), types: list('_NET_WM_WINDOW_TYPE'), states: list('_NET_WM_STATE') };
    } catch {
      return null;
    }
  }

  // The window's pixels as RGB bytes.
  pixels(id) {
    return execFileSync('/usr/bin/import', ['-silent', '-window', String(id), '-depth', '8', 'rgb:-'], { env: this.env, maxBuffer: 64 << 20, timeout: 15000 });
  }

  // Waits until the window's picture stops changing, and returns it: for input
  // that has no event to wait for (a file chooser completes a pasted path
  // asynchronously). Each new picture is compared with the one before.
  async settle(id) {
    let last = this.pixels(id);
    await waitFor(() => delay(120).then(() => last.equals((last = this.pixels(id)))), 'the window to settle', { timeout: 3000, interval: 0 });
    return last;
  }

  // Without a window manager a new window does not get the keyboard focus by itself.
  focus(id) {
    this.x('xdotool', ['windowfocus', '--sync', String(id)]);
  }

  key(id, ...keys) {
    this.focus(id);
    this.x('xdotool', ['key', '--delay', '40', ...keys]);
  }

  // Puts `text` on the clipboard, owned by an xclip that stays until replaced
  // or dropClipboard(); resolves once the clipboard answers with it. A new
  // owner that does not answer within a few seconds is replaced.
  async setClipboard(text) {
    const read = () => spawnSync('xclip', ['-o', '-selection', 'clipboard', '-t', 'UTF8_STRING'], { env: this.env, encoding: 'utf8', timeout: 2000 }).stdout;
    for (let attempt = 1; ; attempt++) {
      await this.dropClipboard();
      this.clipboardOwner = spawn('xclip', ['-quiet', '-selection', 'clipboard', '-t', 'UTF8_STRING', '-i'], { env: this.env, stdio: ['pipe', 'ignore', 'ignore'] });
      this.clipboardOwner.stdin.end(text);
      const held = await waitFor(() => read() === text, 'the clipboard to hold the text', { timeout: 3000 }).catch((e) => {
        if (attempt === 3) throw e;
      });
      if (held) return;
    }
  }

  // Kills the clipboard's owner and waits for it to go: one killed while
  // answering would leave the next reader hanging.
  async dropClipboard() {
    const owner = this.clipboardOwner;
    this.clipboardOwner = null;
    if (owner && owner.exitCode === null && owner.signalCode === null) await new Promise((r) => owner.once('exit', r).kill('SIGKILL'));
  }

  // Enters a path in a file chooser: in its location entry (ctrl+l), or in
  // the save dialog's name field, which has the focus when it opens.
  async enterPath(id, text, field = 'location') {
    await this.setClipboard(text);
    this.key(id, field === 'location' ? 'ctrl+l' : 'ctrl+a', 'ctrl+v');
    await this.settle(id);
    this.key(id, 'Return');
  }

  // Cancels a dialog with Escape; a file chooser that has just refused a pick needs two.
  async cancel(id) {
    for (let attempt = 1; this.visibleWindows().includes(id); attempt++) {
      assert.ok(attempt <= 3, `dialog ${id} closes on Escape`);
      try {
        this.key(id, 'Escape');
        await this.waitGone(id, 1500);
      } catch {} // still open, or gone before the key press
    }
  }

  // Sends WM_DELETE_WINDOW, as a window manager does when the user closes a window.
  deleteWindow(id) {
    this.x(process.env.JAUNVEL_WM_DELETE, [String(id)]);
  }
}

// Lays out a prefix and starts the shell in it: with server.js (the probe)
// unless `server` is false, a node resource if `node` is 'wrapper' (a script
// that runs the server) or 'broken' (not executable), and `env` added (a
// variable given as undefined is left out).
export async function launchShell(display, { server = true, node, env = {} } = {}) {
  assert.ok(process.env.JAUNVEL_BINARY && process.env.JAUNVEL_LOAD_PROBE, 'JAUNVEL_BINARY names the built shell, JAUNVEL_LOAD_PROBE its load probe');
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'jaunvel-e2e-'));
  const res = path.join(root, 'prefix', 'share', 'jaunvel');
  const home = path.join(root, 'home'); // the XDG folders but the runtime one are under it by default
  for (const dir of [res, `${root}/prefix/bin`, `${root}/work`, `${root}/runtime`, `${home}/.config/gtk-3.0`]) fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  fs.copyFileSync(process.env.JAUNVEL_BINARY, `${root}/prefix/bin/jaunvel`);
  if (server) fs.copyFileSync(path.join(import.meta.dirname, '..', 'probe', 'server.js'), `${res}/server.js`);
  // A node script rather than sh, which would add PWD to the environment.
  if (node === 'wrapper') fs.writeFileSync(`${res}/node`, `#!${process.execPath}\nrequire(process.argv[2]);\n`, { mode: 0o755 });
  if (node === 'broken') fs.writeFileSync(`${res}/node`, 'not a program\n', { mode: 0o644 });
  // Steady pictures: no blinking text cursor, no animations.
  fs.writeFileSync(`${home}/.config/gtk-3.0/settings.ini`, '[Settings]\ngtk-cursor-blink=false\ngtk-enable-animations=false\n');

  const marker = crypto.randomUUID();
  const shellEnv = { PATH: process.env.PATH, LANG: 'C.UTF-8', HOME: home, XDG_RUNTIME_DIR: `${root}/runtime`, DISPLAY: display.name };
  Object.assign(shellEnv, { GDK_BACKEND: 'x11', GSETTINGS_BACKEND: 'memory', NO_AT_BRIDGE: '1', JAUNVEL_E2E_RUN: marker }, env);
  // When the shell asks WebKit for a page (see load_probe.c).
  Object.assign(shellEnv, { LD_PRELOAD: process.env.JAUNVEL_LOAD_PROBE, JAUNVEL_E2E_LOAD_LOG: `${root}/loads.log` });
  for (const [name, value] of Object.entries(shellEnv)) if (value === undefined) delete shellEnv[name];
  assert.ok(await portIsFree(), `port ${PORT} is free before the shell starts`);
  // Its stdout and stderr stand for the terminal, which the server writes to as well.
  const proc = spawn(`${root}/prefix/bin/jaunvel`, [], { cwd: `${root}/work`, env: shellEnv, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  return new Shell({ display, root, res, home, env: shellEnv, marker: `JAUNVEL_E2E_RUN=${marker}`, proc, pid: proc.pid });
}

class Shell {
  constructor(fields) {
    Object.assign(this, fields, { stdout: '', stderr: '', nextCommand: 1 });
    this.proc.stdout.on('data', (d) => (this.stdout += d));
    this.proc.stderr.on('data', (d) => (this.stderr += d));
    this.exited = new Promise((resolve) => this.proc.once('exit', (code, signal) => resolve({ code, signal })));
    // Once every process that held the terminal's pipes has closed them.
    this.outputClosed = new Promise((resolve) => this.proc.once('close', resolve));
    this.watchdog = watchdog([-this.pid, this.pid], this.root);
  }

  // The server was started once with `cmdline`, as the shell's child, with the
  // shell's environment but PORT 4177 and the fixed PATH.
  async assertServerStart(cmdline) {
    const start = await waitFor(() => this.events('start')[0], 'the server to start');
    assert.deepEqual(start.cmdline, cmdline);
    assert.equal(start.ppid, this.pid);
    assert.deepEqual(start.env, { ...this.env, PORT: String(PORT), PATH: '/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin' });
  }

  // `servers` probe servers started, and the terminal holds what they printed
  // at their start and nothing else: the server writes to the shell's own
  // stdout and stderr, and neither the shell nor WebKit's processes print.
  assertOnlyServerOutput(servers) {
    const printed = this.events('start').map((e) => e.printed);
    assert.equal(printed.length, servers, 'servers started');
    assert.equal(this.stdout, printed.map((p) => p.stdout).join(''), 'the terminal\'s stdout');
    assert.equal(this.stderr, printed.map((p) => p.stderr).join(''), 'the terminal\'s stderr');
  }

  // The probe server's log: its start, the requests it got and the page's reports.
  events(ev) {
    const log = `${this.res}/probe.log`;
    const lines = fs.existsSync(log) ? fs.readFileSync(log, 'utf8').split('\n').filter(Boolean) : [];
    return lines.map((l) => JSON.parse(l)).filter((e) => e.ev === ev);
  }

  // The times at which the shell asked WebKit for a page, and showed its window.
  requestedLoads() {
    return this.shellCalls('load');
  }

  windowShown() {
    return waitFor(() => this.shellCalls('show')[0], 'the shell to show its window');
  }

  shellCalls(what) {
    const log = this.env.JAUNVEL_E2E_LOAD_LOG;
    const lines = fs.existsSync(log) ? fs.readFileSync(log, 'utf8').split('\n').filter(Boolean) : [];
    return lines.map((l) => l.split(' ')).filter(([w]) => w === what).map(([, t]) => Number(t));
  }

  // Requests for the deck page.
  pageLoads() {
    return this.events('request').filter((e) => e.method === 'GET' && e.url === '/');
  }

  reports(kind) {
    return this.events('report').map((e) => ({ t: e.t, ...e.data })).filter((d) => d.kind === kind);
  }

  // Waits until the start-up loads are over: three or more asked for, the
  // last one shown, and `quiet` ms without another (a load replaced before
  // it was shown fails, and is followed by another a second later). Returns
  // the times of the loads.
  waitSettled(quiet = 2000) {
    const settled = () => {
      const loads = this.requestedLoads();
      const last = loads.at(-1);
      return loads.length >= 3 && Date.now() - last >= quiet && this.reports('loaded').some((r) => r.t > last) && loads;
    };
    return waitFor(settled, 'the start-up loads to settle', { timeout: 30000 });
  }

  // Makes the probe take requests for the page and never answer them, or answer again.
  async silence(silent) {
    const res = await fetch(`http://127.0.0.1:${PORT}/probe/silent`, { method: 'POST', body: JSON.stringify({ silent }), signal: AbortSignal.timeout(5000) });
    assert.equal(res.status, 204);
  }

  // Queues a command for the probe page; returns its id.
  async command(cmd) {
    const id = this.nextCommand++;
    const res = await fetch(`http://127.0.0.1:${PORT}/probe/command`, { method: 'POST', body: JSON.stringify({ id, ...cmd }), signal: AbortSignal.timeout(5000) });
    assert.equal(res.status, 204, 'the probe takes the command');
    return id;
  }

  waitDone(id) {
    return waitFor(() => this.reports('done').find((r) => r.id === id), `command ${id} to finish`);
  }

  waitCallback(name, after) {
    return waitFor(() => this.reports('callback').find((c) => c.name === name && c.t >= after), `callback ${name}`);
  }

  async mainWindow() {
    const isMain = (w) => w?.name === 'Jaunvel' && w.transientFor === null && !w.types.includes('_NET_WM_WINDOW_TYPE_DIALOG');
    this.main ??= await waitFor(() => this.display.visibleWindows().map((id) => this.display.windowInfo(id)).find(isMain), 'the main window');
    return this.main;
  }

  // A mapped window other than the main one and those in `exclude`.
  waitDialog(exclude = []) {
    const newest = () => this.display.visibleWindows().filter((id) => id !== this.main?.id && !exclude.includes(id)).at(-1);
    return waitFor(() => this.display.windowInfo(newest()), 'a dialog');
  }

  async dispose() {
    if (this.proc.exitCode === null && this.proc.signalCode === null) {
      kill(-this.pid);
      await Promise.race([this.exited, delay(5000)]);
    }
    for (const pid of [...processesWithMarker(this.marker), ...this.events('start').map((e) => e.pid)]) kill(pid);
    kill(this.watchdog.pid);
    await this.display.dropClipboard();
    await waitFor(portIsFree, `port ${PORT} to be free`).catch(() => {});
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}
