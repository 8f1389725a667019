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

// Commands: {op: 'post', channel, body}, {op: 'navigate', url}, or
// {op: 'alert' | 'confirm' | 'prompt', args}; each is answered by a 'done'
// report with what the call returned.
const PAGE = `<!doctype html><meta charset="utf-8"><title>probe</title>
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
      else if (cmd.op !== 'navigate') done.value = window[cmd.op](...cmd.args);
    } catch (e) {
      done.error = String(e);
    }
    await report(done);
    if (cmd.op === 'navigate') location.href = cmd.url;
  }
}
report({kind: 'loaded'}).then(poll);
</script>`;

// Commands go to the page that loaded last, which asks for the next one every
// 25 ms; older pages are told to stop (410).
const commands = [];
let latest = null;

async function handle(req, res) {
  const url = new URL(req.url, 'http://localhost');
  if (url.pathname === '/probe/next') {
    if (url.searchParams.get('instance') !== latest) return res.writeHead(410).end();
    const cmd = commands.shift();
    return cmd ? res.writeHead(200, { 'content-type': 'application/json' }).end(JSON.stringify(cmd)) : res.writeHead(204).end();
  }
  log('request', { method: req.method, url: req.url });
  if (url.pathname === '/') {
    return res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' }).end(PAGE);
  }
  if (url.pathname === '/probe/report') {
    const data = await json(req);
    if (data.kind === 'loaded') latest = data.instance;
    log('report', { data });
  } else if (url.pathname === '/probe/command') {
    commands.push(await json(req));
  } else {
    return res.writeHead(404).end();
  }
  res.writeHead(204).end();
}

// The shell asks for "localhost": answer on both loopback families.
for (const host of ['127.0.0.1', '::1']) {
  http.createServer((req, res) => handle(req, res).catch(() => res.writeHead(500).end())).on('error', () => {}).listen(Number(process.env.PORT), host);
}
