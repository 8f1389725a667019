'use strict';
// Heavy loopback traffic, the long form of the deck's hostile test: storms of 1,000 concurrent
// range requests, most abandoned by the client at a random moment, against the deck server and
// nginx on the same file. Afterwards each serving process must hold the descriptors it held
// before, and its memory must be flat after the first storms.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startDeck, startNginx, nginxWorkerPid, stop, rssKiB, fdCount, median } = require('./lib.js');
const { storm } = require('../../deck/test/helpers/storm.js');

const STORMS = Number(process.env.BENCH_DECK_STORMS || 10);
const WARM = 2;
const SIZE = 8 * 1024 * 1024;

const hwmKiB = (pid) => Number(/VmHWM:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);

async function settledFds(pid, want) {
  const deadline = Date.now() + 5000;
  let n = fdCount(pid);
  while (n > want && Date.now() < deadline) {
    await new Promise((r) => setTimeout(r, 20));
    n = fdCount(pid);
  }
  return n;
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-traffic-'));
  fs.chmodSync(dir, 0o755); // nginx's worker runs as nobody when started by root
  const file = path.join(dir, 'storm.wav');
  fs.writeFileSync(file, Buffer.alloc(SIZE, 9));
  const ours = await startDeck();
  const nginx = await startNginx(dir, dir);
  const servers = [
    { who: 'ours', port: ours.port, pid: ours.pid, target: `/media?path=${encodeURIComponent(file)}` },
    { who: 'nginx', port: nginx.port, pid: nginxWorkerPid(nginx.pid), target: '/storm.wav' },
  ];
  try {
    for (const s of servers) {
      s.fds0 = fdCount(s.pid);
      s.ms = [];
    }
    for (let i = 0; i < STORMS; i++) {
      for (const s of i % 2 ? [...servers].reverse() : servers) {
        const t0 = process.hrtime.bigint();
        const tally = await storm({ port: s.port, target: s.target, size: SIZE, count: 1000, seed: 100 + i, deadlineMs: 60000 });
        s.ms.push(Number(process.hrtime.bigint() - t0) / 1e6);
        if (Object.keys(tally.statuses).some((code) => code !== '206')) throw new Error(`${s.who}: ${JSON.stringify(tally)}`);
        if (i === WARM - 1) s.rssWarm = rssKiB(s.pid);
        (s.rssSeries ??= []).push(rssKiB(s.pid));
      }
    }
    for (const s of servers) {
      s.fds1 = await settledFds(s.pid, s.fds0);
      s.rss1 = rssKiB(s.pid);
      s.hwm = hwmKiB(s.pid);
    }
    const [o, n] = servers;
    const f = (x, d = 1) => (typeof x === 'number' ? x.toFixed(d) : String(x)).padStart(9);
    const row = (name, a, b, ratio = a / b) => console.log(`${name.padEnd(46)}${f(a)}${f(b)}${f(ratio, 2)}`);
    console.log(`${STORMS} storms of 1,000 concurrent range requests (most abandoned), 8 MiB file; nginx: its worker process`);
    console.log(`${'row'.padEnd(46)}${'ours'.padStart(9)}${'nginx'.padStart(9)}${'ratio'.padStart(9)}`);
    row('storm wall time, median ms', median(o.ms), median(n.ms));
    console.log(`${'descriptors before -> after (settled)'.padEnd(46)}${`${o.fds0}->${o.fds1}`.padStart(9)}${`${n.fds0}->${n.fds1}`.padStart(9)}`);
    row(`RSS after storm ${WARM} (MiB)`, o.rssWarm / 1024, n.rssWarm / 1024);
    row(`RSS after storm ${STORMS} (MiB)`, o.rss1 / 1024, n.rss1 / 1024);
    row(`RSS growth storms ${WARM}..${STORMS} (MiB, tolerance 64)`, (o.rss1 - o.rssWarm) / 1024, (n.rss1 - n.rssWarm) / 1024, NaN);
    row('peak RSS (MiB)', o.hwm / 1024, n.hwm / 1024);
    console.log(`ours: RSS after each storm (MiB): ${o.rssSeries.map((k) => (k / 1024).toFixed(0)).join(', ')}`);
    const leak = o.fds1 !== o.fds0 || o.rss1 - o.rssWarm > 64 * 1024;
    console.log(leak ? 'ours: LEAK' : 'ours: no descriptor left open, memory flat');
    if (leak) process.exitCode = 1;
  } finally {
    await stop(ours.child);
    await stop(nginx.child);
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
