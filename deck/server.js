'use strict';
// The deck's local server: serves the page from ./public and, for the page only,
// lists folders of audio files and streams those files with HTTP ranges.
// Node built-ins only; started by the shell as `node server.js` with PORT set.
// It listens on loopback only and answers only to localhost Host names.

const http = require('node:http');
const fs = require('node:fs');
const fsp = require('node:fs/promises');
const path = require('node:path');

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

// Resolves a requested audio path to a real, regular audio file or throws.
async function resolveAudio(requested) {
  if (!requested || !path.isAbsolute(requested)) throw new HttpError(400, 'not-absolute');
  let real;
  try {
    real = await fsp.realpath(requested);
  } catch {
    throw new HttpError(404, 'not-found');
  }
  if (!isAudioName(requested) || !isAudioName(real) || isHiddenName(path.basename(real))) {
    throw new HttpError(403, 'not-audio');
  }
  const st = await fsp.stat(real);
  if (!st.isFile()) throw new HttpError(403, 'not-a-file');
  return { real, st, type: AUDIO_TYPES[path.extname(real).toLowerCase()] };
}

// Resolves a page asset inside root; symlinks may not lead out of it.
async function resolveAsset(root, pathname) {
  const rel = pathname === '/' ? 'index.html' : pathname.slice(1);
  if (rel.split('/').some((seg) => seg === '..' || seg.startsWith('.')) || rel.includes('\\')) {
    throw new HttpError(404, 'not-found');
  }
  const type = ASSET_TYPES[path.extname(rel).toLowerCase()];
  if (!type) throw new HttpError(404, 'not-found');
  let real;
  try {
    real = await fsp.realpath(path.join(root, rel));
  } catch {
    throw new HttpError(404, 'not-found');
  }
  if (!real.startsWith(root + path.sep)) throw new HttpError(404, 'not-found');
  const st = await fsp.stat(real);
  if (!st.isFile()) throw new HttpError(404, 'not-found');
  return { real, st, type };
}

const etagOf = (st) => `W/"${st.size.toString(16)}-${Math.floor(st.mtimeMs).toString(16)}"`;

function sendFile(req, res, { real, st, type }, openStreams) {
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
  res.writeHead(status, headers);
  if (req.method === 'HEAD' || size === 0) {
    res.end();
    return;
  }
  const stream = fs.createReadStream(real, { start, end, highWaterMark: 256 * 1024 });
  openStreams.add(stream);
  stream.on('close', () => openStreams.delete(stream));
  // If the client goes away mid-stream, close the file at once.
  res.on('close', () => {
    if (!stream.destroyed) stream.destroy();
  });
  stream.on('error', () => res.destroy());
  stream.pipe(res);
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

const SECURITY_HEADERS = {
  'X-Content-Type-Options': 'nosniff',
  'Referrer-Policy': 'no-referrer',
  'X-Frame-Options': 'DENY',
  'Cross-Origin-Resource-Policy': 'same-origin',
  'Content-Security-Policy':
    "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; " +
    "media-src 'self' blob:; connect-src 'self'; object-src 'none'; frame-ancestors 'none'; base-uri 'none'",
};

// --- the server --------------------------------------------------------------

function createDeckServer({ port = 4177, root = path.join(__dirname, 'public') } = {}) {
  const openStreams = new Set();
  const servers = [];
  let boundPort = port;
  const publicRoot = fs.realpathSync(root);

  async function handle(req, res) {
    for (const [k, v] of Object.entries(SECURITY_HEADERS)) res.setHeader(k, v);
    if (!hostAllowed(req.headers.host, boundPort)) throw new HttpError(403, 'host');
    if (String(req.headers['sec-fetch-site'] || '').toLowerCase() === 'cross-site') {
      throw new HttpError(403, 'cross-site');
    }
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
      sendFile(req, res, await resolveAudio(query.get('path')), openStreams);
    } else {
      sendFile(req, res, await resolveAsset(publicRoot, pathname), openStreams);
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
      server.on('clientError', (_err, socket) => {
        if (socket.writable) socket.end('HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n');
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
