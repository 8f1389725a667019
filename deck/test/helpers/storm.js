'use strict';
// Many concurrent range requests for one file over loopback, most abandoned by the client at a
// random moment: before any answer, after the first bytes, part-way through the body, or after
// stalling (not reading) until all the others are done. Bounded in count and time.
const net = require('node:net');

const MODES = ['before-answer', 'first-bytes', 'mid-body', 'stall', 'complete'];

// Resolves with {sent, complete, aborted, errors, statuses} once every socket is closed on our
// side; rejects when the storm outlasts deadlineMs. The same seed gives the same storm.
function storm({ port, target, size, count = 1000, seed = 1, deadlineMs = 20000 }) {
  let s = seed >>> 0 || 1;
  const below = (n) => Math.floor((((s ^= s << 13), (s ^= s >>> 17), (s ^= s << 5)) >>> 0) / 2 ** 32 * n); // xorshift32
  const tally = { sent: 0, complete: 0, aborted: 0, errors: 0, statuses: {} };
  const sockets = [];
  const stalled = new Set();
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      sockets.forEach((socket) => socket.destroy());
      reject(new Error(`storm still running after ${deadlineMs} ms with ${sockets.length} sockets open`));
    }, deadlineMs);
    // Once only stalled sockets are left, they let go.
    const releaseStalled = () => sockets.length === stalled.size && stalled.forEach((other) => other.destroy());
    for (let i = 0; i < count; i++) {
      const mode = MODES[below(MODES.length)];
      const r = below(10);
      const range = r < 1 ? `${below(size)}-` : r < 2 ? `-${1 + below(size)}` : ((a) => `${a}-${a + below(2 * 1024 * 1024)}`)(below(size));
      const cut = below(256 * 1024);
      const socket = net.connect(port, '127.0.0.1', () => {
        socket.write(`GET ${target} HTTP/1.1\r\nHost: localhost:${port}\r\nRange: bytes=${range}\r\nConnection: close\r\n\r\n`);
        tally.sent++;
        if (mode === 'before-answer') socket.destroy();
      });
      sockets.push(socket);
      let head = '';
      let body = 0;
      socket.on('data', (chunk) => {
        if (!head.includes('\r\n\r\n')) {
          head += chunk.toString('latin1', 0, 1024);
          tally.statuses[head.slice(9, 12)] = (tally.statuses[head.slice(9, 12)] || 0) + 1;
        }
        body += chunk.length;
        if (mode === 'first-bytes' || (mode === 'mid-body' && body >= cut)) socket.destroy();
        else if (mode === 'stall' && !stalled.has(socket)) {
          stalled.add(socket.pause());
          releaseStalled();
        }
      });
      socket.on('end', () => tally.complete++).on('error', () => tally.errors++).on('close', () => {
        if (mode !== 'complete') tally.aborted++;
        sockets.splice(sockets.indexOf(socket), 1);
        stalled.delete(socket);
        releaseStalled();
        if (sockets.length === 0) {
          clearTimeout(timer);
          resolve(tally);
        }
      });
    }
  });
}

module.exports = { storm };
