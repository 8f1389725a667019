'use strict';
// The deck server as the shell runs it (a child `node server.js` with PORT set), and the ways the
// server tests talk to it and read its descriptors and memory.
const fs = require('node:fs');
const net = require('node:net');
const http = require('node:http');
const path = require('node:path');
const { once } = require('node:events');
const { spawn } = require('node:child_process');

const SERVER_JS = path.join(__dirname, '..', '..', 'server.js');
const media = (p) => `/media?path=${encodeURIComponent(p)}`;
const fdCount = (pid) => fs.readdirSync(`/proc/${pid}/fd`).length;
const rssMiB = (pid) => Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) / 1024;

async function freePort() {
  const probe = net.createServer().listen(0, '127.0.0.1');
  await once(probe, 'listening');
  const { port } = probe.address();
  await new Promise((r) => probe.close(r));
  return port;
}

// Resolves once the server listens (it says so on the IPC channel); `output` collects what it prints.
async function startServerProcess() {
  const wanted = await freePort();
  const child = spawn(process.execPath, [SERVER_JS], { env: { ...process.env, PORT: String(wanted) }, stdio: ['ignore', 'pipe', 'pipe', 'ipc'] });
  const server = { child, pid: child.pid, output: '' };
  for (const stream of [child.stdout, child.stderr]) stream.on('data', (d) => (server.output += d));
  [{ ready: server.port }] = await once(child, 'message');
  return server;
}

// One request with any headers, Host included; gives up after 5 s.
function request(port, target, { method = 'GET', headers = {}, host = '127.0.0.1', agent = false } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host, port, path: target, method, headers: { host: `localhost:${port}`, ...headers }, agent, timeout: 5000 }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c)).on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
    });
    req.on('timeout', () => req.destroy(new Error(`no answer to ${target} within 5 s`))).on('error', reject).end();
  });
}

// Raw bytes, for what an HTTP client would refuse to send: the answer's status line ('' when the server just closed).
function rawRequest(port, text) {
  return new Promise((resolve, reject) => {
    let data = '';
    const sock = net.connect(port, '127.0.0.1', () => sock.write(text)).setTimeout(5000, () => sock.destroy(new Error(`no answer to ${JSON.stringify(text.slice(0, 40))}`)));
    sock.on('data', (d) => (data += d)).on('end', () => resolve(data.split('\r\n')[0]));
    sock.on('error', (err) => (err.code === 'ECONNRESET' ? resolve(data.split('\r\n')[0]) : reject(err)));
  });
}

// Polls the child's descriptor count (there is no event to await) until it is back to `fds`, for at most 5 s.
async function fdsBackTo(pid, fds) {
  for (let deadline = Date.now() + 5000; fdCount(pid) > fds && Date.now() < deadline;) await new Promise((r) => setTimeout(r, 20));
  return fdCount(pid);
}

module.exports = { SERVER_JS, media, fdCount, rssMiB, freePort, startServerProcess, request, rawRequest, fdsBackTo };
