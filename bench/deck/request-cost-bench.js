'use strict';
// What one request costs the server beyond the bytes it sends: small ranges (4 KiB by default)
// on one keep-alive connection, the server's CPU time per request (all its threads), for our
// server and for the scripts named on the command line (earlier versions), alternating in
// each round. Ours is also given as a ratio to each of them in the same round, whose median
// moves far less than the times themselves on a machine shared with others.
//   node bench/deck/request-cost-bench.js deck/server-before.js
// BENCH_DECK_ROUNDS (80), BENCH_DECK_REQUESTS per round (500), BENCH_DECK_LENGTH (4096).
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startDeck, stop, Connection, cpuMicros, median, SERVER_JS } = require('./lib.js');

const ROUNDS = Number(process.env.BENCH_DECK_ROUNDS || 80);
const REQUESTS = Number(process.env.BENCH_DECK_REQUESTS || 500);
const LENGTH = Number(process.env.BENCH_DECK_LENGTH || 4096);
const SIZE = 64 * 1024 * 1024;

async function round(server, target, ranges) {
  const c = await new Connection(server.port).open();
  await c.get(target, { Range: 'bytes=0-0' }); // the connection is admitted before timing
  const cpu0 = cpuMicros(server.pid);
  for (const headers of ranges) {
    const r = await c.get(target, headers);
    if (r.status !== 206 || r.bytes !== LENGTH) throw new Error(`${server.script}: status ${r.status}, ${r.bytes} bytes`);
  }
  const cpu = (cpuMicros(server.pid) - cpu0) / ranges.length;
  c.close();
  return cpu;
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-cost-'));
  const file = path.join(dir, 'big.wav');
  fs.writeFileSync(file, Buffer.alloc(SIZE, 1));
  const target = `/media?path=${encodeURIComponent(file)}`;
  let seed = 7;
  const random = () => (seed = (seed * 1103515245 + 12345) % 2 ** 31);
  const ranges = Array.from({ length: REQUESTS }, () => {
    const start = random() % (SIZE - LENGTH);
    return { Range: `bytes=${start}-${start + LENGTH - 1}` };
  });
  const servers = [];
  try {
    for (const script of [SERVER_JS, ...process.argv.slice(2).map((p) => path.resolve(p))]) {
      servers.push({ script, ...(await startDeck([], script)), cpu: [] });
    }
    // Two rounds first, not counted: the code is compiled by then.
    for (let r = -2; r < ROUNDS; r++) {
      for (const s of r % 2 ? [...servers].reverse() : servers) {
        const cpu = await round(s, target, ranges);
        if (r >= 0) s.cpu.push(cpu);
      }
    }
    const [ours] = servers;
    console.log(`server CPU per ${LENGTH}-byte range, ${REQUESTS} a round on one connection, ${ROUNDS} rounds: median µs (min-max); ours / that script in the same round, median (quartiles)`);
    for (const s of servers) {
      const ratios = s.cpu.map((x, i) => ours.cpu[i] / x).sort((a, b) => a - b);
      const q = (p) => ratios[Math.floor(p * (ratios.length - 1))].toFixed(3);
      console.log(`${path.relative(process.cwd(), s.script).padEnd(32)}${median(s.cpu).toFixed(0).padStart(6)} (${Math.min(...s.cpu).toFixed(0)}-${Math.max(...s.cpu).toFixed(0)})` +
        `${s === ours ? '' : `   ${q(0.5)} (${q(0.25)}-${q(0.75)})`}`);
    }
  } finally {
    for (const s of servers) await stop(s.child);
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
