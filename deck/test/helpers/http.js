'use strict';
// Loopback requests for the server tests: one request with any headers (Host included), and
// raw bytes for what an HTTP client library would refuse to send. Both give up after 5 s.
const http = require('node:http');
const net = require('node:net');

function request(port, target, { method = 'GET', headers = {}, host = '127.0.0.1' } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(
      { host, port, path: target, method, headers: { host: `localhost:${port}`, ...headers }, agent: false, timeout: 5000 },
      (res) => {
        const chunks = [];
        res.on('data', (c) => chunks.push(c));
        res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
      },
    );
    req.on('timeout', () => req.destroy(new Error(`no answer to ${target} within 5 s`)));
    req.on('error', reject);
    req.end();
  });
}

// Sends raw bytes and resolves with the status line of the answer ('' when the server just
// closed the connection).
function rawRequest(port, text, host = '127.0.0.1') {
  return new Promise((resolve, reject) => {
    const sock = net.connect(port, host, () => sock.write(text));
    let data = '';
    sock.setTimeout(5000, () => sock.destroy(new Error(`no answer to ${JSON.stringify(text.slice(0, 40))} within 5 s`)));
    sock.on('data', (d) => (data += d));
    sock.on('end', () => resolve(data.split('\r\n')[0]));
    sock.on('error', (err) => (err.code === 'ECONNRESET' ? resolve(data.split('\r\n')[0]) : reject(err)));
  });
}

module.exports = { request, rawRequest };
