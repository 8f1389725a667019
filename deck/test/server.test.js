'use strict';
const { test, describe, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const http = require('node:http');
const net = require('node:net');
const { once } = require('node:events');
const { spawn } = require('node:child_process');
const { createDeckServer } = require('../server.js');
const { sineWav, writeTree } = require('./helpers/wav.js');
const { request } = require('./helpers/http.js');

const SERVER_JS = path.join(__dirname, '..', 'server.js');

const media = (p) => `/media?path=${encodeURIComponent(p)}`;

describe('deck server', () => {
  let dir;
  let deck;
  let port;
  const bytes = Buffer.from(Array.from({ length: 1000 }, (_, i) => i % 251));

  before(async () => {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-server-'));
    writeTree(dir, {
      'data.wav': bytes,
      'empty.wav': Buffer.alloc(0),
      'show/track10.mp3': 'x',
      'show/track2.mp3': 'x',
      'show/Track1.MP3': 'x',
      'show/notes.txt': 'x',
      'show/.hidden.wav': 'x',
      'show/._track3.mp3': 'x',
      'show/開会 「テーマ」 \'曲\' "x".wav': 'x',
      'show/bgm/a.flac': 'x',
      'show/bgm/deep/one/two/three.ogg': 'x',
      'show/.git/x.wav': 'x',
    });
    for (const ext of ['mp3', 'm4a', 'wav', 'aac', 'flac', 'aiff', 'aif', 'ogg', 'opus']) {
      fs.writeFileSync(path.join(dir, `t.${ext}`), 'x');
    }
    deck = createDeckServer({ port: 0 });
    ({ port } = await deck.start());
  });

  after(async () => {
    await deck.close();
    fs.rmSync(dir, { recursive: true, force: true });
  });

  test('serves the page at the root path on loopback addresses only', async () => {
    assert.ok(deck.addresses.length >= 1);
    for (const host of deck.addresses) {
      assert.ok(host === '127.0.0.1' || host === '::1', host);
      const res = await request(port, '/', { host });
      assert.equal(res.status, 200);
      assert.match(res.headers['content-type'], /^text\/html/);
    }
  });

  describe('ranges', () => {
    const size = bytes.length;
    const cases = [
      { name: 'no range', range: undefined, status: 200, start: 0, end: size - 1 },
      { name: 'first bytes', range: 'bytes=0-99', status: 206, start: 0, end: 99 },
      { name: 'open range', range: 'bytes=100-', status: 206, start: 100, end: size - 1 },
      { name: 'suffix', range: 'bytes=-100', status: 206, start: size - 100, end: size - 1 },
      { name: 'suffix longer than file', range: 'bytes=-5000', status: 206, start: 0, end: size - 1 },
      { name: 'end past the file', range: 'bytes=990-5000', status: 206, start: 990, end: size - 1 },
      { name: 'last byte', range: 'bytes=999-999', status: 206, start: 999, end: 999 },
      { name: 'start past the end', range: 'bytes=1000-', status: 416 },
      { name: 'empty suffix', range: 'bytes=-0', status: 416 },
      { name: 'reversed (ignored)', range: 'bytes=5-2', status: 200, start: 0, end: size - 1 },
      { name: 'several ranges (ignored)', range: 'bytes=0-1,5-6', status: 200, start: 0, end: size - 1 },
      { name: 'other unit (ignored)', range: 'items=0-5', status: 200, start: 0, end: size - 1 },
      { name: 'garbage (ignored)', range: 'bytes=abc', status: 200, start: 0, end: size - 1 },
    ];
    for (const c of cases) {
      test(c.name, async () => {
        const res = await request(port, media(path.join(dir, 'data.wav')), {
          headers: c.range ? { range: c.range } : {},
        });
        assert.equal(res.status, c.status);
        assert.equal(res.headers['accept-ranges'], 'bytes');
        if (c.status === 416) {
          assert.equal(res.headers['content-range'], `bytes */${size}`);
          assert.equal(res.body.length, 0);
          return;
        }
        assert.equal(Number(res.headers['content-length']), c.end - c.start + 1);
        assert.deepEqual(res.body, bytes.subarray(c.start, c.end + 1));
        if (c.status === 206) assert.equal(res.headers['content-range'], `bytes ${c.start}-${c.end}/${size}`);
        else assert.equal(res.headers['content-range'], undefined);
      });
    }

    test('HEAD gives the headers of GET and no body', async () => {
      const res = await request(port, media(path.join(dir, 'data.wav')), { method: 'HEAD', headers: { range: 'bytes=10-19' } });
      assert.equal(res.status, 206);
      assert.equal(res.headers['content-length'], '10');
      assert.equal(res.headers['content-range'], `bytes 10-19/${size}`);
      assert.equal(res.body.length, 0);
    });

    test('an empty file answers 200 with no body and refuses ranges', async () => {
      const whole = await request(port, media(path.join(dir, 'empty.wav')));
      assert.equal(whole.status, 200);
      assert.equal(whole.headers['content-length'], '0');
      const ranged = await request(port, media(path.join(dir, 'empty.wav')), { headers: { range: 'bytes=0-' } });
      assert.equal(ranged.status, 416);
    });

    test('ETag with no-cache, 304 on a match, and If-Range falls back to the whole file', async () => {
      const target = media(path.join(dir, 'data.wav'));
      const first = await request(port, target);
      assert.equal(first.headers['cache-control'], 'no-cache');
      assert.ok(first.headers.etag);
      const again = await request(port, target, { headers: { 'if-none-match': first.headers.etag } });
      assert.equal(again.status, 304);
      assert.equal(again.body.length, 0);
      const stale = await request(port, target, { headers: { range: 'bytes=0-9', 'if-range': 'W/"old"' } });
      assert.equal(stale.status, 200);
      const fresh = await request(port, target, { headers: { range: 'bytes=0-9', 'if-range': first.headers.etag } });
      assert.equal(fresh.status, 206);
    });
  });

  test('content types follow the extension, whatever its case', async () => {
    const expected = {
      't.mp3': 'audio/mpeg', 't.m4a': 'audio/mp4', 't.wav': 'audio/wav', 't.aac': 'audio/aac', 't.flac': 'audio/flac',
      't.aiff': 'audio/aiff', 't.aif': 'audio/aiff', 't.ogg': 'audio/ogg', 't.opus': 'audio/ogg',
      'show/Track1.MP3': 'audio/mpeg', 'show/開会 「テーマ」 \'曲\' "x".wav': 'audio/wav',
    };
    for (const [file, type] of Object.entries(expected)) {
      const res = await request(port, media(path.join(dir, file)), { method: 'HEAD' });
      assert.equal(res.status, 200, file);
      assert.equal(res.headers['content-type'], type, file);
    }
  });

  describe('folder listing', () => {
    const list = async (q) => {
      const res = await request(port, `/api/list?${q}`);
      return { status: res.status, json: JSON.parse(res.body.toString()) };
    };

    test('audio files in natural order, without hidden, AppleDouble or other files', async () => {
      const { status, json } = await list(`dir=${encodeURIComponent(path.join(dir, 'show'))}`);
      assert.equal(status, 200);
      assert.deepEqual(json.files.map((f) => f.name), ['Track1.MP3', 'track2.mp3', 'track10.mp3', '開会 「テーマ」 \'曲\' "x".wav']);
      assert.deepEqual(json.dirs.map((d) => d.name), ['bgm']);
      assert.equal(json.files[0].path, path.join(dir, 'show', 'Track1.MP3'));
    });

    test('recursion follows the depth cap', async () => {
      const q = `dir=${encodeURIComponent(path.join(dir, 'show'))}&recursive=1`;
      const deep = (await list(`${q}&depth=4`)).json.files.map((f) => f.rel);
      assert.ok(deep.includes('bgm/a.flac'));
      assert.ok(deep.includes('bgm/deep/one/two/three.ogg'));
      assert.ok(!deep.some((r) => r.startsWith('.git')));
      const shallow = (await list(`${q}&depth=1`)).json.files.map((f) => f.rel);
      assert.ok(shallow.includes('bgm/a.flac'));
      assert.ok(!shallow.includes('bgm/deep/one/two/three.ogg'));
    });

    test('bad folders are reported, not crashed on', async () => {
      assert.equal((await list('dir=relative/path')).status, 400);
      assert.equal((await list(`dir=${encodeURIComponent(path.join(dir, 'missing'))}`)).status, 404);
      assert.equal((await list(`dir=${encodeURIComponent(path.join(dir, 'data.wav'))}`)).status, 400);
    });
  });

  test('files of many chunks arrive byte for byte, whatever the range, also side by side', async () => {
    const size = 3 * 1024 * 1024 + 12345;
    const content = Buffer.alloc(size);
    for (let i = 0, x = 1; i < size; i++) content[i] = (x = (x * 1103515245 + 12345) >>> 0) >>> 24;
    const file = path.join(dir, 'chunks.wav');
    fs.writeFileSync(file, content);
    const ranges = [
      [0, size - 1], [1, size - 1], [65535, 65536 + 524288], [1048576, 2097151], [size - 1048577, size - 1],
      [123, 123 + 1048575], [size - 70000, size - 1], [524287, 1572865],
    ];
    const fetchRange = ([a, b]) => request(port, media(file), { headers: { range: `bytes=${a}-${b}` } });
    for (const round of [ranges.slice(0, 1), ranges]) {
      const answers = await Promise.all(round.map(fetchRange)); // side by side: chunk buffers are reused
      answers.forEach((res, i) => {
        const [a, b] = round[i];
        assert.equal(res.status, 206);
        assert.ok(res.body.equals(content.subarray(a, b + 1)), `bytes ${a}-${b}`);
      });
    }
  });

  test('a file cut short while it is sent ends the answer early instead of hanging', { timeout: 5000 }, async () => {
    const file = path.join(dir, 'shrinking.wav');
    fs.writeFileSync(file, Buffer.alloc(16 * 1024 * 1024, 3));
    const req = http.request({ host: '127.0.0.1', port, path: media(file), headers: { host: `localhost:${port}` }, agent: false });
    let error;
    req.on('error', (err) => (error = err));
    req.end();
    const [res] = await once(req, 'response');
    res.pause();
    fs.truncateSync(file, 1024);
    let received = 0;
    res.on('data', (c) => (received += c.length));
    res.on('error', (err) => (error = err));
    res.resume();
    await new Promise((resolve) => res.on('close', resolve)); // once() would throw the error
    assert.equal(error?.message, 'aborted');
    assert.ok(received < 16 * 1024 * 1024);
    for (const sender of deck.openStreams) await once(sender, 'close');
  });

  test('a client that aborts mid-stream gets its file closed', { timeout: 5000 }, async () => {
    const big = path.join(dir, 'big.wav');
    fs.writeFileSync(big, Buffer.alloc(32 * 1024 * 1024, 7));
    const fdCount = () => fs.readdirSync('/proc/self/fd').length;
    const baseline = fdCount();
    const req = http.request({ host: '127.0.0.1', port, path: media(big), headers: { host: `localhost:${port}` }, agent: false });
    req.end();
    const [res] = await once(req, 'response');
    await once(res, 'data');
    assert.equal(deck.openStreams.size, 1);
    const [stream] = deck.openStreams;
    req.destroy();
    await once(stream, 'close');
    assert.equal(deck.openStreams.size, 0);
    assert.ok(fdCount() <= baseline, `fds ${fdCount()} > ${baseline}`);
  });
});

describe('deck server process', () => {
  test('starts with a bare node and PORT, and exits 0 on SIGTERM mid-stream', async () => {
    const probe = net.createServer().listen(0, '127.0.0.1');
    await once(probe, 'listening');
    const port = probe.address().port;
    await new Promise((r) => probe.close(r));

    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-proc-'));
    const file = path.join(dir, 'long.wav');
    fs.writeFileSync(file, Buffer.concat([sineWav({ seconds: 1 }), Buffer.alloc(16 * 1024 * 1024)]));
    const child = spawn(process.execPath, [SERVER_JS], {
      env: { ...process.env, PORT: String(port) },
      stdio: ['ignore', 'pipe', 'pipe', 'ipc'],
    });
    let output = '';
    child.stdout.on('data', (d) => (output += d));
    child.stderr.on('data', (d) => (output += d));
    try {
      const [msg] = await once(child, 'message');
      assert.equal(msg.ready, port);
      const res = await request(port, '/');
      assert.equal(res.status, 200);
      const req = http.request({ host: '127.0.0.1', port, path: media(file), headers: { host: `localhost:${port}` }, agent: false });
      req.on('error', () => {});
      req.end();
      const [streaming] = await once(req, 'response');
      streaming.on('error', () => {});
      await once(streaming, 'data');
      const started = Date.now();
      child.kill('SIGTERM');
      const [code, signal] = await once(child, 'exit');
      assert.equal(code, 0);
      assert.equal(signal, null);
      assert.ok(Date.now() - started < 1500, 'exits promptly');
      assert.equal(output, '', 'prints nothing');
    } finally {
      if (child.exitCode === null) child.kill('SIGKILL');
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
