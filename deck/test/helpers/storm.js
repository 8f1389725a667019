'use strict';
// Many concurrent range requests for one file over loopback, most of them abandoned by the
// client at a random moment: before any answer, after the first bytes, part-way through the
// body, or after stalling (not reading) for the rest of the storm. Bounded in count and time.
const net = require('node:net');

const MODES = ['before-answer', 'first-bytes', 'mid-body', 'stall', 'complete'];

// A small deterministic generator, so a failing storm can be replayed.
function random(seed) {
  let s = seed >>> 0 || 1;
  return () => {
    s ^= s << 13;
    s ^= s >>> 17;
    s ^= s << 5;
    return (s >>> 0) / 2 ** 32;
  };
}

function rangeFor(rand, size) {
  const r = rand();
  if (r < 0.1) return `bytes=${Math.floor(rand() * size)}-`;
  if (r < 0.2) return `bytes=-${1 + Math.floor(rand() * size)}`;
  const start = Math.floor(rand() * size);
  return `bytes=${start}-${start + Math.floor(rand() * 2 * 1024 * 1024)}`;
}

// Resolves with a count per mode and per outcome once every socket is closed on our side.
// Rejects when the storm outlasts `deadlineMs`.
function storm({ port, target, size, count = 1000, seed = 1, deadlineMs = 20000, host = `localhost:${port}` }) {
  const rand = random(seed);
  const tally = { sent: 0, complete: 0, aborted: 0, errors: 0, statuses: {} };
  const stalled = [];
  return new Promise((resolve, reject) => {
    let open = count;
    let stalledOpen = 0;
    const timer = setTimeout(() => {
      for (const s of sockets) s.destroy();
      reject(new Error(`storm still running after ${deadlineMs} ms with ${open} sockets open`));
    }, deadlineMs);
    // The stalled ones let go once everyone else is done.
    const releaseStalled = () => open > 0 && open === stalledOpen && stalled.forEach((s) => s.destroy());
    const closed = (wasStalled) => {
      open--;
      if (wasStalled) stalledOpen--;
      releaseStalled();
      if (open === 0) {
        clearTimeout(timer);
        resolve(tally);
      }
    };
    const sockets = [];
    for (let i = 0; i < count; i++) {
      const mode = MODES[Math.floor(rand() * MODES.length)];
      const range = rangeFor(rand, size);
      const cut = Math.floor(rand() * 256 * 1024);
      const socket = net.connect(port, '127.0.0.1');
      sockets.push(socket);
      let head = '';
      let body = 0;
      socket.on('connect', () => {
        socket.write(`GET ${target} HTTP/1.1\r\nHost: ${host}\r\nRange: ${range}\r\nConnection: close\r\n\r\n`);
        tally.sent++;
        if (mode === 'before-answer') socket.destroy();
      });
      socket.on('data', (chunk) => {
        if (!head.includes('\r\n\r\n')) {
          head += chunk.toString('latin1', 0, Math.min(chunk.length, 1024));
          const status = head.slice(9, 12);
          tally.statuses[status] = (tally.statuses[status] || 0) + 1;
        }
        body += chunk.length;
        if (mode === 'first-bytes' || (mode === 'mid-body' && body >= cut)) socket.destroy();
        else if (mode === 'stall' && !stalled.includes(socket)) {
          socket.pause();
          stalled.push(socket);
          stalledOpen++;
          releaseStalled();
        }
      });
      socket.on('end', () => (tally.complete += 1));
      socket.on('error', () => (tally.errors += 1));
      socket.on('close', () => {
        if (mode !== 'complete') tally.aborted += 1;
        closed(stalled.includes(socket));
      });
    }
  });
}

module.exports = { storm, MODES };
