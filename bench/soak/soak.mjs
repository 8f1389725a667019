// A soak of the real shell: for BENCH_SOAK_MINUTES (30) the deck server is
// down, then up, then killed, over and over, while the shell keeps retrying.
// Each time the server answers, the page must be shown again within about a
// second; the shell must gather no zombies, file descriptors or memory.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import path from 'node:path';
import { childrenOf, fdCount, here, listening, memory, settle, startDisplay, startShell, waitEvent } from '../shell/lib.mjs';

const [binary] = process.argv.slice(2);
const minutes = Number(process.env.BENCH_SOAK_MINUTES ?? 30);
const pageServer = path.join(here, 'page_server.js');
const env = await startDisplay();
// The shell's own server exits at once; this soak runs the real one itself.
const shell = startShell(binary, pageServer, { ...env, BENCH_DOWN: '1' });

const samples = [];
const shownAfter = [];
const end = Date.now() + minutes * 60_000;
for (let cycle = 0; Date.now() < end; cycle++) {
  await settle(5_000 + (cycle % 4) * 2_000); // down for 5 to 11 s
  const server = spawn('node', [pageServer], { env: { ...process.env, PORT: '4177', BENCH_RELOAD_ON_LOSS: '1' }, stdio: 'ignore' });
  await listening(4177, true);
  const answering = Date.now();
  const loaded = await waitEvent(4177, 'loaded');
  shownAfter.push(loaded.t - answering);
  await settle(10_000); // up for 10 s
  server.kill('SIGKILL');
  await once(server, 'exit');
  const children = childrenOf(shell.pid);
  samples.push({ cycle, fds: fdCount(shell.pid), rss: memory(shell.pid).rss, zombies: children.filter((c) => c.state === 'Z').length });
}
shell.kill('SIGTERM');
const [code] = await once(shell, 'exit');

const first = samples[0];
const last = samples.at(-1);
const sorted = [...shownAfter].sort((a, b) => a - b);
console.log(`| soak figure (${minutes} min, ${samples.length} cycles) | value |\n|---|---|`);
console.log(`| server answering → page shown, median / max | ${sorted[Math.floor(sorted.length / 2)]} ms / ${sorted.at(-1)} ms |`);
console.log(`| shell open fds, first cycle → last | ${first.fds} → ${last.fds} |`);
console.log(`| shell RSS, first cycle → last | ${first.rss.toFixed(1)} MB → ${last.rss.toFixed(1)} MB |`);
console.log(`| zombie children, most at once | ${Math.max(...samples.map((s) => s.zombies))} |`);
console.log(`| shell exit status after SIGTERM | ${code} |`);
process.exit(0);
