'use strict';
// The deck's local server: serves the page from ./public and, for the page only,
// lists folders of audio files and streams those files with HTTP ranges.
// Node built-ins only; started by the shell as `node server.js` with PORT set.
// It listens on loopback only and answers only to localhost Host names.

const http = require('node:http');
const fs = require('node:fs');
const path = require('node:path');
const os = require('node:os');
const { EventEmitter } = require('node:events');
const { Worker, isMainThread, workerData } = require('node:worker_threads');

const AUDIO_TYPES = {
  '.mp3': 'audio/mpeg',
  '.m4a': 'audio/mp4',
  '.wav': 'audio/wav',
  '.aac': 'audio/aac',
  '.flac': 'audio/flac',
  '.aiff': 'audio/aiff',
  '.aif': 'audio/aiff',
  '.ogg': 'audio/ogg',
  '.opus': 'audio/ogg',
};

const ASSET_TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
  '.json': 'application/json; charset=utf-8',
  '.woff2': 'font/woff2',
};

const MAX_DEPTH = 8;
const DEFAULT_DEPTH = 4;
const MAX_LISTED = 50000;

const collator = new Intl.Collator('ja', { numeric: true, sensitivity: 'base' });
const naturalCompare = (a, b) => collator.compare(a, b) || (a < b ? -1 : a > b ? 1 : 0);

const isAudioName = (name) => Object.hasOwn(AUDIO_TYPES, path.extname(name).toLowerCase());
const isHiddenName = (name) => name.startsWith('.'); // also covers AppleDouble "._x"

class HttpError extends Error {
  constructor(status, code) {
    super(code);
    this.status = status;
    this.code = code;
  }
}

// --- request parsing ---------------------------------------------------------

// Splits the request target into a decoded path and decoded query values.
// Anything malformed (bad %-escapes, NUL, not origin-form) is a 400.
function parseTarget(target) {
  if (typeof target !== 'string' || !target.startsWith('/')) throw new HttpError(400, 'bad-target');
  const q = target.indexOf('?');
  const rawPath = q < 0 ? target : target.slice(0, q);
  const rawQuery = q < 0 ? '' : target.slice(q + 1);
  const decode = (s) => {
    let out;
    try {
      out = decodeURIComponent(s);
    } catch {
      throw new HttpError(400, 'bad-escape');
    }
    if (out.includes('\0')) throw new HttpError(400, 'nul');
    return out;
  };
  const query = new Map();
  for (const part of rawQuery.split('&')) {
    if (!part) continue;
    const eq = part.indexOf('=');
    const key = decode((eq < 0 ? part : part.slice(0, eq)).replace(/\+/g, ' '));
    const value = decode((eq < 0 ? '' : part.slice(eq + 1)).replace(/\+/g, ' '));
    if (!query.has(key)) query.set(key, value);
  }
  return { pathname: decode(rawPath), query };
}

function hostAllowed(host, port) {
  if (typeof host !== 'string') return false;
  const h = host.toLowerCase();
  return h === `localhost:${port}` || h === `127.0.0.1:${port}` || h === `[::1]:${port}`;
}

// Parses a single "bytes=" range against a file size.
// Returns null when the header should be ignored (absent, not bytes, several ranges, garbage),
// 'unsatisfiable' for a 416, or {start, end} inclusive.
function parseRange(header, size) {
  if (typeof header !== 'string') return null;
  const m = /^\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*$/i.exec(header);
  if (!m) return null;
  const [, a, b] = m;
  if (a === '' && b === '') return null;
  let start;
  let end;
  if (a === '') {
    const suffix = Number(b);
    if (suffix === 0 || size === 0) return 'unsatisfiable';
    start = Math.max(0, size - suffix);
    end = size - 1;
  } else {
    start = Number(a);
    end = b === '' ? size - 1 : Math.min(Number(b), size - 1);
    if (b !== '' && Number(b) < start) return null; // syntactically invalid: ignore
    if (start >= size) return 'unsatisfiable';
  }
  return { start, end };
}

// --- folder listing ----------------------------------------------------------

// Listing a folder can mean reading hundreds of thousands of names and sorting them with the
// collator: that runs in worker threads, with synchronous calls that hold neither the main thread
// nor the thread pool that media reads use. A walk stops at the caps, and is ended (its worker
// terminated) as soon as the client that asked for it goes away.
const LIMITS = {
  files: 50000, // audio files in one answer
  dirs: 5000, // direct sub-folders in one answer
  folders: 10000, // folders visited by one walk
  entries: 1000000, // directory entries read by one walk
};
const MAX_WALKS = 2; // walks running at once; one worker each
const MAX_WAITING = 16; // walks waiting for a worker; beyond that, 503

const hasHiddenPart = (p) => p.split('/').some((seg) => seg.startsWith('.') && seg !== '.' && seg !== '..');

// What media would serve, judged by name: the target of a link with an audio name must be a
// regular file with an audio name, outside hidden folders.
function servableLink(abs) {
  try {
    const real = fs.realpathSync.native(abs);
    return isAudioName(real) && !hasHiddenPart(real) && fs.statSync(real).isFile();
  } catch {
    return false;
  }
}

// Runs in a worker: {status, body} with body the JSON text of the answer.
function walkFolder({ dir, recursive, depth, limits }) {
  if (!dir || !path.isAbsolute(dir)) return { status: 400, body: { error: 'not-absolute' } };
  if (hasHiddenPart(dir)) return { status: 403, body: { error: 'hidden' } };
  let st;
  try {
    st = fs.statSync(dir);
  } catch {
    return { status: 404, body: { error: 'not-found' } };
  }
  if (!st.isDirectory()) return { status: 400, body: { error: 'not-a-directory' } };
  const files = [];
  let dirs = [];
  let truncated = false;
  let folders = 0;
  let entries = 0;

  // false once a cap has stopped the walk
  function visit(abs, rel, level) {
    if (folders >= limits.folders) return !(truncated = true);
    folders++;
    const audio = []; // [name, isLink]
    const subs = [];
    const wantSubs = level === 0 || (recursive && level < depth);
    let handle;
    try {
      handle = fs.opendirSync(abs, { bufferSize: 1024 });
    } catch {
      return true; // unreadable sub-folder: skip it
    }
    try {
      for (let e; (e = handle.readSync()) !== null;) {
        if (++entries > limits.entries) {
          truncated = true;
          break;
        }
        const { name } = e;
        if (isHiddenName(name)) continue;
        if (e.isFile()) {
          if (isAudioName(name)) audio.push([name, false]);
        } else if (e.isDirectory()) {
          if (wantSubs) subs.push(name);
        } else if (e.isSymbolicLink() && isAudioName(name)) audio.push([name, true]); // linked folders are never followed: no loops
      }
    } catch {
      // a folder that fails part-way gives what was read
    } finally {
      handle.closeSync();
    }
    subs.sort(naturalCompare);
    if (level === 0) {
      dirs = subs.slice(0, limits.dirs).map((name) => ({ name, path: path.join(abs, name) }));
      if (subs.length > limits.dirs) truncated = true;
    }
    audio.sort((x, y) => naturalCompare(x[0], y[0]));
    for (const [name, isLink] of audio) {
      if (files.length >= limits.files) return !(truncated = true);
      const file = path.join(abs, name);
      if (isLink && !servableLink(file)) continue;
      files.push({ name, path: file, rel: rel ? `${rel}/${name}` : name });
    }
    if (entries > limits.entries) return false;
    if (recursive && level < depth) {
      for (const name of subs) if (!visit(path.join(abs, name), rel ? `${rel}/${name}` : name, level + 1)) return false;
    }
    return true;
  }

  visit(dir, '', 0);
  return { status: 200, body: { dir, files, dirs, truncated } };
}

function walkerMain() {
  const { parentPort } = require('node:worker_threads');
  parentPort.on('message', (job) => {
    const { status, body } = walkFolder(job);
    const bytes = Buffer.from(JSON.stringify(body));
    const out = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
    parentPort.postMessage({ status, body: out }, [out]);
  });
}

// Up to MAX_WALKS workers, kept between walks; a walk whose client has gone costs its worker.
class Walkers {
  constructor(limits) {
    this.limits = limits;
    this.idle = [];
    this.busy = new Set();
    this.waiting = [];
  }

  // Resolves with {status, body: Buffer}, or with null when the socket closed first.
  run(job, socket) {
    return new Promise((resolve, reject) => {
      const entry = { job: { ...job, limits: this.limits }, socket, resolve, reject };
      entry.onClose = () => this.abandon(entry);
      socket.once('close', entry.onClose);
      if (this.busy.size < MAX_WALKS) this.start(entry);
      else if (this.waiting.length < MAX_WAITING) this.waiting.push(entry);
      else {
        socket.off('close', entry.onClose);
        reject(new HttpError(503, 'busy'));
      }
    });
  }

  start(entry) {
    const worker = this.idle.pop() ?? this.spawn();
    entry.worker = worker;
    worker.entry = entry;
    this.busy.add(worker);
    worker.postMessage(entry.job);
  }

  spawn() {
    const worker = new Worker(__filename, { workerData: { deckWalker: true } });
    worker.unref();
    worker.on('message', ({ status, body }) => {
      const { entry } = worker;
      if (!entry) return; // its client went away as it finished
      this.release(worker, true);
      entry.socket.off('close', entry.onClose);
      entry.resolve({ status, body: Buffer.from(body) });
    });
    worker.on('error', () => {
      const { entry } = worker;
      if (!entry) return;
      this.release(worker, false);
      entry.socket.off('close', entry.onClose);
      entry.reject(new HttpError(500, 'internal'));
    });
    worker.on('exit', () => {
      const at = this.idle.indexOf(worker);
      if (at >= 0) this.idle.splice(at, 1);
    });
    return worker;
  }

  release(worker, keep) {
    worker.entry = null;
    this.busy.delete(worker);
    if (keep) this.idle.push(worker);
    else worker.terminate();
    const next = this.waiting.shift();
    if (next) this.start(next);
  }

  abandon(entry) {
    const at = this.waiting.indexOf(entry);
    if (at >= 0) this.waiting.splice(at, 1);
    else if (entry.worker?.entry === entry) this.release(entry.worker, false);
    entry.resolve(null);
  }

  close() {
    for (const worker of [...this.idle, ...this.busy]) worker.terminate();
    this.idle = [];
    this.busy.clear();
    this.waiting = [];
  }
}

// --- file serving ------------------------------------------------------------

// Linux's O_PATH: a descriptor that names a file without opening it for reading, so that a device
// or a fifo standing at an audio name is never opened at all.
const O_PATH = fs.constants.O_PATH ?? 0o10000000;
const READ_FLAGS = fs.constants.O_RDONLY | fs.constants.O_NONBLOCK | fs.constants.O_NOCTTY;

// Opens what `file` names now and decides on the descriptor itself, never on an earlier look-up:
// its type comes from fstat and its real path from /proc/self/fd, so a link swapped in at the
// name at any moment is judged by where it really leads. `accept(real)` says whether that path
// may be served; the file must be a regular one. Then the same file is opened for reading
// through the descriptor (the kernel follows /proc/self/fd/N to the very file the descriptor
// holds, not to whatever has the name by then, so its fstat still holds), and {fd, st, real}
// returned (st with nanosecond times); a file that may not be served is answered with `status`
// and `code`. Five system calls, synchronous: a few microseconds, against a round trip through
// the thread pool of 50-150 on a busy machine.
function openVerified(file, accept, status, code) {
  let pathFd;
  try {
    pathFd = fs.openSync(file, O_PATH);
  } catch {
    throw new HttpError(404, 'not-found');
  }
  try {
    const st = fs.fstatSync(pathFd, { bigint: true });
    if (!st.isFile()) throw new HttpError(status, code);
    const self = `/proc/self/fd/${pathFd}`;
    const real = fs.readlinkSync(self);
    if (!accept(real)) throw new HttpError(status, code);
    return { fd: fs.openSync(self, READ_FLAGS), st, real };
  } catch (err) {
    throw err instanceof HttpError ? err : new HttpError(404, 'not-found');
  } finally {
    fs.closeSync(pathFd);
  }
}

// An audio file outside hidden folders, both as asked and as it really is. A name without an
// audio extension is refused (403) before any look-up, so the answer tells nothing of other files.
function openAudio(requested) {
  if (!requested || !path.isAbsolute(requested)) throw new HttpError(400, 'not-absolute');
  if (!isAudioName(requested) || hasHiddenPart(requested)) throw new HttpError(403, 'not-audio');
  const opened = openVerified(requested, (real) => isAudioName(real) && !hasHiddenPart(real), 403, 'not-audio');
  return { ...opened, type: AUDIO_TYPES[path.extname(opened.real).toLowerCase()] };
}

// A page asset inside root; links may not lead out of it.
function openAsset(root, pathname) {
  const rel = pathname === '/' ? 'index.html' : pathname.slice(1);
  if (rel.split('/').some((seg) => seg === '..' || seg.startsWith('.')) || rel.includes('\\')) {
    throw new HttpError(404, 'not-found');
  }
  const type = ASSET_TYPES[path.extname(rel).toLowerCase()];
  if (!type) throw new HttpError(404, 'not-found');
  const inside = (real) => real.startsWith(root + path.sep) && !hasHiddenPart(real.slice(root.length));
  return { ...openVerified(path.join(root, rel), inside, 404, 'not-found'), type };
}

// Strong: a file replaced by another of the same size and times (cp -p, rsync -t, a restore)
// has another inode or a newer ctime.
const etagOf = (st) => `"${st.ino.toString(36)}-${st.size.toString(36)}-${st.ctimeNs.toString(36)}-${st.mtimeNs.toString(36)}"`;

// Reads go through node's thread pool; the socket is written on the main thread. A sender keeps
// up to two chunks read or being read ahead of the socket, so reading and sending overlap, and
// the first two reads run side by side: the small first chunk goes out while the next is read.
// Chunks get smaller when many files are open at once, so that the buffers of all senders
// together stay near READ_BUDGET however many clients stall.
const FIRST_CHUNK = 64 * 1024;
const MAX_CHUNK = 512 * 1024;
const MIN_CHUNK = 16 * 1024;
const AHEAD = 2;
const READ_BUDGET = 32 * 1024 * 1024;

// Chunk buffers are reused once the socket is done with them: a fresh buffer of this size is
// fresh pages, faulted in and zeroed by the kernel during the read (seen in profiles).
const bufferPool = new Map(); // size -> free buffers
const POOL_KEEP = 8;
function takeBuffer(size) {
  return bufferPool.get(size)?.pop() ?? Buffer.allocUnsafeSlow(size);
}
function giveBuffer(buffer) {
  let free = bufferPool.get(buffer.length);
  if (!free) bufferPool.set(buffer.length, (free = []));
  if (free.length < POOL_KEEP) free.push(buffer);
}

class FileSender extends EventEmitter {
  constructor(fd, start, end, res, senders) {
    super();
    this.fd = fd;
    this.next = start; // where the next read starts
    this.first = true;
    this.end = end;
    this.res = res;
    this.senders = senders;
    this.queue = []; // chunks in file order: {buffer, n, done}
    this.reads = 0; // reads in flight
    this.destroyed = false;
    senders.add(this);
    res.on('drain', () => this.flush());
    res.on('close', () => this.destroy()); // finished or the client went away
  }

  // Powers of two, so that the pool has few sizes; a read may fill less than its buffer.
  chunkSize(first, remaining) {
    const share = READ_BUDGET / (AHEAD * this.senders.size);
    let size = first ? FIRST_CHUNK : MAX_CHUNK;
    while (size > MIN_CHUNK && size > share) size /= 2;
    // A tail shorter than a chunk goes with the chunk before it: each read costs the main
    // thread a wake-up of a pool thread (~60 µs on a busy machine; 1 MiB ranges +7% measured).
    if (!first && remaining <= 2 * size) size *= 2;
    return size;
  }

  read() {
    while (!this.destroyed && this.queue.length < AHEAD && this.next <= this.end) {
      const remaining = this.end + 1 - this.next;
      const size = this.chunkSize(this.first, remaining);
      this.first = false;
      const length = Math.min(size, remaining);
      const chunk = { buffer: takeBuffer(size), n: 0, done: false };
      this.queue.push(chunk);
      this.reads++;
      fs.read(this.fd, chunk.buffer, 0, length, this.next, (err, n) => {
        this.reads--;
        if (this.destroyed) {
          giveBuffer(chunk.buffer);
          if (this.reads === 0) this.closeFile();
          return;
        }
        // A file cut short since its size was sent cannot keep the promised length.
        if (err || n !== length) {
          this.res.destroy();
          return;
        }
        chunk.n = n;
        chunk.done = true;
        this.flush();
      });
      this.next += length;
    }
  }

  flush() {
    while (!this.destroyed && this.queue[0]?.done && !this.res.writableNeedDrain) {
      const { buffer, n } = this.queue.shift();
      this.res.write(buffer.subarray(0, n), () => giveBuffer(buffer));
      if (this.queue.length === 0 && this.next > this.end) {
        this.res.end();
        this.destroy();
        return;
      }
    }
    this.read();
  }

  destroy() {
    if (this.destroyed) return;
    this.destroyed = true;
    // A read in flight still writes into its buffer and uses the fd: both wait for it.
    for (const chunk of this.queue) if (chunk.done) giveBuffer(chunk.buffer);
    this.queue = [];
    if (this.reads === 0) this.closeFile();
  }

  // Closing a file opened for reading is quick; through the pool it costs the main thread a
  // wake-up of a pool thread, which on a busy machine is a switch away from it (seen in profiles).
  closeFile() {
    fs.closeSync(this.fd);
    this.senders.delete(this);
    this.emit('close');
  }
}

// Answers with the opened file; the descriptor is the sender's from then on, or closed here.
function sendFile(req, res, { fd, st, type }, senders) {
  let sending = false;
  try {
    const etag = etagOf(st);
    const size = Number(st.size);
    const headers = {
      'Content-Type': type,
      'Accept-Ranges': 'bytes',
      'Cache-Control': 'no-cache',
      ETag: etag,
      'Last-Modified': new Date(Number(st.mtimeMs)).toUTCString(),
    };
    // If-None-Match compares weakly; If-Range only ever with a strong tag, and ours are all strong.
    const inm = req.headers['if-none-match'];
    if (inm && inm.split(',').some((t) => t.trim().replace(/^W\//, '') === etag || t.trim() === '*')) {
      res.writeHead(304, headers);
      res.end();
      return;
    }
    let range = parseRange(req.headers.range, size);
    const ifRange = req.headers['if-range'];
    if (range && ifRange !== undefined && ifRange.trim() !== etag) range = null;
    if (range === 'unsatisfiable') {
      res.writeHead(416, { ...headers, 'Content-Range': `bytes */${size}`, 'Content-Length': 0 });
      res.end();
      return;
    }
    let status = 200;
    let start = 0;
    let end = size - 1;
    if (range) {
      status = 206;
      ({ start, end } = range);
      headers['Content-Range'] = `bytes ${start}-${end}/${size}`;
    }
    headers['Content-Length'] = size === 0 ? 0 : end - start + 1;
    res.writeHead(status, headers);
    if (req.method === 'HEAD' || size === 0) {
      res.end();
      return;
    }
    if (req.socket.destroyed) return; // the client is gone already: nothing would close the file
    sending = true;
    new FileSender(fd, start, end, res, senders).read();
  } finally {
    if (!sending) fs.closeSync(fd);
  }
}

function sendJson(res, status, value, method) {
  sendBody(res, status, Buffer.from(JSON.stringify(value)), method);
}

// The page loads nothing from elsewhere, so it can be cross-origin isolated; that also gives it
// WebKit's 20 µs clock instead of 1 ms, which the trigger timings need.
const SECURITY_HEADERS = {
  'X-Content-Type-Options': 'nosniff',
  'Referrer-Policy': 'no-referrer',
  'X-Frame-Options': 'DENY',
  'Cross-Origin-Resource-Policy': 'same-origin',
  'Cross-Origin-Opener-Policy': 'same-origin',
  'Cross-Origin-Embedder-Policy': 'require-corp',
  'Content-Security-Policy':
    "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; " +
    "media-src 'self' blob:; connect-src 'self'; object-src 'none'; frame-ancestors 'none'; base-uri 'none'",
};

const FETCH_SITES_ALLOWED = new Set(['same-origin', 'none']);

// --- who is connecting ---------------------------------------------------------

// The kernel's table of TCP sockets gives each socket's owner. A peer on loopback has its own row
// there: local address = the client's address and port, remote = ours. A connection is let in
// only when that row belongs to the server's own user; anything else is closed before a byte of
// it is read.
function hexAddress(address, port, family) {
  const hex = (n, width) => n.toString(16).toUpperCase().padStart(width, '0');
  const little = os.endianness() === 'LE';
  let words;
  if (family === 4) {
    words = [address.split('.').map(Number).reduce((n, b) => n * 256 + b, 0)];
  } else {
    const groups = address.split('::');
    const head = groups[0] ? groups[0].split(':') : [];
    const tail = groups.length > 1 && groups[1] ? groups[1].split(':') : [];
    const all = [...head, ...Array(8 - head.length - tail.length).fill('0'), ...tail].map((g) => Number.parseInt(g, 16));
    words = [0, 1, 2, 3].map((i) => all[2 * i] * 65536 + all[2 * i + 1]);
  }
  // The kernel prints each 32-bit word of the address as it lies in memory, read as a host integer.
  const swap = (w) => ((w & 0xff) << 24 | (w & 0xff00) << 8 | (w >>> 8) & 0xff00 | w >>> 24) >>> 0;
  return `${words.map((w) => hex(little ? swap(w) : w, 8)).join('')}:${hex(port, 4)}`;
}

// The owner uid of each row asked for ("local remote" as the table prints them), -1 for none.
// The table is read 4 KiB at a time (that is what the kernel gives per read) and only until every
// row asked for has been seen: on average half of it.
function ownersOf(keys) {
  const found = new Map();
  const buffer = Buffer.allocUnsafe(64 * 1024);
  for (const family of [4, 6]) {
    const wanted = new Set(keys.filter(([f, key]) => f === family && key).map(([, key]) => key));
    if (wanted.size === 0) continue;
    const fd = fs.openSync(family === 6 ? '/proc/net/tcp6' : '/proc/net/tcp', 'r');
    try {
      let rest = '';
      for (let n; wanted.size > 0 && (n = fs.readSync(fd, buffer, 0, buffer.length, null)) > 0;) {
        const lines = (rest + buffer.toString('latin1', 0, n)).split('\n');
        rest = lines.pop();
        for (const line of lines) {
          const f = line.trim().split(/\s+/);
          const key = `${f[1]} ${f[2]}`;
          // A socket whose owner has closed it (TIME_WAIT and the like) shows inode 0 and uid 0: no peer.
          if (f.length > 9 && f[9] !== '0' && wanted.delete(key)) found.set(key, Number(f[7]));
        }
      }
    } finally {
      fs.closeSync(fd);
    }
  }
  return keys.map(([, key]) => found.get(key) ?? -1);
}

function peerWorkerMain() {
  const { parentPort } = require('node:worker_threads');
  parentPort.on('message', (keys) => {
    let owners;
    try {
      owners = ownersOf(keys);
    } catch {
      owners = keys.map(() => -1); // no table: nobody is let in
    }
    parentPort.postMessage(owners);
  });
}

const familyOf = (socket) => (socket.remoteFamily === 'IPv6' ? 6 : 4);
const peerKey = (socket, family) =>
  `${hexAddress(socket.remoteAddress, socket.remotePort, family)} ${hexAddress(socket.localAddress, socket.localPort, family)}`;

// New connections wait, unread, for a reading of the table that started after they were
// accepted; one reading serves every connection that came in before it began. Reading the table
// walks the kernel's whole socket hash (6 ms of system time here, 20-100 ms while the machine is
// busy) in reads of 4 KiB: that is done by a thread of its own, which neither blocks the main
// thread nor queues behind file reads in the thread pool.
const READINGS = 3; // readings of the table a new connection's peer is looked for in

class PeerGate {
  constructor(admit) {
    this.admit = admit;
    this.uid = process.getuid();
    this.waiting = [];
    this.batch = null;
    this.worker = new Worker(__filename, { workerData: { deckPeers: true } });
    this.worker.unref();
    this.worker.on('message', (owners) => this.decide(owners));
    this.worker.on('error', () => this.decide([]));
  }

  add(socket) {
    this.waiting.push(socket);
    if (!this.batch) this.lookUp();
  }

  lookUp() {
    this.batch = this.waiting;
    this.waiting = [];
    this.worker.postMessage(this.batch.map((socket) => {
      const family = familyOf(socket);
      // A peer gone already has no address, and no row.
      return [family, socket.remoteAddress ? peerKey(socket, family) : ''];
    }));
  }

  decide(owners) {
    const batch = this.batch ?? [];
    this.batch = null;
    batch.forEach((socket, i) => {
      if (socket.destroyed) return;
      if (owners[i] === this.uid) this.admit(socket);
      // The table is read a piece at a time while sockets come and go, and a row can slip
      // between two pieces: a peer not found is looked for again before it is refused.
      else if (owners[i] === -1 && socket.remoteAddress && (socket.deckReadings = (socket.deckReadings ?? 1) + 1) <= READINGS) this.waiting.push(socket);
      else socket.destroy();
    });
    if (this.waiting.length) this.lookUp();
  }

  close() {
    this.worker.terminate();
    for (const socket of [...this.waiting, ...(this.batch ?? [])]) socket.destroy();
    this.waiting = [];
    this.batch = null;
  }
}

// --- the server --------------------------------------------------------------

const HOST_FORMS = ['localhost', '127.0.0.1', '[::1]'];
const MAX_URL = 16 * 1024;
const MAX_HEADERS = 16 * 1024;
const MAX_QUEUED = 8; // pipelined requests waiting behind the one being answered, per connection

const TIMEOUTS = {
  headers: 10000, // the whole request head, from the connection or the previous answer
  idle: 5000, // keep-alive between requests
  stall: 30000, // no byte read nor written (a client that stopped reading)
  check: 1000, // how often the head timeout is checked
};

function createDeckServer({ port = 4177, root = path.join(__dirname, 'public'), limits = {}, timeouts = {}, peerCheck = true } = {}) {
  const openStreams = new Set();
  const servers = [];
  let boundPort = port;
  const publicRoot = fs.realpathSync(root);
  const walkers = new Walkers({ ...LIMITS, ...limits });
  const times = { ...TIMEOUTS, ...timeouts };
  let gate = null;

  async function handle(req, res) {
    for (const [k, v] of Object.entries(SECURITY_HEADERS)) res.setHeader(k, v);
    let hosts = 0;
    for (let i = 0; i < req.rawHeaders.length; i += 2) if (req.rawHeaders[i].toLowerCase() === 'host') hosts++;
    if (hosts > 1) throw new HttpError(400, 'hosts');
    const host = req.headers.host?.toLowerCase();
    if (!HOST_FORMS.some((h) => host === `${h}:${boundPort}`)) throw new HttpError(403, 'host');
    // The page's own requests are same-origin and the shell's loads are "none": another site,
    // even another port of localhost (same-site), has no business here; nor has a request that
    // a page of another origin sent, where fetch metadata is missing.
    const site = req.headers['sec-fetch-site'];
    if (site !== undefined && !FETCH_SITES_ALLOWED.has(site.toLowerCase())) throw new HttpError(403, 'cross-site');
    const origin = req.headers.origin;
    if (origin !== undefined && origin.toLowerCase() !== `http://${host}`) throw new HttpError(403, 'cross-origin');
    if (req.method !== 'GET' && req.method !== 'HEAD') {
      res.setHeader('Allow', 'GET, HEAD');
      throw new HttpError(405, 'method');
    }
    if (req.url.length > MAX_URL) throw new HttpError(414, 'uri-too-long');
    let headerBytes = req.url.length;
    for (const h of req.rawHeaders) headerBytes += h.length + 2;
    if (headerBytes > MAX_HEADERS) throw new HttpError(431, 'headers-too-large');
    const { pathname, query } = parseTarget(req.url);
    if (pathname === '/api/list') {
      const recursive = query.get('recursive') === '1';
      const d = Number.parseInt(query.get('depth') ?? '', 10);
      const depth = Number.isFinite(d) ? Math.max(0, Math.min(MAX_DEPTH, d)) : DEFAULT_DEPTH;
      const listing = await walkers.run({ dir: query.get('dir'), recursive, depth }, req.socket);
      if (listing) sendBody(res, listing.status, listing.body, req.method);
    } else if (pathname === '/media') {
      sendFile(req, res, openAudio(query.get('path')), openStreams);
    } else {
      sendFile(req, res, openAsset(publicRoot, pathname), openStreams);
    }
  }

  function answer(req, res) {
    handle(req, res).catch((err) => {
      if (res.headersSent || res.destroyed) {
        res.destroy();
        return;
      }
      const status = err instanceof HttpError ? err.status : 500;
      if (status === 400 || status === 414 || status === 431) res.setHeader('Connection', 'close'); // a client that sends such things is not kept
      sendJson(res, status, { error: err instanceof HttpError ? err.code : 'internal' }, req.method);
    });
  }

  // A request is handled only once its answer owns the socket: a pipelined request waiting
  // behind others holds nothing (no file, no walk), and goes with the socket if it closes first.
  // A connection that queues more than MAX_QUEUED is closed.
  function onRequest(req, res) {
    if (res.socket) {
      answer(req, res);
      return;
    }
    const socket = req.socket;
    socket.deckQueued = (socket.deckQueued ?? 0) + 1;
    if (socket.deckQueued > MAX_QUEUED) {
      socket.destroy();
      return;
    }
    res.once('socket', () => {
      socket.deckQueued--;
      answer(req, res);
    });
  }

  function listenOn(host, p) {
    return new Promise((resolve, reject) => {
      const server = http.createServer({
        maxHeaderSize: 4 * MAX_HEADERS,
        headersTimeout: times.headers,
        requestTimeout: times.headers,
        keepAliveTimeout: times.idle,
        connectionsCheckingInterval: times.check,
      }, onRequest);
      server.timeout = times.stall;
      if (peerCheck) {
        // New sockets stay unread until their peer is known; http's own handling comes after.
        server.pauseOnConnect = true;
        const [httpConnection] = server.listeners('connection');
        server.removeAllListeners('connection');
        gate ??= new PeerGate((socket) => {
          httpConnection.call(socket.server, socket);
          socket.resume();
        });
        server.on('connection', (socket) => gate.add(socket));
      }
      server.on('clientError', (err, socket) => {
        // Past the parser's own limit the head has run over on one line of it, or over many. The
        // parser shows only its last read: a line without a break or a space up to the overflow is
        // taken for the target (a single header line as long, with no space in it, is taken alike).
        const upTo = err.rawPacket?.toString('latin1', 0, err.bytesParsed ?? err.rawPacket.length);
        const firstLine = upTo !== undefined && /^([A-Z]+ \/)?[^\s]*$/.test(upTo);
        const status = err.code === 'ERR_HTTP_REQUEST_TIMEOUT' ? '408 Request Timeout'
          : err.code !== 'HPE_HEADER_OVERFLOW' ? '400 Bad Request'
          : firstLine ? '414 URI Too Long' : '431 Request Header Fields Too Large';
        if (socket.writable) socket.end(`HTTP/1.1 ${status}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
        socket.destroy();
      });
      server.once('error', reject);
      server.listen({ host, port: p, exclusive: true }, () => {
        server.off('error', reject);
        resolve(server);
      });
    });
  }

  async function start() {
    // Port 0 (tests) picks a free port on 127.0.0.1 and then claims the same on ::1.
    for (let attempt = 0; attempt < 10; attempt++) {
      const v4 = await listenOn('127.0.0.1', port);
      boundPort = v4.address().port;
      try {
        const v6 = await listenOn('::1', boundPort);
        servers.push(v4, v6);
        return { port: boundPort };
      } catch (err) {
        if (err.code === 'EADDRINUSE' && port === 0) {
          await new Promise((r) => v4.close(r));
          continue;
        }
        if (err.code === 'EADDRINUSE') {
          v4.close();
          throw err;
        }
        servers.push(v4); // no IPv6 loopback on this machine
        return { port: boundPort };
      }
    }
    throw new Error('no free port');
  }

  async function close() {
    walkers.close();
    gate?.close();
    gate = null;
    for (const s of openStreams) s.destroy();
    await Promise.all(
      servers.map(
        (s) =>
          new Promise((resolve) => {
            s.close(() => resolve());
            s.closeAllConnections();
          }),
      ),
    );
    servers.length = 0;
  }

  return {
    start,
    close,
    openStreams,
    get port() {
      return boundPort;
    },
    get addresses() {
      return servers.map((s) => s.address().address);
    },
  };
}

function sendBody(res, status, body, method) {
  res.writeHead(status, {
    'Content-Type': 'application/json; charset=utf-8',
    'Content-Length': body.length,
    'Cache-Control': 'no-store',
  });
  res.end(method === 'HEAD' ? undefined : body);
}

// PORT as the shell gives it: decimal 1-65535 and nothing else.
function portFromEnvironment(text) {
  if (text === undefined) return 4177;
  const n = /^[0-9]{1,5}$/.test(text) ? Number(text) : NaN;
  return n >= 1 && n <= 65535 ? n : null;
}

module.exports = { createDeckServer };

if (!isMainThread && workerData?.deckWalker) {
  walkerMain();
} else if (!isMainThread && workerData?.deckPeers) {
  peerWorkerMain();
} else if (require.main === module) {
  const port = portFromEnvironment(process.env.PORT);
  if (port === null) {
    process.stderr.write(`jaunvel deck server: PORT ${JSON.stringify(process.env.PORT)} は使えません。1〜65535 の10進数で指定してください。\n`);
    process.exit(2);
  }
  const deck = createDeckServer({ port });
  deck.start().then(({ port: bound }) => {
    if (process.send) process.send({ ready: bound }); // only when a parent asked for an IPC channel
  }, (err) => {
    process.stderr.write(`jaunvel deck server: 起動できません（${err.code ?? err.message}）。\n`);
    process.exit(1);
  });
  let stopping = false;
  const stop = () => {
    if (stopping) return;
    stopping = true;
    setTimeout(() => process.exit(0), 1000).unref();
    deck.close().then(() => process.exit(0));
  };
  for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) process.on(signal, stop);
}
