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

const E2E_DIR = path.dirname(path.dirname(new URL(import.meta.url).pathname));
export const PORT = 4177;
const SERVER_PATH = '/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin';
const SCREENSHOTS = process.env.JAUNVEL_E2E_SCREENSHOTS ?? path.join(os.tmpdir(), 'jaunvel-e2e-screenshots');

export const delay = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `probe` until it returns a truthy value, which it returns.
export async function waitFor(probe, what, { timeout = 10000, interval = 25 } = {}) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await delay(interval);
  }
}

// Odd values that the server must get as they are, and a PORT and PATH it must not.
export const ODD_ENV = {
  PORT: '9999',
  PATH: '/nonexistent/bin:/also/missing',
  JAUNVEL_E2E_EXTRA: '値 with spaces = and; semicolons',
  JAUNVEL_E2E_EMPTY: '',
  JAUNVEL_E2E_LINES: 'one\ntwo',
};

export function assertServerEnvironment(shell, start) {
  assert.deepEqual(start.env, { ...shell.env, PORT: String(PORT), PATH: SERVER_PATH });
}

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

function kill(pid) {
  try {
    process.kill(pid, 'SIGKILL');
  } catch {
    // already gone
  }
}

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
    const proc = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-nolisten', 'tcp', '-noreset'], {
      stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
      detached: true,
    });
    const number = await new Promise((resolve, reject) => {
      setTimeout(() => reject(new Error('Xvfb did not report a display')), 15000).unref();
      proc.stdio[3].on('data', (d) => resolve(Number(String(d).trim())));
      proc.once('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
    });
    const display = new Display(`:${number}`, proc);
    // Out of the way of the dialogs: a file chooser may pick the row under the pointer.
    display.x('xdotool', ['mousemove', '1919', '1079']);
    return display;
  }

  constructor(name, proc) {
    Object.assign(this, { name, proc, env: { ...process.env, DISPLAY: name }, watchdog: watchdog([proc.pid]) });
  }

  async close() {
    if (this.proc.exitCode === null) {
      this.proc.kill('SIGTERM');
      await Promise.race([new Promise((r) => this.proc.once('exit', r)), delay(5000)]);
    }
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

  isVisible(id) {
    return this.visibleWindows().includes(id);
  }

  // The window's geometry, title, owner and types; null once it has gone.
  windowInfo(id) {
    try {
      const wi = this.x('xwininfo', ['-id', String(id)]);
      const props = this.x('xprop', ['-id', String(id), '_NET_WM_NAME', 'WM_TRANSIENT_FOR', '_NET_WM_WINDOW_TYPE', '_NET_WM_STATE']);
      const num = (label) => Number(new RegExp(`${label}:\\s+(-?\\d+)`).exec(wi)[1]);
      const list = (atom) => new RegExp(`${atom}\\(ATOM\\) = (.*)`).exec(props)?.[1].split(', ') ?? [];
      const transient = /WM_TRANSIENT_FOR\(WINDOW\): window id # (0x[0-9a-f]+)/.exec(props);
      return {
        id,
        x: num('Absolute upper-left X'),
        y: num('Absolute upper-left Y'),
        width: num('Width'),
        height: num('Height'),
        name: JSON.parse(`"${/_NET_WM_NAME\(UTF8_STRING\) = "(.*)"/.exec(props)?.[1] ?? ''}"`),
        transientFor: transient ? Number(transient[1]) : null,
        types: list('_NET_WM_WINDOW_TYPE'),
        states: list('_NET_WM_STATE'),
      };
    } catch {
      return null;
    }
  }

  // The window's pixels, or those of `crop` ('WxH+X+Y') of it, as RGB bytes.
  pixels(id, crop) {
    const args = ['-silent', '-window', String(id), ...(crop ? ['-crop', crop] : []), '-depth', '8', 'rgb:-'];
    return execFileSync('/usr/bin/import', args, { env: this.env, maxBuffer: 64 << 20, timeout: 15000 });
  }

  // Saves a picture of the window as a PNG for people to look at.
  save(name, id) {
    fs.mkdirSync(SCREENSHOTS, { recursive: true });
    this.x('/usr/bin/import', ['-silent', '-window', String(id), path.join(SCREENSHOTS, `${name}.png`)]);
  }

  // Waits until the window's picture stops changing: for input that has no
  // event to wait for (a file chooser completes a pasted path asynchronously).
  async settle(id) {
    let last = this.pixels(id);
    await waitFor(async () => {
      await delay(120);
      const now = this.pixels(id);
      const same = now.equals(last);
      last = now;
      return same;
    }, 'the window to settle', { timeout: 3000, interval: 0 });
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
    for (let attempt = 1; ; attempt++) {
      // An owner killed while answering leaves the reader hanging: let it go first.
      const old = this.clipboardOwner;
      this.dropClipboard();
      if (old && old.exitCode === null && old.signalCode === null) await new Promise((r) => old.once('exit', r));
      this.clipboardOwner = spawn('xclip', ['-quiet', '-selection', 'clipboard', '-t', 'UTF8_STRING', '-i'], {
        env: this.env,
        stdio: ['pipe', 'ignore', 'ignore'],
      });
      this.clipboardOwner.stdin.end(text);
      try {
        return await waitFor(() => this.clipboard() === text, 'the clipboard to hold the text', { timeout: 3000 });
      } catch (e) {
        if (attempt === 3) throw e;
      }
    }
  }

  clipboard() {
    const args = ['-o', '-selection', 'clipboard', '-t', 'UTF8_STRING'];
    return spawnSync('xclip', args, { env: this.env, encoding: 'utf8', timeout: 2000 }).stdout;
  }

  dropClipboard() {
    this.clipboardOwner?.kill('SIGKILL');
    this.clipboardOwner = null;
  }

  // The text of the window's focused entry, copied with ctrl+a ctrl+c.
  async copyFocusedText(id) {
    const sentinel = `<${crypto.randomUUID()}>`;
    await this.setClipboard(sentinel);
    this.key(id, 'ctrl+a', 'ctrl+c');
    const [text] = await waitFor(() => {
      const now = this.clipboard();
      return now !== sentinel && [now];
    }, 'the copied text');
    return text;
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
    for (let attempt = 0; attempt < 3 && this.isVisible(id); attempt++) {
      try {
        this.key(id, 'Escape');
        await waitFor(() => !this.isVisible(id), 'the dialog to close', { timeout: 1500 });
      } catch {
        // still open, or gone between the check and the key press
      }
    }
    assert.ok(!this.isVisible(id), `dialog ${id} closes on Escape`);
  }

  // Sends WM_DELETE_WINDOW, as a window manager does when the user closes a window.
  deleteWindow(id) {
    this.x(process.env.JAUNVEL_WM_DELETE, [String(id)]);
  }
}

// Lays out a prefix and starts the shell in it.
//   server: whether there is a server.js (the probe)
//   node:   no node resource, 'wrapper' (a script that runs the server) or
//           'broken' (a file that cannot be executed)
//   env:    variables added to the shell's environment
export async function launchShell(display, { server = true, node, env = {} } = {}) {
  assert.ok(process.env.JAUNVEL_BINARY, 'JAUNVEL_BINARY names the built shell');
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'jaunvel-e2e-'));
  const res = path.join(root, 'prefix', 'share', 'jaunvel');
  const home = path.join(root, 'home');
  const xdg = {
    XDG_CONFIG_HOME: `${home}/.config`,
    XDG_DATA_HOME: `${home}/.local/share`,
    XDG_CACHE_HOME: `${home}/.cache`,
    XDG_STATE_HOME: `${home}/.local/state`,
    XDG_RUNTIME_DIR: `${root}/runtime`,
  };
  for (const dir of [res, `${root}/prefix/bin`, `${root}/work`, `${home}/.config/gtk-3.0`, ...Object.values(xdg)]) {
    fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  }
  fs.copyFileSync(process.env.JAUNVEL_BINARY, `${root}/prefix/bin/jaunvel`);
  if (server) fs.copyFileSync(path.join(E2E_DIR, 'probe', 'server.js'), `${res}/server.js`);
  // A node script rather than sh, which would add PWD to the environment.
  if (node === 'wrapper') fs.writeFileSync(`${res}/node`, `#!${process.execPath}\nrequire(process.argv[2]);\n`, { mode: 0o755 });
  if (node === 'broken') fs.writeFileSync(`${res}/node`, 'not a program\n', { mode: 0o644 });
  // Steady pictures: no blinking text cursor, no animations.
  fs.writeFileSync(`${home}/.config/gtk-3.0/settings.ini`, '[Settings]\ngtk-cursor-blink=false\ngtk-enable-animations=false\n');

  const marker = `JAUNVEL_E2E_RUN=${crypto.randomUUID()}`;
  const shell = new Shell({ display, root, res, marker });
  shell.env = {
    PATH: process.env.PATH,
    LANG: 'C.UTF-8',
    HOME: home,
    ...xdg,
    DISPLAY: display.name,
    GDK_BACKEND: 'x11',
    GSETTINGS_BACKEND: 'memory',
    NO_AT_BRIDGE: '1',
    [marker.split('=')[0]]: marker.split('=')[1],
    ...env,
  };
  assert.ok(await portIsFree(), `port ${PORT} is free before the shell starts`);
  // Its stdout and stderr stand for the terminal, which the server writes to as well.
  const stdio = ['ignore', 'pipe', 'pipe'];
  shell.proc = spawn(`${root}/prefix/bin/jaunvel`, [], { cwd: `${root}/work`, env: shell.env, detached: true, stdio });
  shell.proc.stdout.on('data', (d) => (shell.stdout += d));
  shell.proc.stderr.on('data', (d) => (shell.stderr += d));
  shell.exited = new Promise((resolve) => shell.proc.once('exit', (code, signal) => resolve({ code, signal })));
  // Once every process that held the terminal's pipes has closed them.
  shell.outputClosed = new Promise((resolve) => shell.proc.once('close', resolve));
  shell.watchdog = watchdog([-shell.pid, shell.pid], root);
  return shell;
}

class Shell {
  constructor(fields) {
    Object.assign(this, fields, { stdout: '', stderr: '', nextCommand: 1 });
  }

  // The terminal holds what each probe server printed at its start and nothing
  // else: the server writes to the shell's own stdout and stderr, and neither
  // the shell nor the processes WebKit starts print anything.
  assertOnlyServerOutput() {
    const printed = this.events('start').map((e) => e.printed);
    assert.equal(this.stdout, printed.map((p) => p.stdout).join(''), 'the terminal\'s stdout');
    assert.equal(this.stderr, printed.map((p) => p.stderr).join(''), 'the terminal\'s stderr');
  }

  get pid() {
    return this.proc.pid;
  }

  // The probe server's log: its start, the requests it got and the page's reports.
  log() {
    try {
      return fs.readFileSync(`${this.res}/probe.log`, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
    } catch {
      return [];
    }
  }

  events(ev) {
    return this.log().filter((e) => e.ev === ev);
  }

  // Requests for the deck page.
  pageLoads() {
    return this.events('request').filter((e) => e.method === 'GET' && e.url === '/');
  }

  reports(kind) {
    return this.events('report').map((e) => ({ t: e.t, ...e.data })).filter((d) => d.kind === kind);
  }

  waitLog(predicate, what, timeout = 10000) {
    return waitFor(() => this.log().find(predicate), what, { timeout });
  }

  // Waits until the page has been shown `count` times; returns the last report.
  waitLoaded(count = 1) {
    return waitFor(() => this.reports('loaded')[count - 1], `page load ${count}`, { timeout: 15000 });
  }

  // Queues a command for the probe page; returns its id.
  async command(cmd) {
    const id = this.nextCommand++;
    const body = JSON.stringify({ id, ...cmd });
    const res = await fetch(`http://127.0.0.1:${PORT}/probe/command`, { method: 'POST', body, signal: AbortSignal.timeout(5000) });
    assert.equal(res.status, 204, 'the probe takes the command');
    return id;
  }

  waitDone(id) {
    return waitFor(() => this.reports('done').find((r) => r.id === id), `command ${id} to finish`);
  }

  // Posts `body` on a bridge channel from the page.
  async post(channel, body) {
    const done = await this.waitDone(await this.command({ op: 'post', channel, body }));
    assert.equal(done.error, undefined, 'postMessage');
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
    const skip = [this.main?.id, ...exclude];
    return waitFor(() => {
      const ids = this.display.visibleWindows().filter((id) => !skip.includes(id));
      return ids.length && this.display.windowInfo(ids.at(-1));
    }, 'a dialog');
  }

  waitDialogGone(id) {
    return waitFor(() => !this.display.isVisible(id), 'the dialog to close');
  }

  async dispose() {
    if (this.proc.exitCode === null && this.proc.signalCode === null) {
      kill(-this.pid);
      await Promise.race([this.exited, delay(5000)]);
    }
    for (const pid of [...processesWithMarker(this.marker), ...this.events('start').map((e) => e.pid)]) kill(pid);
    kill(this.watchdog.pid);
    this.display.dropClipboard();
    await waitFor(portIsFree, `port ${PORT} to be free`).catch(() => {});
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}
