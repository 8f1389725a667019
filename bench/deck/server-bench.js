'use strict';
// The deck server against nginx on loopback, on the same 64 MiB file: throughput and time to
// the first body byte for whole-file reads, open-ended ranges and random 1 MiB ranges; then
// a folder of 10,000 files listed by ours (/api/list) and by nginx's JSON autoindex.
// Rounds alternate which server goes first; rows give medians over the rounds. Each row also
// gives the CPU time each server process spent per request, all its threads together: on a
// machine shared with others that moves less than throughput does.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startDeck, startNginx, nginxWorkerPid, stop, Connection, cpuMicros, pct, median } = require('./lib.js');

const FILE_MB = 64;
const SIZE = FILE_MB * 1024 * 1024;
const ROUNDS = Number(process.env.BENCH_DECK_ROUNDS || 9);
const extraNodeArgs = process.env.BENCH_DECK_NODE_ARGS ? process.env.BENCH_DECK_NODE_ARGS.split(' ') : [];
// Another server script (an earlier version) measured in the same rounds, alternating with ours.
const AGAINST = process.env.BENCH_DECK_AGAINST;

// Each workload runs on its own connections and returns MB/s, first-byte times and the server's
// CPU µs per request.
async function run({ port, pid, media: target }, requests, connections) {
  const conns = await Promise.all(Array.from({ length: connections }, () => new Connection(port).open()));
  // One byte on each connection first: the time a server takes to admit a new connection
  // (the deck asks the kernel who is at the other end) is not streaming time.
  await Promise.all(conns.map((c) => c.get(target, { Range: 'bytes=0-0' })));
  const ttfb = [];
  let bytes = 0;
  let next = 0;
  const cpu0 = cpuMicros(pid);
  const t0 = process.hrtime.bigint();
  await Promise.all(conns.map(async (c) => {
    while (next < requests.length) {
      const headers = requests[next++];
      const r = await c.get(target, headers);
      if (r.status !== (headers.Range ? 206 : 200)) throw new Error(`status ${r.status} for ${JSON.stringify(headers)}`);
      bytes += r.bytes;
      ttfb.push(r.ttfb);
    }
  }));
  const seconds = Number(process.hrtime.bigint() - t0) / 1e9;
  const cpu = (cpuMicros(pid) - cpu0) / requests.length;
  conns.forEach((c) => c.close());
  return { mbs: bytes / 1048576 / seconds, ttfb, cpu };
}

const ONLY = process.env.BENCH_DECK_ONLY?.split(','); // row names, to look at some workloads only

function workloads() {
  let seed = 7;
  const random = () => (seed = (seed * 1103515245 + 12345) % 2 ** 31);
  const ranges = Array.from({ length: 256 }, () => {
    const start = random() % (SIZE - 1048576);
    return { Range: `bytes=${start}-${start + 1048575}` };
  });
  return ([
    { name: 'whole file', requests: Array.from({ length: 6 }, () => ({})), connections: 1 },
    { name: 'open-ended ranges', requests: Array.from({ length: 8 }, (_, i) => ({ Range: `bytes=${(i * SIZE) / 8}-` })), connections: 1 },
    { name: 'random 1 MiB x1', requests: ranges.slice(0, 128), connections: 1 },
    { name: 'random 1 MiB x4', requests: ranges, connections: 4 },
  ]).filter((w) => !ONLY || ONLY.includes(w.name));
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-bench-'));
  fs.chmodSync(dir, 0o755); // nginx's worker runs as nobody when started by root
  const file = path.join(dir, 'big.wav');
  fs.writeFileSync(file, Buffer.alloc(SIZE, 1));
  const many = path.join(dir, 'many');
  fs.mkdirSync(many);
  for (let i = 0; i < 10000; i++) fs.writeFileSync(path.join(many, `track ${i}.${i % 10 === 0 ? 'txt' : 'mp3'}`), '');

  const ours = await startDeck(extraNodeArgs);
  const nginx = await startNginx(dir, dir);
  const copying = await startNginx(dir, dir, { sendfile: false });
  const against = AGAINST ? await startDeck(extraNodeArgs, path.resolve(AGAINST)) : null;
  const media = `/media?path=${encodeURIComponent(file)}`;
  const servers = [
    { who: 'ours', port: ours.port, pid: ours.pid, media, list: `/api/list?dir=${encodeURIComponent(many)}` },
    { who: 'nginx', port: nginx.port, pid: nginxWorkerPid(nginx.pid), media: '/big.wav', list: '/many/' },
    { who: 'copying', port: copying.port, pid: nginxWorkerPid(copying.pid), media: '/big.wav' },
  ];
  if (against) servers.push({ who: 'against', port: against.port, pid: against.pid, media });
  try {
    const rows = [];
    // One pass of everything first: our server's code is compiled by then, as in a long show.
    for (const w of workloads()) for (const s of servers) await run(s, w.requests, w.connections);
    for (const w of workloads()) {
      const res = { ratios: [], copyRatios: [], againstRatios: [], oursAgainst: [] };
      for (const s of servers) res[s.who] = { mbs: [], ttfb: [], cpu: [] };
      for (let round = 0; round < ROUNDS; round++) {
        for (const s of round % 2 ? [...servers].reverse() : servers) {
          const r = await run(s, w.requests, w.connections);
          res[s.who].mbs.push(r.mbs);
          res[s.who].cpu.push(r.cpu);
          res[s.who].ttfb.push(...r.ttfb);
        }
        res.ratios.push(res.ours.mbs[round] / res.nginx.mbs[round]);
        res.copyRatios.push(res.ours.mbs[round] / res.copying.mbs[round]);
        if (against) {
          res.againstRatios.push(res.against.mbs[round] / res.nginx.mbs[round]);
          res.oursAgainst.push(res.ours.mbs[round] / res.against.mbs[round]);
        }
      }
      rows.push({ name: w.name, res });
    }

    const list = { ours: [], nginx: [] };
    let listed = {};
    for (const s of servers.slice(0, 2)) {
      const c = await new Connection(s.port).open();
      for (let i = 0; i < 18; i++) {
        const r = await c.get(s.list);
        if (r.status !== 200) throw new Error(`listing: ${s.who} ${r.status}`);
        if (i >= 3) list[s.who].push(r.ms);
      }
      c.close();
    }
    const oursList = JSON.parse(await fetchText(ours.port, servers[0].list)).files.length;
    const nginxList = JSON.parse(await fetchText(nginx.port, servers[1].list)).length;
    listed = { ours: oursList, nginx: nginxList };

    const f = (x, d = 1) => x.toFixed(d).padStart(8);
    console.log(`deck server vs nginx ${process.env.NGINX_VERSION || ''}(1 worker, sendfile on), ${FILE_MB} MiB file, ${ROUNDS} rounds, medians (ratio: median of per-round ratios)` +
      (extraNodeArgs.length ? `, node ${extraNodeArgs.join(' ')}` : ''));
    console.log('last two columns: nginx with sendfile off, which copies through its own buffers as node must');
    console.log(`${'row'.padEnd(34)}${'ours'.padStart(8)}${'nginx'.padStart(8)}${'ratio'.padStart(8)}${'no-sf'.padStart(8)}${'ratio'.padStart(8)}`);
    for (const { name, res } of rows) {
      // The ratio is the median of each round's own ratio: the machine's drift cancels out.
      console.log(`${`${name} MB/s`.padEnd(34)}${f(median(res.ours.mbs), 0)}${f(median(res.nginx.mbs), 0)}${f(median(res.ratios), 2)}` +
        `${f(median(res.copying.mbs), 0)}${f(median(res.copyRatios), 2)}`);
      for (const [label, stat] of [['p50', median], ['p99', (xs) => pct(xs, 99)]]) {
        const [o, n, c] = ['ours', 'nginx', 'copying'].map((who) => stat(res[who].ttfb));
        console.log(`${`${name} first byte ${label} ms`.padEnd(34)}${f(o, 3)}${f(n, 3)}${f(o / n, 2)}${f(c, 3)}${f(o / c, 2)}`);
      }
      const [o, n, c] = ['ours', 'nginx', 'copying'].map((who) => median(res[who].cpu));
      console.log(`${`${name} CPU µs/request`.padEnd(34)}${f(o, 0)}${f(n, 0)}${f(o / n, 2)}${f(c, 0)}${f(o / c, 2)}`);
    }
    if (against) {
      // Each ratio's median and its spread over the rounds (min-max): ours and the other script
      // each against nginx, and ours against the other script directly.
      const spread = (xs) => `${median(xs).toFixed(2)} (${Math.min(...xs).toFixed(2)}-${Math.max(...xs).toFixed(2)})`;
      console.log(`against ${AGAINST}, ${ROUNDS} rounds: MB/s ours/nginx, against/nginx, ours/against; CPU µs/request ours, against`);
      for (const { name, res } of rows) {
        const cpu = (xs) => `${median(xs).toFixed(0)} (${Math.min(...xs).toFixed(0)}-${Math.max(...xs).toFixed(0)})`;
        console.log(`${name.padEnd(20)}${spread(res.ratios).padStart(20)}${spread(res.againstRatios).padStart(20)}${spread(res.oursAgainst).padStart(20)}` +
          `${cpu(res.ours.cpu).padStart(20)}${cpu(res.against.cpu).padStart(20)}`);
      }
    }
    const ol = median(list.ours);
    const nl = median(list.nginx);
    console.log(`${'listing 10,000 files ms'.padEnd(34)}${f(ol)}${f(nl)}${f(ol / nl, 2)}   (ours ${listed.ours} audio files sorted naturally, target < 100 ms; nginx ${listed.nginx} entries)`);
  } finally {
    await stop(ours.child);
    await stop(nginx.child);
    await stop(copying.child);
    if (against) await stop(against.child);
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

async function fetchText(port, target) {
  const c = await new Connection(port).open();
  const r = await c.get(target, {}, { keep: true });
  c.close();
  return r.body.toString();
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
