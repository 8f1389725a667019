// Probe server: stands in for the deck server in end-to-end tests. It prints
// a line of its own on stdout and on stderr, logs how it was started (and what
// it printed), each request and each page report as JSON lines in probe.log
// beside itself, and serves a page that defines the native callbacks, reports
// every call of them, and runs the commands the test queues.
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const { json } = require('node:stream/consumers');

const log = (ev, data) => fs.appendFileSync(`${__dirname}/probe.log`, JSON.stringify({ ev, t: Date.now(), ...data }) + '\n');
const cmdline = fs.readFileSync('/proc/self/cmdline', 'utf8').split('\0').slice(0, -1);
const printed = { stdout: `probe ${process.pid} on stdout\n`, stderr: `probe ${process.pid} on stderr\n` };
fs.writeSync(1, printed.stdout);
fs.writeSync(2, printed.stderr);
log('start', { cmdline, env: process.env, pid: process.pid, ppid: process.ppid, printed });
process.on('SIGTERM', () => {
  log('sigterm', {});
  process.exit(0);
});

const CALLBACKS = [
  'setThemeFolderFromNative', 'importBgmFolderFromNative', 'importSamplerPageFolderFromNative', 'setSamplerFileFromNative',
  'samplerConfigSavedFromNative', 'samplerConfigSaveFailedFromNative', 'importSamplerConfigFromNative', 'samplerConfigImportFailedFromNative',
];

// Commands: {op: 'post', channel, body}, {op: 'navigate', url},
// {op: 'alert' | 'confirm' | 'prompt', args}, {op: 'audio'} (how sound
// output and an <audio> element fare) or {op: 'guard'} (a beforeunload
// handler that asks to stay); each is answered by a 'done' report with what
// the call returned. Each page served is a new version of it.
const page = (version) => `<!doctype html><meta charset="utf-8"><title>probe</title>
<style>html,body{margin:0;height:100%;background:#1d6f8a}</style>
<script>
// Sound output running, as under the deck.
const audio = new AudioContext();
const instance = Math.random().toString(36).slice(2);
const report = (data) => fetch('/probe/report', {method: 'POST', body: JSON.stringify({instance, ...data})});
for (const name of ${JSON.stringify(CALLBACKS)}) window[name] = (arg) => report({kind: 'callback', name, arg});
async function poll() {
  for (;;) {
    const res = await fetch('/probe/next?instance=' + instance, {cache: 'no-store'}).catch(() => null);
    if (!res || res.status === 410) return;
    // The next command or, with none queued, a pause.
    const cmd = res.status === 200 ? await res.json() : await new Promise((r) => setTimeout(r, 25));
    if (!cmd) continue;
    const done = {kind: 'done', id: cmd.id};
    try {
      if (cmd.op === 'post') window.webkit.messageHandlers[cmd.channel].postMessage(cmd.body);
      else if (run[cmd.op]) done.value = await run[cmd.op]();
      else if (cmd.op !== 'navigate') done.value = window[cmd.op](...cmd.args);
    } catch (e) {
      done.error = String(e);
    }
    await report(done);
    if (cmd.op === 'navigate') location.href = cmd.url;
  }
}
const run = {
  async audio() {
    for (let i = 0; i < 100 && audio.state !== 'running'; i++) await new Promise((r) => setTimeout(r, 20));
    const element = new Audio('/probe/tone.wav');
    element.loop = true;
    const timeout = new Promise((r) => setTimeout(() => r('still pending after 3 s'), 3000));
    const play = await Promise.race([element.play().then(() => 'resolved', (e) => e.name), timeout]);
    for (let i = 0; i < 150 && element.currentTime < 0.3; i++) await new Promise((r) => setTimeout(r, 20));
    element.pause();
    return {context: audio.state, play, time: element.currentTime};
  },
  guard() {
    window.addEventListener('beforeunload', (e) => { e.preventDefault(); e.returnValue = 'stay'; return 'stay'; });
  },
};
report({kind: 'loaded', version: ${version}}).then(poll);
</script>`;

// Commands go to the page that loaded last, which asks for the next one every
// 25 ms; older pages are told to stop (410).
const commands = [];
let latest = null;
let version = 0;
// While silent, requests for the page are taken and never answered.
let silent = false;

// Two seconds of a 440 Hz tone: 8 kHz, 16-bit mono.
const TONE = (() => {
  const samples = 16000;
  const wav = Buffer.alloc(44 + samples * 2);
  wav.write('RIFF', 0);
  wav.writeUInt32LE(36 + samples * 2, 4);
  wav.write('WAVEfmt ', 8);
  for (const [value, at, size] of [[16, 16, 4], [1, 20, 2], [1, 22, 2], [8000, 24, 4], [16000, 28, 4], [2, 32, 2], [16, 34, 2]]) wav.writeUIntLE(value, at, size);
  wav.write('data', 36);
  wav.writeUInt32LE(samples * 2, 40);
  for (let i = 0; i < samples; i++) wav.writeInt16LE(Math.round(8000 * Math.sin((2 * Math.PI * 440 * i) / 8000)), 44 + i * 2);
  return wav;
})();

async function handle(req, res) {
  const url = new URL(req.url, 'http://localhost');
  if (url.pathname === '/probe/next') {
    if (url.searchParams.get('instance') !== latest) return res.writeHead(410).end();
    const cmd = commands.shift();
    return cmd ? res.writeHead(200, { 'content-type': 'application/json' }).end(JSON.stringify(cmd)) : res.writeHead(204).end();
  }
  log('request', { method: req.method, url: req.url, cache: [req.headers['cache-control'], req.headers.pragma], silent });
  if (url.pathname === '/') {
    if (silent) return;
    // As cacheable as a page can be: only a load that bypasses the cache sees the next version.
    version++;
    const headers = { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'max-age=3600', etag: `"v${version}"`, 'last-modified': new Date(0).toUTCString() };
    return res.writeHead(200, headers).end(page(version));
  }
  if (url.pathname === '/probe/tone.wav') return res.writeHead(200, { 'content-type': 'audio/wav' }).end(TONE);
  if (url.pathname === '/probe/report') {
    const data = await json(req);
    if (data.kind === 'loaded') latest = data.instance;
    log('report', { data });
  } else if (url.pathname === '/probe/command') {
    commands.push(await json(req));
  } else if (url.pathname === '/probe/silent') {
    silent = (await json(req)).silent;
  } else {
    return res.writeHead(404).end();
  }
  res.writeHead(204).end();
}

// The shell asks for "localhost": answer on both loopback families.
for (const host of ['127.0.0.1', '::1']) {
  http.createServer((req, res) => handle(req, res).catch(() => res.writeHead(500).end())).on('error', () => {}).listen(Number(process.env.PORT), host);
}
