'use strict';
// Deck server over loopback: range streaming throughput against a minimal static server
// written with node's built-ins, and the time to list a folder of 10,000 files.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const http = require('node:http');
const { once } = require('node:events');
const { spawn } = require('node:child_process');

const SERVER_JS = path.join(__dirname, '..', '..', 'deck', 'server.js');
const FILE_MB = 64;

// The reference: just enough of a static file server to answer "bytes=a-b".
const BASELINE = `
const http = require('node:http'), fs = require('node:fs');
const server = http.createServer((req, res) => {
  const file = decodeURIComponent(new URL(req.url, 'http://x').searchParams.get('path'));
  const size = fs.statSync(file).size;
  const m = /bytes=(\\d+)-(\\d*)/.exec(req.headers.range || '');
  const start = m ? Number(m[1]) : 0, end = m && m[2] ? Number(m[2]) : size - 1;
  res.writeHead(m ? 206 : 200, { 'Content-Length': end - start + 1 });
  fs.createReadStream(file, { start, end }).pipe(res);
}).listen(0, '127.0.0.1', () => process.send({ ready: server.address().port }));
`;

async function startChild(args, env = {}) {
  const child = spawn(process.execPath, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  const [msg] = await once(child, 'message');
  return { child, port: msg.ready };
}

function get(port, target, range) {
  return new Promise((resolve, reject) => {
    const headers = { host: `localhost:${port}` };
    if (range) headers.range = range;
    const req = http.get({ host: '127.0.0.1', port, path: target, headers, agent }, (res) => {
      let n = 0;
      res.on('data', (c) => (n += c.length));
      res.on('end', () => resolve(n));
    });
    req.on('error', reject);
  });
}
const agent = new http.Agent({ keepAlive: true, maxSockets: 4 });

async function throughput(port, file) {
  const target = `/media?path=${encodeURIComponent(file)}`;
  const size = FILE_MB * 1024 * 1024;
  let bytes = 0;
  const t0 = process.hrtime.bigint();
  for (let i = 0; i < 6; i++) bytes += await get(port, target); // whole file
  for (let i = 0; i < 6; i++) bytes += await get(port, target, `bytes=${(i * size) / 8}-`); // open ranges
  let seed = 7;
  const jobs = [];
  for (let i = 0; i < 256; i++) {
    seed = (seed * 1103515245 + 12345) % 2 ** 31;
    const start = seed % (size - 1048576);
    jobs.push(() => get(port, target, `bytes=${start}-${start + 1048575}`)); // 1 MiB seeks
  }
  for (let i = 0; i < jobs.length; i += 4) bytes += (await Promise.all(jobs.slice(i, i + 4).map((j) => j()))).reduce((a, b) => a + b);
  const seconds = Number(process.hrtime.bigint() - t0) / 1e9;
  return bytes / 1024 / 1024 / seconds;
}

function median(xs) {
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-bench-'));
  const file = path.join(dir, 'big.wav');
  fs.writeFileSync(file, Buffer.alloc(FILE_MB * 1024 * 1024, 1));
  const many = path.join(dir, 'many');
  fs.mkdirSync(many);
  for (let i = 0; i < 10000; i++) fs.writeFileSync(path.join(many, `track ${i}.${i % 10 === 0 ? 'txt' : 'mp3'}`), '');

  const ours = await startChild([SERVER_JS], { PORT: '0' });
  const base = await startChild(['-e', BASELINE]);
  try {
    // Warm both, then alternate so neither gets a cooler cache.
    await throughput(ours.port, file);
    await throughput(base.port, file);
    const a = [];
    const b = [];
    for (let round = 0; round < 3; round++) {
      a.push(await throughput(ours.port, file));
      b.push(await throughput(base.port, file));
    }
    const oursMBs = median(a);
    const baseMBs = median(b);
    console.log(`range streaming  ours ${oursMBs.toFixed(0)} MB/s  baseline ${baseMBs.toFixed(0)} MB/s  ratio ${(oursMBs / baseMBs).toFixed(2)}`);

    const listTimes = [];
    const readdirTimes = [];
    let count = 0;
    for (let i = 0; i < 15; i++) {
      let t0 = process.hrtime.bigint();
      const body = await new Promise((resolve, reject) => {
        http.get({ host: '127.0.0.1', port: ours.port, path: `/api/list?dir=${encodeURIComponent(many)}`, headers: { host: `localhost:${ours.port}` }, agent }, (res) => {
          let s = '';
          res.on('data', (c) => (s += c));
          res.on('end', () => resolve(s));
        }).on('error', reject);
      });
      listTimes.push(Number(process.hrtime.bigint() - t0) / 1e6);
      count = JSON.parse(body).files.length;
      t0 = process.hrtime.bigint();
      fs.readdirSync(many, { withFileTypes: true });
      readdirTimes.push(Number(process.hrtime.bigint() - t0) / 1e6);
    }
    const l = median(listTimes.slice(3));
    const r = median(readdirTimes.slice(3));
    console.log(`folder listing   ours ${l.toFixed(1)} ms for ${count} of 10000 files (target < 100 ms)  baseline readdir ${r.toFixed(1)} ms  ratio ${(l / r).toFixed(1)}`);
  } finally {
    ours.child.kill('SIGTERM');
    base.child.kill('SIGTERM');
    agent.destroy();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
