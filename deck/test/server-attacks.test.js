'use strict';
// The deck server against local attackers: another user's processes, pages of other origins, and
// anyone who can write a folder the server reads. Each group is one kind of attack.
const { test, describe, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const net = require('node:net');
const http = require('node:http');
const path = require('node:path');
const { once } = require('node:events');
const { setTimeout: delay } = require('node:timers/promises');
const { spawn } = require('node:child_process');
const { createDeckServer } = require('../server.js');
const { writeTree } = require('./helpers/wav.js');
const { SERVER_JS, media, fdCount, startServerProcess, request, rawRequest, fdsBackTo } = require('./helpers/deck-process.js');

// Big trees go to memory when the machine has it: 60,000 files are made and removed in a second there.
const scratch = () => fs.mkdtempSync(path.join(fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir(), 'deck-attacks-'));
const list = (dir, more = '') => `/api/list?dir=${encodeURIComponent(dir)}${more}`;
const SECRET = 'PRIVATE KEY '.repeat(40);
const cpuMs = (pid) => fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ').slice(11, 13).reduce((a, b) => a + Number(b) * 10, 0);

describe('the server process against hostile local clients', () => {
  let dir, server, port, pid;
  const at = (name) => path.join(dir, name);
  const get = (target, options) => request(port, target, options);

  before(async () => {
    dir = scratch();
    writeTree(dir, { 'tone.wav': 'RIFF tone', 'id_rsa': SECRET, 'big.wav': Buffer.alloc(8 << 20, 3), '.hid/x.wav': 'hidden', 'lists/ok.wav': 'x' });
    fs.mkdirSync(at('swap'));
    fs.chmodSync(at('id_rsa'), 0o600);
    for (const [name, to] of Object.entries({ 'lists/good.mp3': 'tone.wav', 'lists/bad.wav': 'id_rsa', 'lists/in-hidden.wav': '.hid/x.wav', 'in-hidden.wav': '.hid/x.wav' })) {
      fs.symlinkSync(at(to), at(name));
    }
    fs.mkdirSync(at('huge'));
    for (let i = 0; i < 60000; i++) fs.closeSync(fs.openSync(at(`huge/track ${i}.wav`), 'w'));
    for (let i = 0; i < 6000; i++) fs.mkdirSync(at(`subs/folder ${i}`), { recursive: true });
    server = await startServerProcess();
    ({ port, pid } = server);
  });

  after(() => {
    if (server.child.exitCode === null) server.child.kill('SIGKILL');
    fs.rmSync(dir, { recursive: true, force: true });
  });

  test('a link swapped in and out at an audio name never serves what it leads to', { timeout: 60000 }, async () => {
    // The attacker's loop: x.wav, a regular audio file, and a link to the secret trade places (renameat2 RENAME_EXCHANGE).
    fs.linkSync(at('tone.wav'), at('swap/x.wav'));
    fs.symlinkSync(at('id_rsa'), at('swap/link'));
    const swapper = spawn('python3', ['-c', `
import ctypes, sys
exchange = ctypes.CDLL(None).renameat2
x, link = (p.encode() for p in sys.argv[1:])
while True: exchange(-100, x, -100, link, 2)`, at('swap/x.wav'), at('swap/link')], { stdio: 'ignore' });
    const fds = fdCount(pid);
    const agent = new http.Agent({ keepAlive: true, maxSockets: 8 });
    const statuses = {};
    let leaked = 0;
    try {
      await Promise.all(Array.from({ length: 2000 }, async () => {
        const res = await get(media(at('swap/x.wav')), { agent });
        statuses[res.status] = (statuses[res.status] ?? 0) + 1;
        if (res.body.includes('PRIVATE')) leaked++;
      }));
    } finally {
      swapper.kill('SIGKILL');
      agent.destroy();
    }
    // Both sides of the race were seen: the audio file served, the link refused.
    assert.ok(leaked === 0 && statuses[200] > 0 && statuses[403] > 0, `${leaked} answers held the secret; statuses ${JSON.stringify(statuses)}`);
    assert.equal(await fdsBackTo(pid, fds), fds, 'descriptors once the clients have gone');
  });

  test('pipelined requests hold nothing until their turn, and a connection may queue only a few', async () => {
    const fds = fdCount(pid);
    const head = (file) => `GET ${media(file)} HTTP/1.1\r\nHost: localhost:${port}\r\n\r\n`;
    const sock = net.connect(port, '127.0.0.1', () => sock.write(head(at('big.wav')).repeat(8)));
    await once(sock, 'data');
    sock.pause();
    const during = fdCount(pid);
    sock.destroy();
    assert.ok(during <= fds + 2, `${during - fds} descriptors for one connection of 8 requests`);
    assert.equal(await fdsBackTo(pid, fds), fds, 'descriptors once the client has gone');
    // 40 requests at once: the connection is closed, not answered 40 times.
    let answers = 0;
    const many = net.connect(port, '127.0.0.1', () => many.write(head(at('tone.wav')).repeat(40)));
    many.on('data', (d) => (answers += d.toString('latin1').split('HTTP/1.1 200').length - 1)).on('error', () => {});
    await once(many, 'close');
    assert.ok(answers < 40, `${answers} answers`);
  });

  test('listing: other requests go on during a huge folder, answers are capped, walks end with their client', { timeout: 30000 }, async () => {
    const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
    await get('/', { agent, method: 'HEAD' });
    let worst = 0;
    let listing = true;
    const probe = (async () => {
      while (listing) {
        const t = performance.now();
        await get('/', { agent, method: 'HEAD' });
        worst = Math.max(worst, performance.now() - t);
        await delay(10); // a probe every 10 ms
      }
    })();
    const t = performance.now();
    const huge = JSON.parse((await get(list(at('huge')))).body);
    const hugeMs = performance.now() - t;
    const subs = JSON.parse((await get(list(at('subs')))).body);
    listing = false;
    await probe;
    agent.destroy();
    assert.deepEqual([huge.files.length, huge.truncated, subs.dirs.length, subs.truncated], [50000, true, 5000, true]);
    // Listing 60,000 files takes 300-800 ms on a busy machine; a listing on the main thread holds every other request as long.
    assert.ok(worst < hugeMs / 2, `a request waited ${worst.toFixed(0)} ms during a listing of ${hugeMs.toFixed(0)} ms`);

    // Walks of the whole machine, abandoned at once: the server stops working on them.
    const walks = Array.from({ length: 8 }, () => http.get({ port, host: '127.0.0.1', path: list('/', '&recursive=1&depth=8'), headers: { host: `localhost:${port}` } }).on('error', () => {}));
    await delay(300); // the walks are under way
    walks.forEach((w) => w.destroy());
    const cpu = cpuMs(pid);
    await delay(700); // the window measured
    assert.ok(cpuMs(pid) - cpu < 200, `${cpuMs(pid) - cpu} ms of CPU in the 700 ms after the clients left`);
  });

  test('validators: a file replaced by one of the same size and times is not taken for the old one', async () => {
    const file = at('etag.wav');
    fs.writeFileSync(file, 'A'.repeat(1000));
    const old = await get(media(file));
    const { atime, mtime } = fs.statSync(file);
    fs.writeFileSync(file, 'B'.repeat(1000)); // as cp -p, rsync -t or a restore leave it
    fs.utimesSync(file, atime, mtime);
    const ask = async (headers) => {
      const res = await get(media(file), { headers });
      return [res.status, res.body.toString()[0], res.body.length];
    };
    const tag = (await get(media(file), { method: 'HEAD' })).headers.etag;
    assert.deepEqual([await ask({ 'if-none-match': old.headers.etag }), await ask({ range: 'bytes=0-9', 'if-range': old.headers.etag }),
      await ask({ range: 'bytes=0-9', 'if-range': `W/${tag}` }), await ask({ range: 'bytes=0-9', 'if-range': tag }), await ask({ 'if-none-match': `W/${tag}` })],
    [[200, 'B', 1000], [200, 'B', 1000], [200, 'B', 1000], [206, 'B', 10], [304, undefined, 0]]);
  });

  test('hidden folders and links that lead to other files: refused by media and left out of listings alike', async () => {
    assert.deepEqual(await Promise.all([at('.hid/x.wav'), at('in-hidden.wav'), at('lists/bad.wav'), at('lists/good.mp3')].map(async (f) => (await get(media(f))).status)),
      [403, 403, 403, 200]);
    const { files } = JSON.parse((await get(list(at('lists')))).body);
    assert.deepEqual(files.map((f) => f.name), ['good.mp3', 'ok.wav']);
    assert.equal((await get(list(at('.hid')))).status, 403);
  });

  test('a client of another user is closed before a byte is read; the server\'s own user is answered', { skip: process.getuid() !== 0 && 'runs a client as nobody, which needs root' }, async () => {
    const client = (uid, host) => new Promise((resolve) => {
      const script = `exec 3<>/dev/tcp/${host}/${port} || exit 9; printf 'GET / HTTP/1.1\\r\\nHost: localhost:${port}\\r\\nConnection: close\\r\\n\\r\\n' >&3; timeout 5 cat <&3`;
      const child = spawn('setpriv', [`--reuid=${uid}`, `--regid=${uid}`, '--clear-groups', 'bash', '-c', script], { cwd: '/' });
      let out = '';
      child.stdout.on('data', (d) => (out += d));
      child.on('close', () => resolve(out.split('\r\n')[0]));
    });
    const hosts = os.networkInterfaces().lo?.some((a) => a.address === '::1') ? ['127.0.0.1', '::1'] : ['127.0.0.1'];
    for (const host of hosts) {
      assert.deepEqual([await client(65534, host), await client(0, host)], ['', 'HTTP/1.1 200 OK'], host);
    }
  });
});

test('PORT other than a decimal 1-65535: the server says why and exits non-zero', { timeout: 20000 }, async () => {
  const outcomes = await Promise.all(['4510abc', '1e3', '0x10', '0', 'abc', '-1', '65536', '', ' 4510'].map((value) => new Promise((resolve) => {
    const child = spawn(process.execPath, [SERVER_JS], { env: { ...process.env, PORT: value }, stdio: ['ignore', 'ignore', 'pipe', 'ipc'] });
    let stderr = '';
    child.stderr.on('data', (d) => (stderr += d));
    child.on('message', () => {
      child.kill('SIGKILL');
      resolve(`${value}: listened`);
    });
    child.on('exit', (code) => resolve(code !== 0 && stderr.includes('PORT') ? 'refused' : `${value}: exit ${code}, ${JSON.stringify(stderr)}`));
  })));
  assert.deepEqual(outcomes, outcomes.map(() => 'refused'));
});

test('SIGHUP, and SIGTERM again during a walk of the whole machine: a clean exit 0 at once', { timeout: 20000 }, async () => {
  for (const signals of [['SIGHUP'], ['SIGTERM', 'SIGTERM']]) {
    const { child, port } = await startServerProcess();
    const walk = http.get({ port, host: '127.0.0.1', path: list('/', '&recursive=1&depth=8'), headers: { host: `localhost:${port}` } }).on('error', () => {});
    await delay(200); // the walk is under way
    const started = Date.now();
    for (const signal of signals) child.kill(signal);
    assert.deepEqual(await once(child, 'exit'), [0, null], signals.join());
    assert.ok(Date.now() - started < 1500, `${signals} took ${Date.now() - started} ms`);
    walk.destroy();
  }
});

test('in process: clients that stop reading and heads that never end are timed out', { timeout: 20000 }, async () => {
  const dir = scratch();
  const big = path.join(dir, 'big.wav');
  fs.writeFileSync(big, Buffer.alloc(32 << 20)); // more than loopback's socket buffers hold
  const deck = createDeckServer({ port: 0, timeouts: { stall: 300, headers: 150, check: 50 } });
  const { port } = await deck.start();
  try {
    assert.match(await rawRequest(port, `GET / HTTP/1.1\r\nHost: localhost:${port}\r\n`), /^HTTP\/1\.1 408/);
    const stalled = net.connect(port, '127.0.0.1', () => stalled.write(`GET ${media(big)} HTTP/1.1\r\nHost: localhost:${port}\r\n\r\n`));
    let got = 0;
    await once(stalled.on('data', (d) => (got += d.length)).on('error', () => {}), 'data');
    stalled.pause(); // and reads no more
    const [sender] = deck.openStreams;
    await once(sender, 'close'); // the server gives up on the client and closes the file
    stalled.resume();
    await once(stalled, 'close');
    assert.ok(got < 32 << 20, `${got} bytes: the whole answer`);
  } finally {
    await deck.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
