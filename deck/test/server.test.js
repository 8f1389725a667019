'use strict';
// The deck server run as the shell runs it (a child `node server.js` with PORT set), from ranges
// to hostile traffic, ending with SIGTERM; and in this process, where it listens and its page root.
const { test, describe, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const http = require('node:http');
const { once } = require('node:events');
const { spawnSync } = require('node:child_process');
const { createDeckServer } = require('../server.js');
const { writeTree } = require('./helpers/wav.js');
const { storm } = require('./helpers/storm.js');
const { media, fdCount, rssMiB, startServerProcess, request, rawRequest, fdsBackTo } = require('./helpers/deck-process.js');

describe('deck server process', () => {
  const SIZE = 8 * 1024 * 1024;
  const bytes = Buffer.from(Array.from({ length: 1000 }, (_, i) => i % 251));
  const quoted = '開会 「テーマ」 \'曲\' "x".wav';
  let dir, big, child, port, server;
  const at = (name) => media(path.join(dir, name));
  const get = (target, options) => request(port, target, options);

  before(async () => {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-server-'));
    big = path.join(dir, 'big.wav');
    writeTree(dir, {
      'data.wav': bytes, 'empty.wav': Buffer.alloc(0), 'big.wav': Buffer.alloc(SIZE, 5), 'secret.txt': 'top secret', [`show/${quoted}`]: 'x',
      'show/track10.mp3': 'x', 'show/track2.mp3': 'x', 'show/Track1.MP3': 'x', 'show/notes.txt': 'x', 'show/.hidden.wav': 'x', 'show/._track3.mp3': 'x',
      'show/.git/x.wav': 'x', 'show/bgm/a.flac': 'x', 'show/bgm/deep/one/two/three.ogg': 'x', 'show/1/2/3/4/5/6/7/8/eight.wav': 'x', 'show/1/2/3/4/5/6/7/8/9/nine.wav': 'x',
    });
    fs.mkdirSync(path.join(dir, 'folder.wav'));
    for (const [name, to] of Object.entries({ 'link.wav': 'secret.txt', 'alias.mp3': 'data.wav', 'zero.wav': '/dev/zero', 'etc.mp3': '/etc' })) fs.symlinkSync(path.resolve(dir, to), path.join(dir, name));
    assert.equal(spawnSync('mkfifo', [path.join(dir, 'fifo.wav')]).status, 0);
    spawnSync('mknod', [path.join(dir, 'device.wav'), 'c', '1', '5']); // a /dev/zero of our own, where allowed

    server = await startServerProcess();
    ({ child, port } = server);
  });

  after(() => {
    if (child.exitCode === null) child.kill('SIGKILL');
    fs.rmSync(dir, { recursive: true, force: true });
  });

  test('byte ranges, HEAD, an empty file, ETag revalidation, types; many chunks byte for byte, side by side', async () => {
    const size = bytes.length;
    // [Range, status, first byte, last byte, method, file]; ranges the server must ignore get the whole file
    const cases = [
      [undefined, 200], ['bytes=0-99', 206, 0, 99], ['bytes=100-', 206, 100], ['bytes=-100', 206, 900], ['bytes=-5000', 206],
      ['bytes=990-5000', 206, 990], ['bytes=999-999', 206, 999, 999], ['bytes=1000-', 416], ['bytes=-0', 416],
      ['bytes=5-2', 200], ['bytes=0-1,5-6', 200], ['items=0-5', 200], ['bytes=abc', 200],
      ['bytes=10-19', 206, 10, 19, 'HEAD'], [undefined, 200, 0, -1, 'GET', 'empty.wav'], ['bytes=0-', 416, 0, -1, 'GET', 'empty.wav'],
      ['bytes=-5', 416, 0, -1, 'GET', 'empty.wav'],
    ];
    for (const [range, status, start = 0, end = size - 1, method = 'GET', name = 'data.wav'] of cases) {
      const res = await get(at(name), { method, headers: range ? { range } : {} });
      const total = name === 'data.wav' ? size : 0;
      assert.deepEqual([res.status, res.headers['accept-ranges'], res.headers['content-range'], Number(res.headers['content-length']), res.body], [status, 'bytes',
        { 206: `bytes ${start}-${end}/${total}`, 416: `bytes */${total}` }[status], status === 416 ? 0 : end - start + 1, method === 'HEAD' || status === 416 ? Buffer.alloc(0) : bytes.subarray(start, end + 1)], `${method} ${name} ${range}`);
    }
    const { headers } = await get(at('data.wav'));
    assert.equal(headers['cache-control'], 'no-cache');
    const revalidated = [{ 'if-none-match': headers.etag }, { range: 'bytes=0-9', 'if-range': 'W/"old"' }, { range: 'bytes=0-9', 'if-range': headers.etag }];
    assert.deepEqual(await Promise.all(revalidated.map(async (h) => (await get(at('data.wav'), { headers: h })).status)), [304, 200, 206]);
    for (const [file, type] of [['show/Track1.MP3', 'audio/mpeg'], ['show/bgm/a.flac', 'audio/flac'], [`show/${quoted}`, 'audio/wav']]) {
      assert.equal((await get(at(file), { method: 'HEAD' })).headers['content-type'], type, file);
    }
    // Files of many chunks arrive byte for byte, also side by side: chunk buffers are reused between answers.
    const many = Buffer.alloc(3 * 1024 * 1024 + 12345);
    for (let i = 0, x = 1; i < many.length; i++) many[i] = (x = (x * 1103515245 + 12345) >>> 0) >>> 24;
    fs.writeFileSync(path.join(dir, 'chunks.wav'), many);
    const n = many.length;
    const ranges = [[0, n - 1], [1, n - 1], [65535, 65536 + 524288], [1048576, 2097151], [n - 1048577, n - 1], [123, 123 + 1048575], [n - 70000, n - 1], [524287, 1572865]];
    const answers = await Promise.all(ranges.map(([a, b]) => get(at('chunks.wav'), { headers: { range: `bytes=${a}-${b}` } })));
    answers.forEach((res, i) => assert.ok(res.status === 206 && res.body.equals(many.subarray(ranges[i][0], ranges[i][1] + 1)), `bytes ${ranges[i]}`));
  });

  test('listing: audio files in natural order, no hidden or AppleDouble files, depth within its cap', async () => {
    const list = async (sub, more = '') => {
      const res = await get(`/api/list?dir=${encodeURIComponent(path.join(dir, sub))}${more}`);
      return { status: res.status, json: JSON.parse(res.body) };
    };
    const { status, json } = await list('show');
    assert.deepEqual([status, json.files.map((f) => f.name), json.dirs.map((d) => d.name), json.files[0].path],
      [200, ['Track1.MP3', 'track2.mp3', 'track10.mp3', quoted], ['1', 'bgm'], path.join(dir, 'show', 'Track1.MP3')]);
    const nested = async (depth) => (await list('show', `&recursive=1&depth=${depth}`)).json.files.map((f) => f.rel).filter((r) => r.includes('/'));
    assert.deepEqual(await nested(1), ['bgm/a.flac']);
    assert.deepEqual(await nested(4), ['bgm/a.flac', 'bgm/deep/one/two/three.ogg']);
    assert.deepEqual(await nested(99), ['1/2/3/4/5/6/7/8/eight.wav', 'bgm/a.flac', 'bgm/deep/one/two/three.ogg']);
    assert.deepEqual([(await get('/api/list?dir=relative/path')).status, (await list('missing')).status, (await list('data.wav')).status], [400, 404, 400]);
  });

  // A request for a big file, kept alive as a browser's, that has had its first bytes; the errors of being cut short ignored.
  async function streaming(file) {
    const req = http.request({ host: '127.0.0.1', port, path: media(file), headers: { host: `localhost:${port}`, connection: 'keep-alive' }, agent: false });
    req.on('error', () => {}).end();
    const [res] = await once(req, 'response');
    await once(res.on('error', () => {}), 'data');
    return { res, closed: new Promise((r) => res.on('close', r)) };
  }

  test('a file that shrinks while it is sent: the answer is cut short, not merely ended, and the file closed', { timeout: 10000 }, async () => {
    const file = path.join(dir, 'shrinking.wav');
    fs.copyFileSync(big, file);
    const fds = fdCount(child.pid);
    const { res, closed } = await streaming(file);
    const cutAt = Date.now();
    fs.truncateSync(file, 1024);
    await closed; // a short answer merely ended would keep the client waiting until the keep-alive timeout (5 s)
    assert.ok(!res.complete && Date.now() - cutAt < 2000, `closed after ${Date.now() - cutAt} ms`);
    assert.equal(await fdsBackTo(child.pid, fds), fds);
  });

  test('1,000 concurrent range requests, most abandoned mid-way, leave no descriptor open and memory flat', { timeout: 60000 }, async () => {
    // Warming up grows the heap and the allocator's arenas to their working size (~50 to ~200 MiB).
    const fds = fdCount(child.pid);
    for (const seed of [11, 12]) assert.equal((await storm({ port, target: media(big), size: SIZE, seed })).sent, 1000);
    assert.equal(await fdsBackTo(child.pid, fds), fds, 'descriptors after warming up');
    const rss = rssMiB(child.pid);
    for (const seed of [13, 14]) {
      const tally = await storm({ port, target: media(big), size: SIZE, seed });
      assert.ok(tally.sent === 1000 && tally.aborted > 500 && tally.complete > 100 && Object.keys(tally.statuses).join() === '206', JSON.stringify(tally));
      assert.equal(await fdsBackTo(child.pid, fds), fds, `descriptors after storm ${seed}`);
    }
    // Warm, RSS moves by up to ~30 MiB a storm; keeping a 64 KiB chunk per request would add 128 MiB.
    const grown = rssMiB(child.pid) - rss;
    assert.ok(grown < 64, `RSS grew ${grown.toFixed(1)} MiB over 2,000 requests (tolerance 64 MiB)`);
  });

  test('only loopback Host names of this port, same-origin fetches, GET and HEAD are answered, however sent; never a CORS header', async () => {
    for (const host of ['localhost', '127.0.0.1', '[::1]', 'LOCALHOST']) assert.equal((await get('/', { headers: { host: `${host}:${port}` } })).status, 200, host);
    const foreign = ['evil.example', `localhost.evil.com:${port}`, `127.0.0.1.nip.io:${port}`, `evil.localhost:${port}`, `localhost:${port}.evil.com`,
      `user@localhost:${port}`, 'localhost', `localhost:${port + 1}`, `0.0.0.0:${port}`, `127.1:${port}`, `0x7f000001:${port}`, `[::ffff:127.0.0.1]:${port}`];
    for (const host of foreign) {
      const res = await get(at('data.wav'), { headers: { host } });
      assert.ok(res.status === 403 && res.body.length < 100, `${JSON.stringify(host)}: ${res.status}`);
    }
    // Fetch metadata when the browser sends it, and the Origin in any case (a browser without fetch metadata, a proxy that strips it).
    const own = `http://localhost:${port}`;
    const sent = [[{ 'sec-fetch-site': 'cross-site' }, 403], [{ 'sec-fetch-site': 'SAME-SITE' }, 403], [{ 'sec-fetch-site': 'whatever' }, 403],
      [{ 'sec-fetch-site': 'same-origin', origin: own }, 206], [{ 'sec-fetch-site': 'none' }, 206], [{ origin: 'http://evil.example' }, 403], [{ origin: 'null' }, 403],
      [{ origin: `http://localhost:${port + 1}` }, 403], [{ origin: `http://127.0.0.1:${port}` }, 403], [{ 'sec-fetch-site': 'same-origin', origin: 'http://evil.example' }, 403], [{ origin: own }, 206]];
    for (const [headers, expected] of sent) {
      const res = await get(at('data.wav'), { headers: { ...headers, range: 'bytes=0-0' } });
      assert.ok(res.status === expected && !Object.keys(res.headers).some((h) => h.startsWith('access-control-')), JSON.stringify(headers));
    }
    for (const method of ['OPTIONS', 'POST', 'DELETE']) assert.equal((await get('/', { method })).status, 405, method);
    // What an HTTP client would refuse to send: no, empty or two Hosts, nonsense, absolute form, oversized headers and targets.
    const host = `Host: localhost:${port}\r\n`;
    const raw = [['GET / HTTP/1.0\r\n\r\n', '403'], ['GET / HTTP/1.1\r\nHost: \r\nConnection: close\r\n\r\n', '403'], ['NONSENSE\r\n\r\n', '400'],
      [`GET / HTTP/1.1\r\nHost: evil.example\r\n${host}Connection: close\r\n\r\n`, '4\\d\\d'], [`GET http://evil/ HTTP/1.1\r\n${host}Connection: close\r\n\r\n`, '400'],
      [`GET / HTTP/1.1\r\n${host}${host}Connection: close\r\n\r\n`, '400'], [`GET / HTTP/1.1\r\n${host}X: ${'a'.repeat(20000)}\r\n\r\n`, '431'],
      [`GET /${'a'.repeat(20000)} HTTP/1.1\r\n${host}\r\n`, '414'], [`GET /${'a'.repeat(70000)} HTTP/1.1\r\n${host}\r\n`, '414'], [`GET / HTTP/1.1\r\n${host}X: ${'a'.repeat(70000)}\r\n\r\n`, '431']];
    for (const [text, status] of raw) assert.match(await rawRequest(port, text), new RegExp(`^HTTP/1\\.1 ${status}`), JSON.stringify(text.slice(0, 60)));
  });

  test('traversal in any encoding, links out, special and non-audio files are refused, for media and page assets', async () => {
    const e = encodeURIComponent;
    const refused = {
      // names without an audio extension, however they are reached; audio names standing for text, a folder, a device, a fifo; hidden files
      403: [media('/etc/passwd'), media(`${dir}/show/../secret.txt`), `/media?path=${e(dir)}%2f..%2f..%2fetc%2fpasswd`, at('link.wav'), at('etc.mp3'),
        at('zero.wav'), at('fifo.wav'), at('folder.wav'), at('show/.hidden.wav'), ...(fs.existsSync(path.join(dir, 'device.wav')) ? [at('device.wav')] : [])],
      // double-encoded: once decoded, not absolute; NUL; overlong UTF-8 for "."; malformed %; relative or no path
      400: ['/media?path=%252Fetc%252Fpasswd', `/media?path=${e(big)}%00.txt`, `/media?path=${e(dir)}%2F%c0%ae%c0%ae%2Fsecret.txt`, '/media?path=%E0%A4%A',
        media('relative/data.wav'), '/media', '/api/list?dir=%00', '/index.html%00.js', '/%c0%ae%c0%ae/server.js'],
      // a double-encoded ".." or a backslash is part of a name here
      404: [`/media?path=${e(dir)}%252f..%252fdata.wav`, media(`${dir}\\..\\data.wav`), at('nothing.wav'), '/../server.js', '/%2e%2e/server.js',
        '/..%2fserver.js', '/%5c..%5cserver.js', '//etc/passwd'],
    };
    for (const [status, targets] of Object.entries(refused)) {
      for (const target of targets) {
        const res = await get(target);
        assert.ok(res.status === Number(status) && !/top secret|root:|createDeckServer/.test(res.body), `${target}: ${res.status}`);
      }
    }
    for (const allowed of [`${dir}/show/../data.wav`, path.join(dir, 'alias.mp3')]) assert.equal((await get(media(allowed))).status, 200, allowed);
  });

  test('SIGTERM mid-stream: exits 0 at once, having printed nothing all along', { timeout: 10000 }, async () => {
    await streaming(big);
    const started = Date.now();
    child.kill('SIGTERM');
    assert.deepEqual(await once(child, 'exit'), [0, null]);
    assert.ok(Date.now() - started < 1500, 'exits promptly');
    assert.equal(server.output, '', 'prints nothing');
  });
});

test('in process: listens on loopback only, serves the page, and no link leads out of the page folder', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-root-'));
  const root = path.join(dir, 'public');
  writeTree(dir, { 'secret.js': 'top secret', 'public/index.html': '<html>', 'public/app.js': 'ok', 'public/.hidden.js': 'x' });
  fs.symlinkSync(path.join(dir, 'secret.js'), path.join(root, 'leak.js'));
  fs.symlinkSync(path.join(root, 'app.js'), path.join(root, 'same.js'));
  const deck = createDeckServer({ port: 0, root });
  const { port } = await deck.start();
  try {
    assert.ok(deck.addresses.length >= 1 && deck.addresses.every((a) => a === '127.0.0.1' || a === '::1'), deck.addresses.join());
    for (const host of deck.addresses) assert.match((await request(port, '/', { host })).headers['content-type'], /^text\/html/, host);
    assert.deepEqual(await Promise.all(['/leak.js', '/.hidden.js', '/same.js'].map(async (p) => (await request(port, p)).status)), [404, 404, 200]);
  } finally {
    await deck.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
