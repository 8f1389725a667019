'use strict';
// What the deck benches share: the deck server and nginx as child processes on loopback,
// a lean keep-alive HTTP/1.1 client that times the first byte, and /proc readings.
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { once } = require('node:events');
const { spawn, spawnSync } = require('node:child_process');

// BENCH_DECK_SERVER names another server script to measure, such as an earlier version.
const SERVER_JS = process.env.BENCH_DECK_SERVER || path.join(__dirname, '..', '..', 'deck', 'server.js');
const NGINX = ['/usr/sbin/nginx', '/usr/bin/nginx'].find((p) => fs.existsSync(p));

const children = new Set();
process.on('exit', () => children.forEach((c) => c.kill('SIGKILL')));

function track(child) {
  children.add(child);
  child.on('exit', () => children.delete(child));
  return child;
}

async function stop(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const exited = once(child, 'exit');
  child.kill('SIGTERM');
  await exited;
}

// The deck server as the shell runs it: `node server.js` with PORT (a free port).
async function startDeck(extraArgs = [], script = SERVER_JS, env = {}) {
  const child = track(spawn(process.execPath, [...extraArgs, script], {
    env: { ...process.env, ...env, PORT: String(await freePort()) },
    stdio: ['ignore', 'inherit', 'inherit', 'ipc'],
  }));
  const [msg] = await once(child, 'message');
  return { child, port: msg.ready, pid: child.pid };
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
    s.on('error', reject);
  });
}

// nginx in the foreground with a configuration of its own in `work`, serving `root` on
// 127.0.0.1 with one worker, sendfile on as in Debian's default site (or off: read and write,
// as node must), and JSON listings under /many/. Ready once the master reports starting its
// worker.
async function startNginx(work, root, { sendfile = true } = {}) {
  if (!NGINX) throw new Error('nginx is not installed');
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    const prefix = fs.mkdtempSync(path.join(work, 'nginx-'));
    const conf = `
daemon off;
worker_processes 1;
error_log stderr notice;
pid ${prefix}/nginx.pid;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile ${sendfile ? 'on' : 'off'};
  tcp_nopush on;
  keepalive_requests 100000;
  types { audio/wav wav; audio/mpeg mp3; }
  default_type application/octet-stream;
  client_body_temp_path ${prefix}/body;
  proxy_temp_path ${prefix}/proxy;
  fastcgi_temp_path ${prefix}/fastcgi;
  uwsgi_temp_path ${prefix}/uwsgi;
  scgi_temp_path ${prefix}/scgi;
  server {
    listen 127.0.0.1:${port};
    root ${root};
    location /many/ { autoindex on; autoindex_format json; }
  }
}
`;
    fs.writeFileSync(path.join(prefix, 'nginx.conf'), conf);
    const child = track(spawn(NGINX, ['-e', 'stderr', '-p', `${prefix}/`, '-c', `${prefix}/nginx.conf`], {
      stdio: ['ignore', 'ignore', 'pipe'],
    }));
    let log = '';
    const ready = await new Promise((resolve) => {
      child.stderr.on('data', (d) => {
        log += d;
        if (/start worker process/.test(log)) resolve(true);
      });
      child.on('exit', () => resolve(false));
    });
    if (ready) {
      child.stderr.resume();
      return { child, port, pid: child.pid };
    }
    if (!/Address already in use/.test(log)) throw new Error(`nginx did not start:\n${log}`);
  }
  throw new Error('nginx found no free port');
}

// The nginx worker does the serving; its master only supervises.
function nginxWorkerPid(masterPid) {
  const out = spawnSync('ps', ['-o', 'pid=', '--ppid', String(masterPid)], { encoding: 'utf8' }).stdout.trim();
  return Number(out.split('\n')[0]);
}

// One keep-alive connection; requests on it run one after another. Each answer gives its
// status, the body's length, and the times to the first body byte and to the last.
class Connection {
  constructor(port, host = `localhost:${port}`) {
    this.port = port;
    this.host = host;
  }

  async open() {
    this.socket = net.connect(this.port, '127.0.0.1');
    this.socket.setNoDelay(true);
    await once(this.socket, 'connect');
    this.socket.on('data', (chunk) => this.onData(chunk));
    this.socket.on('error', (err) => this.fail(err));
    this.socket.on('close', () => this.fail(new Error('connection closed')));
    return this;
  }

  close() {
    this.socket.destroy();
  }

  fail(err) {
    const p = this.pending;
    this.pending = null;
    if (p) p.reject(err);
  }

  get(target, headers = {}, { keep = false } = {}) {
    const lines = [`GET ${target} HTTP/1.1`, `Host: ${this.host}`];
    for (const [k, v] of Object.entries(headers)) lines.push(`${k}: ${v}`);
    return new Promise((resolve, reject) => {
      this.pending = { resolve, reject, t0: process.hrtime.bigint(), head: null, headBuf: Buffer.alloc(0), body: 0, ttfb: null, chunks: keep ? [] : null };
      this.socket.write(`${lines.join('\r\n')}\r\n\r\n`);
    });
  }

  onData(chunk) {
    const p = this.pending;
    if (!p) return;
    let body = chunk;
    if (!p.head) {
      const buf = Buffer.concat([p.headBuf, chunk]);
      const end = buf.indexOf('\r\n\r\n');
      if (end < 0) {
        p.headBuf = buf;
        return;
      }
      const text = buf.subarray(0, end).toString('latin1');
      const status = Number(text.slice(9, 12));
      const length = /\r\ncontent-length:\s*(\d+)/i.exec(text);
      const chunked = /\r\ntransfer-encoding:\s*chunked/i.test(text);
      p.head = { status, length: length ? Number(length[1]) : 0, chunked };
      if (chunked) p.chunks = [];
      body = buf.subarray(end + 4);
      if (p.head.length === 0 && !chunked) return this.done(p);
    }
    if (body.length && p.ttfb === null) p.ttfb = Number(process.hrtime.bigint() - p.t0) / 1e6;
    p.body += body.length;
    if (p.chunks) p.chunks.push(body);
    if (p.head.chunked) {
      const raw = Buffer.concat(p.chunks);
      p.chunks = [raw];
      if (raw.length >= 5 && raw.subarray(-5).toString() === '0\r\n\r\n' && (raw.length === 5 || raw.subarray(-7, -5).toString() === '\r\n')) {
        p.chunks = [dechunk(raw)];
        p.body = p.chunks[0].length;
        this.done(p);
      }
    } else if (p.body >= p.head.length) this.done(p);
  }

  done(p) {
    this.pending = null;
    p.resolve({ status: p.head.status, bytes: p.body, ttfb: p.ttfb ?? 0, ms: Number(process.hrtime.bigint() - p.t0) / 1e6,
      body: p.chunks && Buffer.concat(p.chunks) });
  }
}

// A whole chunked body (its last chunk included) without the chunk framing.
function dechunk(raw) {
  const parts = [];
  for (let at = 0; ;) {
    const eol = raw.indexOf('\r\n', at);
    const size = Number.parseInt(raw.subarray(at, eol).toString(), 16);
    if (!size) return Buffer.concat(parts);
    parts.push(raw.subarray(eol + 2, eol + 2 + size));
    at = eol + 2 + size + 2;
  }
}

function rssKiB(pid) {
  const m = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  return Number(m[1]);
}

// CPU time a process has used, all its threads together (node's thread pool and workers too), in µs;
// from schedstat, which counts in nanoseconds where /proc/PID/stat counts in ticks of 10 ms.
function cpuMicros(pid) {
  let ns = 0;
  for (const tid of fs.readdirSync(`/proc/${pid}/task`)) {
    try {
      ns += Number(fs.readFileSync(`/proc/${pid}/task/${tid}/schedstat`, 'utf8').split(' ')[0]);
    } catch {
      // a thread that has just ended
    }
  }
  return ns / 1000;
}

const fdCount = (pid) => fs.readdirSync(`/proc/${pid}/fd`).length;

function pct(xs, p) {
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.floor((p / 100) * s.length))];
}
function median(xs) {
  const s = [...xs].sort((a, b) => a - b);
  const m = s.length >> 1;
  return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2;
}

module.exports = { startDeck, startNginx, freePort, track, nginxWorkerPid, stop, Connection, rssKiB, fdCount, cpuMicros, pct, median, SERVER_JS };
