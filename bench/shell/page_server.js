// The page the shell benchmarks load, and the clock they read: every request
// for the page, every page load and every mark the page sends is logged with
// the server's time; /wait?event=NAME&after=N answers with the first such
// event past entry N, as soon as it exists. BENCH_DOWN=1 makes a server that
// exits at once (the shell then retries for as long as it runs).
'use strict';
const http = require('node:http');

if (process.env.BENCH_DOWN === '1') process.exit(0);

const events = [];
const waiters = [];

function log(event, detail = {}) {
  events.push({ event, t: Date.now(), ...detail });
  for (const waiter of waiters.splice(0)) waiter();
}

// With BENCH_RELOAD_ON_LOSS=1 the page reloads itself when the server goes
// away, so the shell has a failed navigation to recover from.
const reloadOnLoss = process.env.BENCH_RELOAD_ON_LOSS === '1';

const page = `<!doctype html><meta charset="utf-8"><title>bench</title>
<body style="background:#1d2230;color:#eee;font:20px sans-serif">ベンチマーク
<script>
const reloadOnLoss = ${reloadOnLoss};
const mark = (name, extra = '') => fetch('/mark?name=' + name + '&t=' + Date.now() + extra);
window.setThemeFolderFromNative = (path) => mark('callback', '&path=' + encodeURIComponent(path));
addEventListener('load', () => fetch('/loaded?t=' + Date.now()).then(next));
// Commands arrive over a held request, so an idle page does no work at all.
function next() {
  fetch('/command').then((r) => r.json()).then((command) => {
    if (command.post) {
      mark('posted');
      window.webkit.messageHandlers[command.post].postMessage(command.body);
    }
    next();
  }, () => (reloadOnLoss ? location.reload() : setTimeout(next, 1000)));
}
</script>`;

let commandWaiter = null;

function handle(req, res) {
  const url = new URL(req.url, 'http://localhost');
  if (url.pathname === '/') {
    log('request');
    res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
    return res.end(page);
  }
  if (url.pathname === '/loaded' || url.pathname === '/mark') {
    log(url.pathname === '/loaded' ? 'loaded' : url.searchParams.get('name'), {
      page: Number(url.searchParams.get('t')),
      path: url.searchParams.get('path') ?? undefined,
    });
    return res.end();
  }
  if (url.pathname === '/command') {
    commandWaiter = res;
    return;
  }
  if (url.pathname === '/send' && req.method === 'POST') {
    let body = '';
    req.on('data', (chunk) => (body += chunk));
    req.on('end', () => {
      commandWaiter?.end(body);
      commandWaiter = null;
      res.end();
    });
    return;
  }
  if (url.pathname === '/wait') {
    const name = url.searchParams.get('event');
    const after = Number(url.searchParams.get('after') ?? 0);
    const answer = () => {
      const index = events.findIndex((e, i) => i >= after && e.event === name);
      if (index < 0) return false;
      res.end(JSON.stringify({ index, ...events[index] }));
      return true;
    };
    if (!answer()) {
      const retry = () => answer() || waiters.push(retry);
      waiters.push(retry);
    }
    return;
  }
  if (url.pathname === '/events') return res.end(JSON.stringify(events));
  res.writeHead(404).end();
}

// localhost may mean either loopback address.
for (const host of ['127.0.0.1', '::1']) {
  http.createServer(handle).listen(Number(process.env.PORT), host).on('error', () => {});
}
process.on('SIGTERM', () => process.exit(0));
