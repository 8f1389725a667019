// Probe server: stands in for the deck server in end-to-end tests.
// It records how it was started and every request and page report as JSON
// lines in probe.log beside itself, and serves a page that defines the native
// callbacks, reports each call, and runs commands that the test queues.
// Behaviour knobs come from probe-config.json beside it (all optional):
//   listenDelayMs   wait this long before listening
//   resetUntilMs    until this long after start, drop every connection at once
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const started = Date.now();
const logFile = path.join(__dirname, 'probe.log');
const log = (ev, data) => fs.appendFileSync(logFile, JSON.stringify({ ev, t: Date.now(), ...data }) + '\n');

let config = {};
try {
  config = JSON.parse(fs.readFileSync(path.join(__dirname, 'probe-config.json'), 'utf8'));
} catch {
  // no config: defaults
}

log('start', {
  argv: process.argv,
  cmdline: fs.readFileSync('/proc/self/cmdline', 'utf8').split('\0').slice(0, -1),
  execPath: process.execPath,
  env: process.env,
  pid: process.pid,
  ppid: process.ppid,
  cwd: process.cwd(),
});

process.on('SIGTERM', () => {
  log('sigterm', {});
  process.exit(0);
});

const CALLBACKS = [
  'setThemeFolderFromNative',
  'importBgmFolderFromNative',
  'importSamplerPageFolderFromNative',
  'setSamplerFileFromNative',
  'samplerConfigSavedFromNative',
  'samplerConfigSaveFailedFromNative',
  'importSamplerConfigFromNative',
  'samplerConfigImportFailedFromNative',
];

const PAGE = `<!doctype html>
<html><head><meta charset="utf-8"><title>probe</title>
<style>html,body{margin:0;height:100%;background:#1d6f8a;color:#fff;font:24px sans-serif}p{margin:0;padding:16px}</style>
</head><body><p id="status">プローブ ページ</p>
<script>
const instance = Math.random().toString(36).slice(2);
const report = (data) => fetch('/probe/report', {
  method: 'POST', headers: {'content-type': 'application/json'},
  body: JSON.stringify({instance, ...data}),
});
for (const name of ${JSON.stringify(CALLBACKS)}) {
  window[name] = function (arg) {
    report({kind: 'callback', name, arg, argType: typeof arg, argc: arguments.length});
  };
}
async function run(cmd) {
  const done = (data) => report({kind: 'done', id: cmd.id, op: cmd.op, ...data});
  try {
    switch (cmd.op) {
      case 'post':
        window.webkit.messageHandlers[cmd.channel].postMessage(cmd.body);
        return done({});
      case 'alert':
        alert(...(cmd.args ?? []));
        return done({});
      case 'confirm':
        return done({value: confirm(...(cmd.args ?? []))});
      case 'prompt': {
        const value = prompt(...(cmd.args ?? []));
        return done({value, isNull: value === null});
      }
      case 'navigate':
        await done({});
        location.href = cmd.url;
        return;
      default:
        return done({error: 'unknown op'});
    }
  } catch (e) {
    return done({error: String(e)});
  }
}
async function poll() {
  for (let i = 0; i < 5000; i++) {
    let res;
    try {
      res = await fetch('/probe/next?instance=' + instance, {cache: 'no-store'});
    } catch {
      return;
    }
    if (res.status === 410) return;
    if (res.status === 200) await run(await res.json());
  }
}
report({kind: 'loaded', href: location.href}).then(poll);
</script></body></html>`;

// Commands go to the page instance that loaded last; older ones are told to stop.
const commands = [];
let latestInstance = null;
let waiter = null;

function deliver() {
  if (!waiter || commands.length === 0) return;
  const { res, timer } = waiter;
  waiter = null;
  clearTimeout(timer);
  const cmd = commands.shift();
  log('delivered', { id: cmd.id });
  res.writeHead(200, { 'content-type': 'application/json', 'cache-control': 'no-store' });
  res.end(JSON.stringify(cmd));
}

function readBody(req) {
  return new Promise((resolve) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
  });
}

async function handle(req, res) {
  const url = new URL(req.url, 'http://localhost');
  if (url.pathname !== '/probe/next') log('request', { method: req.method, url: req.url });
  if (req.method === 'GET' && url.pathname === '/') {
    res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
    res.end(PAGE);
  } else if (req.method === 'POST' && url.pathname === '/probe/report') {
    const data = JSON.parse(await readBody(req));
    if (data.kind === 'loaded') latestInstance = data.instance;
    log('report', { data });
    res.writeHead(204).end();
  } else if (req.method === 'POST' && url.pathname === '/probe/command') {
    const cmd = JSON.parse(await readBody(req));
    commands.push(cmd);
    res.writeHead(204).end();
    deliver();
  } else if (req.method === 'GET' && url.pathname === '/probe/next') {
    if (url.searchParams.get('instance') !== latestInstance) {
      res.writeHead(410).end();
      return;
    }
    if (waiter) {
      clearTimeout(waiter.timer);
      waiter.res.writeHead(204).end();
    }
    const timer = setTimeout(() => {
      if (waiter && waiter.res === res) waiter = null;
      res.writeHead(204).end();
    }, 10000);
    waiter = { res, timer };
    res.on('close', () => {
      if (waiter && waiter.res === res) {
        clearTimeout(timer);
        waiter = null;
      }
    });
    deliver();
  } else {
    res.writeHead(404).end();
  }
}

function listen() {
  const onRequest = (req, res) => {
    handle(req, res).catch(() => res.writeHead(500).end());
  };
  const onConnection = (socket) => {
    if (config.resetUntilMs && Date.now() - started < config.resetUntilMs) {
      log('reset', {});
      socket.destroy();
    }
  };
  // The shell asks for "localhost"; answer on both loopback families.
  const v4 = http.createServer(onRequest).on('connection', onConnection);
  v4.listen(Number(process.env.PORT), '127.0.0.1', () => log('listening', { port: process.env.PORT }));
  const v6 = http.createServer(onRequest).on('connection', onConnection).on('error', () => {});
  v6.listen(Number(process.env.PORT), '::1');
}

setTimeout(listen, config.listenDelayMs ?? 0);
