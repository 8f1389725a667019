// Measures loudness off the page's main thread. The page sends a file as {id, start, rate,
// channels}, then {id, chunk: [Float32Array per channel]} a second at a time, each answered
// {id, ack, chunk} once measured, the chunk's arrays handed back for the page's next seconds
// (it sends the next only then), then {id, end}; the answer is {id, result}.
import { LoudnessMeter } from './loudness.js';

const meters = new Map();
self.onmessage = ({ data }) => {
  if (data.start) meters.set(data.id, new LoudnessMeter(data.rate, data.channels));
  else if (data.chunk) {
    meters.get(data.id)?.push(data.chunk);
    self.postMessage({ id: data.id, ack: true, chunk: data.chunk }, data.chunk.map((c) => c.buffer)); // back, for the next seconds
  } else if (data.end) {
    const meter = meters.get(data.id);
    meters.delete(data.id);
    self.postMessage({ id: data.id, result: meter ? meter.result() : null });
  }
};
