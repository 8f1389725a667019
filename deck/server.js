'use strict';
// The deck's local server: serves the page from ./public and, for the page only,
// lists folders of audio files and streams those files with HTTP ranges.
// Node built-ins only; started by the shell as `node server.js` with PORT set.
// It listens on loopback only and answers only to localhost Host names.

const http = require('node:http');
const fs = require('node:fs');
const fsp = require('node:fs/promises');
const path = require('node:path');
const { EventEmitter } = require('node:events');

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

async function requireAbsoluteDir(dir) {
  if (!dir || !path.isAbsolute(dir)) throw new HttpError(400, 'not-absolute');
  let st;
  try {
    st = await fsp.stat(dir);
  } catch {
    throw new HttpError(404, 'not-found');
  }
  if (!st.isDirectory()) throw new HttpError(400, 'not-a-directory');
}

// Lists audio files under dir: files of a folder come in natural order before its
// sub-folders' files. Sub-folders (one level) are reported so the page can lay out pages.
async function listFolder(dir, { recursive = false, depth = DEFAULT_DEPTH } = {}) {
  await requireAbsoluteDir(dir);
  const files = [];
  const dirs = [];
  let truncated = false;

  async function walk(abs, rel, level) {
    let entries;
    try {
      entries = await fsp.readdir(abs, { withFileTypes: true });
    } catch {
      return; // unreadable sub-folder: skip it
    }
    const here = [];
    const subdirs = [];
    for (const e of entries) {
      if (isHiddenName(e.name)) continue;
      let isFile = e.isFile();
      let isDir = e.isDirectory();
      if (e.isSymbolicLink()) {
        try {
          const st = await fsp.stat(path.join(abs, e.name));
          isFile = st.isFile();
          isDir = false; // never follow linked folders: no loops
        } catch {
          continue;
        }
      }
      if (isFile && isAudioName(e.name)) here.push(e.name);
      else if (isDir) subdirs.push(e.name);
    }
    here.sort(naturalCompare);
    subdirs.sort(naturalCompare);
    for (const name of here) {
      if (files.length >= MAX_LISTED) {
        truncated = true;
        return;
      }
      const r = rel ? `${rel}/${name}` : name;
      files.push({ name, path: path.join(abs, name), rel: r });
    }
    if (level === 0) for (const name of subdirs) dirs.push({ name, path: path.join(abs, name) });
    if (recursive && level < depth) {
      for (const name of subdirs) await walk(path.join(abs, name), rel ? `${rel}/${name}` : name, level + 1);
    }
  }

  await walk(dir, '', 0);
  return { dir, files, dirs, truncated };
}

// --- file serving ------------------------------------------------------------

// The real path and the status of a file. These two, and opening the file, are synchronous: each
// is a few microseconds against a round trip through the thread pool of 50-150 on a busy machine,
// and a file system that hangs would soon hold all four pool threads anyway. Reads stay
// asynchronous: they are the long part.
function realAndStat(file) {
  try {
    const real = fs.realpathSync.native(file);
    return { real, st: fs.statSync(real) };
  } catch {
    throw new HttpError(404, 'not-found');
  }
}

// Resolves a requested audio path to a real, regular audio file or throws.
function resolveAudio(requested) {
  if (!requested || !path.isAbsolute(requested)) throw new HttpError(400, 'not-absolute');
  if (!isAudioName(requested)) throw new HttpError(403, 'not-audio');
  const { real, st } = realAndStat(requested);
  if (!isAudioName(real) || isHiddenName(path.basename(real))) throw new HttpError(403, 'not-audio');
  if (!st.isFile()) throw new HttpError(403, 'not-a-file');
  return { real, st, type: AUDIO_TYPES[path.extname(real).toLowerCase()] };
}

// Resolves a page asset inside root; symlinks may not lead out of it.
function resolveAsset(root, pathname) {
  const rel = pathname === '/' ? 'index.html' : pathname.slice(1);
  if (rel.split('/').some((seg) => seg === '..' || seg.startsWith('.')) || rel.includes('\\')) {
    throw new HttpError(404, 'not-found');
  }
  const type = ASSET_TYPES[path.extname(rel).toLowerCase()];
  if (!type) throw new HttpError(404, 'not-found');
  const { real, st } = realAndStat(path.join(root, rel));
  if (!real.startsWith(root + path.sep) || !st.isFile()) throw new HttpError(404, 'not-found');
  return { real, st, type };
}

const etagOf = (st) => `W/"${st.size.toString(16)}-${Math.floor(st.mtimeMs).toString(16)}"`;

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

function sendFile(req, res, { real, st, type }, senders) {
  const etag = etagOf(st);
  const headers = {
    'Content-Type': type,
    'Accept-Ranges': 'bytes',
    'Cache-Control': 'no-cache',
    ETag: etag,
    'Last-Modified': st.mtime.toUTCString(),
  };
  const inm = req.headers['if-none-match'];
  if (inm && inm.split(',').some((t) => t.trim() === etag || t.trim() === '*')) {
    res.writeHead(304, headers);
    res.end();
    return;
  }
  const size = st.size;
  let range = parseRange(req.headers.range, size);
  const ifRange = req.headers['if-range'];
  if (range && ifRange && ifRange !== etag) range = null;
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
  if (req.method === 'HEAD' || size === 0) {
    res.writeHead(status, headers);
    res.end();
    return;
  }
  if (req.socket.destroyed) return; // the client is gone already: no file to open
  const fd = openSame(real, st);
  res.writeHead(status, headers);
  new FileSender(fd, start, end, res, senders).read();
}

// Opens the file that was checked, or throws if it has been replaced since. Non-blocking, so
// that a fifo put in its place cannot hold the open (nor, later, a read).
function openSame(real, st) {
  let fd;
  try {
    fd = fs.openSync(real, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  } catch {
    throw new HttpError(404, 'not-found');
  }
  const now = fs.fstatSync(fd);
  if (now.ino !== st.ino || now.dev !== st.dev || !now.isFile()) {
    fs.closeSync(fd);
    throw new HttpError(404, 'not-found');
  }
  return fd;
}

function sendJson(res, status, value, method) {
  const body = Buffer.from(JSON.stringify(value));
  res.writeHead(status, {
    'Content-Type': 'application/json; charset=utf-8',
    'Content-Length': body.length,
    'Cache-Control': 'no-store',
  });
  res.end(method === 'HEAD' ? undefined : body);
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

// --- the server --------------------------------------------------------------

function createDeckServer({ port = 4177, root = path.join(__dirname, 'public') } = {}) {
  const openStreams = new Set();
  const servers = [];
  let boundPort = port;
  const publicRoot = fs.realpathSync(root);

  async function handle(req, res) {
    for (const [k, v] of Object.entries(SECURITY_HEADERS)) res.setHeader(k, v);
    if (!hostAllowed(req.headers.host, boundPort)) throw new HttpError(403, 'host');
    // The page's own requests are same-origin and the shell's loads are "none": another site,
    // even another port of localhost (same-site), has no business here.
    const site = req.headers['sec-fetch-site'];
    if (site !== undefined && !FETCH_SITES_ALLOWED.has(site.toLowerCase())) throw new HttpError(403, 'cross-site');
    if (req.method !== 'GET' && req.method !== 'HEAD') {
      res.setHeader('Allow', 'GET, HEAD');
      throw new HttpError(405, 'method');
    }
    const { pathname, query } = parseTarget(req.url);
    if (pathname === '/api/list') {
      const recursive = query.get('recursive') === '1';
      const d = Number.parseInt(query.get('depth') ?? '', 10);
      const depth = Number.isFinite(d) ? Math.max(0, Math.min(MAX_DEPTH, d)) : DEFAULT_DEPTH;
      const listing = await listFolder(query.get('dir'), { recursive, depth });
      sendJson(res, 200, listing, req.method);
    } else if (pathname === '/media') {
      sendFile(req, res, resolveAudio(query.get('path')), openStreams);
    } else {
      sendFile(req, res, resolveAsset(publicRoot, pathname), openStreams);
    }
  }

  function onRequest(req, res) {
    handle(req, res).catch((err) => {
      if (res.headersSent) {
        res.destroy();
        return;
      }
      const status = err instanceof HttpError ? err.status : 500;
      sendJson(res, status, { error: err instanceof HttpError ? err.code : 'internal' }, req.method);
    });
  }

  function listenOn(host, p) {
    return new Promise((resolve, reject) => {
      const server = http.createServer(onRequest);
      server.on('clientError', (err, socket) => {
        const status = err.code === 'HPE_HEADER_OVERFLOW' ? '431 Request Header Fields Too Large' : '400 Bad Request';
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

module.exports = { createDeckServer };

if (require.main === module) {
  const envPort = Number.parseInt(process.env.PORT ?? '', 10);
  const deck = createDeckServer({ port: Number.isInteger(envPort) && envPort >= 0 && envPort < 65536 ? envPort : 4177 });
  deck.start().then(({ port }) => {
    if (process.send) process.send({ ready: port }); // only when a parent asked for an IPC channel
  }, (err) => {
    process.stderr.write(`jaunvel deck server: ${err.message}\n`);
    process.exit(1);
  });
  const stop = () => {
    setTimeout(() => process.exit(0), 1000).unref();
    deck.close().then(() => process.exit(0));
  };
  process.once('SIGTERM', stop);
  process.once('SIGINT', stop);
}
