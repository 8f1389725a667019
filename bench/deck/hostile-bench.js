'use strict';
// The deck server under what a hostile local client can do, against nginx on the same files:
// - the longest wait of a 10 ms probe request while a folder of 200,000 files, and one of 200,000
//   sub-folders, is listed (ours: /api/list; nginx: its JSON autoindex, on its one worker);
// - how long the server takes to exit on SIGTERM in the middle of such a listing;
// - descriptors and RSS before and after 10 storms of pipelined requests dropped half-way;
// - what checking the peer's user costs each new connection (ours with and without the check).
const fs = require('node:fs');
const os = require('node:os');
const net = require('node:net');
const path = require('node:path');
const { once } = require('node:events');
const { setTimeout: delay } = require('node:timers/promises');
const { startDeck, startNginx, nginxWorkerPid, stop, Connection, rssKiB, fdCount, median, pct } = require('./lib.js');

const ENTRIES = Number(process.env.BENCH_DECK_ENTRIES || 200000);
const LISTINGS = 3;
const STORMS = 10;
const PER_ROUND = 60; // new connections per server and round, 6 rounds

// Lists `target` LISTINGS times on one connection while another asks for a small file every 10 ms.
async function stall(port, target, probe) {
  const lister = await new Connection(port).open();
  const prober = await new Connection(port).open();
  await prober.get(probe);
  let listing = true;
  let worst = 0;
  const probing = (async () => {
    while (listing) {
      const r = await prober.get(probe);
      worst = Math.max(worst, r.ms);
      await delay(10);
    }
  })();
  const ms = [];
  let bytes = 0;
  for (let i = 0; i < LISTINGS; i++) {
    const r = await lister.get(target);
    if (r.status !== 200) throw new Error(`listing ${target}: ${r.status}`);
    ms.push(r.ms);
    bytes = r.bytes;
  }
  listing = false;
  await probing;
  lister.close();
  prober.close();
  return { worst, listMs: median(ms), bytes };
}

// Connections that each send `perConnection` pipelined range requests at once, read part of the
// answers and go.
async function pipeliningStorm(port, target, perConnection, seed) {
  let s = seed;
  const below = (n) => ((s = (s * 1103515245 + 12345) % 2 ** 31) % n);
  await Promise.all(Array.from({ length: 20 }, () => new Promise((resolve) => {
    const cut = below(4 << 20);
    let got = 0;
    const sock = net.connect(port, '127.0.0.1', () => {
      let text = '';
      for (let i = 0; i < perConnection; i++) {
        const start = below(7 << 20);
        text += `GET ${target} HTTP/1.1\r\nHost: localhost:${port}\r\nRange: bytes=${start}-${start + 65535}\r\n\r\n`;
      }
      sock.write(text);
    });
    sock.on('data', (d) => {
      got += d.length;
      if (got > cut) sock.destroy();
    });
    sock.on('error', () => {}).on('close', resolve);
  })));
}

async function settledFds(pid, want) {
  let n = fdCount(pid);
  for (const deadline = Date.now() + 5000; n > want && Date.now() < deadline; n = fdCount(pid)) await delay(20);
  return n;
}

const cpuMs = (pid) => fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ').slice(11, 13).reduce((a, b) => a + Number(b) * 10, 0);

// New connections one after another, each asking for a small file once: time to the answer.
async function connections(port, target, count) {
  const ms = [];
  for (let i = 0; i < count; i++) {
    const t = process.hrtime.bigint();
    const c = await new Connection(port).open();
    const r = await c.get(target);
    if (r.status !== 200) throw new Error(`status ${r.status}`);
    ms.push(Number(process.hrtime.bigint() - t) / 1e6);
    c.close();
  }
  return ms;
}

async function main() {
  const base = fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir();
  const dir = fs.mkdtempSync(path.join(base, 'deck-hostile-'));
  fs.chmodSync(dir, 0o755); // nginx's worker runs as nobody when started by root
  const files = path.join(dir, 'many', 'files');
  const dirs = path.join(dir, 'many', 'dirs');
  fs.mkdirSync(files, { recursive: true });
  fs.mkdirSync(dirs);
  for (let i = 0; i < ENTRIES; i++) fs.closeSync(fs.openSync(path.join(files, `track ${i}.mp3`), 'w'));
  for (let i = 0; i < ENTRIES; i++) fs.mkdirSync(path.join(dirs, `folder ${i}`));
  const small = path.join(dir, 'small.wav');
  fs.writeFileSync(small, Buffer.alloc(4096, 1));
  const big = path.join(dir, 'big.wav');
  fs.writeFileSync(big, Buffer.alloc(8 << 20, 2));

  let ours = await startDeck();
  const nginx = await startNginx(dir, dir);
  const f = (x, d = 1) => (typeof x === 'number' ? x.toFixed(d) : String(x)).padStart(10);
  try {
    const e = encodeURIComponent;
    console.log(`listing ${ENTRIES.toLocaleString('en')} entries, ${LISTINGS} times each, while a small file is asked for every 10 ms; nginx ${process.env.NGINX_VERSION || ''}(1 worker, autoindex JSON)`);
    console.log(`${'row'.padEnd(44)}${'ours'.padStart(10)}${'nginx'.padStart(10)}${'ratio'.padStart(10)}`);
    for (const [name, folder, sub] of [['files', files, '/many/files/'], ['sub-folders', dirs, '/many/dirs/']]) {
      const o = await stall(ours.port, `/api/list?dir=${e(folder)}`, `/media?path=${e(small)}`);
      const n = await stall(nginx.port, sub, '/small.wav');
      console.log(`${`${name}: worst probe wait ms`.padEnd(44)}${f(o.worst)}${f(n.worst)}${f(o.worst / n.worst, 2)}`);
      console.log(`${`${name}: listing ms (median)`.padEnd(44)}${f(o.listMs)}${f(n.listMs)}${f(o.listMs / n.listMs, 2)}`);
      console.log(`${`${name}: answer KiB`.padEnd(44)}${f(o.bytes / 1024, 0)}${f(n.bytes / 1024, 0)}`);
    }

    // SIGTERM while the server lists the folder of files.
    const doomed = await startDeck();
    const c = await new Connection(doomed.port).open();
    c.get(`/api/list?dir=${e(files)}`).catch(() => {});
    await delay(100); // the walk is under way
    const t = process.hrtime.bigint();
    const exited = once(doomed.child, 'exit');
    doomed.child.kill('SIGTERM');
    const [code, signal] = await exited;
    console.log(`${'exit on SIGTERM mid-listing ms'.padEnd(44)}${f(Number(process.hrtime.bigint() - t) / 1e6)}   (exit ${code}${signal ? `, ${signal}` : ''})`);
    c.close();

    // Pipelining storms, on a server of ours that has not listed anything yet.
    console.log();
    console.log(`${STORMS} storms of 20 connections, each sending 500 pipelined 64 KiB range requests at once and leaving part-way`);
    await stop(ours.child);
    ours = await startDeck();
    const servers = [
      { who: 'ours', port: ours.port, pid: ours.pid, target: `/media?path=${e(big)}` },
      { who: 'nginx', port: nginx.port, pid: nginxWorkerPid(nginx.pid), target: '/big.wav' },
    ];
    for (const s of servers) {
      s.fds0 = fdCount(s.pid);
      s.rss0 = rssKiB(s.pid);
      s.ms = [];
      for (let i = 0; i < STORMS; i++) {
        const t0 = process.hrtime.bigint();
        await pipeliningStorm(s.port, s.target, 500, 1000 + i);
        s.ms.push(Number(process.hrtime.bigint() - t0) / 1e6);
        (s.series ??= []).push(rssKiB(s.pid));
      }
      s.fds1 = await settledFds(s.pid, s.fds0);
      s.rss1 = rssKiB(s.pid);
    }
    const [o, n] = servers;
    console.log(`${'row'.padEnd(44)}${'ours'.padStart(10)}${'nginx'.padStart(10)}`);
    console.log(`${'descriptors before -> after'.padEnd(44)}${`${o.fds0}->${o.fds1}`.padStart(10)}${`${n.fds0}->${n.fds1}`.padStart(10)}`);
    console.log(`${'RSS MiB before -> after'.padEnd(44)}${`${(o.rss0 / 1024).toFixed(0)}->${(o.rss1 / 1024).toFixed(0)}`.padStart(10)}${`${(n.rss0 / 1024).toFixed(0)}->${(n.rss1 / 1024).toFixed(0)}`.padStart(10)}`);
    console.log(`${'storm wall time, median ms'.padEnd(44)}${f(median(o.ms))}${f(median(n.ms))}`);
    console.log(`ours: RSS after each storm (MiB): ${o.series.map((k) => (k / 1024).toFixed(0)).join(', ')}`);
  } finally {
    await stop(ours.child);
    await stop(nginx.child);
  }

  // The peer's user, checked on each new connection: ours with and without the check, alternating.
  const checked = await startDeck();
  const unchecked = await startDeck([], path.join(__dirname, 'deck-without-peer-check.js'));
  const target = `/media?path=${encodeURIComponent(small)}`;
  const res = { checked: { ms: [], cpu: 0 }, unchecked: { ms: [], cpu: 0 } };
  try {
    for (const s of [checked, unchecked]) await connections(s.port, target, 20);
    for (let round = 0; round < 6; round++) {
      for (const [who, s] of round % 2 ? [['unchecked', unchecked], ['checked', checked]] : [['checked', checked], ['unchecked', unchecked]]) {
        const cpu = cpuMs(s.pid);
        res[who].ms.push(...await connections(s.port, target, PER_ROUND));
        res[who].cpu += cpuMs(s.pid) - cpu;
      }
    }
  } finally {
    await stop(checked.child);
    await stop(unchecked.child);
    fs.rmSync(dir, { recursive: true, force: true });
  }
  const CONNECTIONS = 6 * PER_ROUND;
  const rows = fs.readFileSync('/proc/net/tcp', 'latin1').split('\n').length - 2;
  console.log();
  console.log(`${CONNECTIONS} new connections, one after another, each asking for a 4 KiB file; /proc/net/tcp has ${rows} rows now`);
  console.log(`${'row'.padEnd(44)}${'checked'.padStart(10)}${'without'.padStart(10)}${'cost'.padStart(10)}`);
  const [a, b] = [res.checked, res.unchecked];
  console.log(`${'connect to answer ms, median'.padEnd(44)}${f(median(a.ms), 2)}${f(median(b.ms), 2)}${f(median(a.ms) - median(b.ms), 2)}`);
  console.log(`${'connect to answer ms, p90'.padEnd(44)}${f(pct(a.ms, 90), 2)}${f(pct(b.ms, 90), 2)}${f(pct(a.ms, 90) - pct(b.ms, 90), 2)}`);
  console.log(`${'server CPU ms per connection'.padEnd(44)}${f(a.cpu / CONNECTIONS, 2)}${f(b.cpu / CONNECTIONS, 2)}${f((a.cpu - b.cpu) / CONNECTIONS, 2)}`);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
