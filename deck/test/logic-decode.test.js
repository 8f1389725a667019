'use strict';
// Decoding without a browser: what is refused before decoding, and a decode that never
// settles on an engine that queues decodes one behind the other.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { sineWav } = require('./helpers/wav.js');
const { pageModule } = require('./helpers/page-modules.js');

const bytes = (...parts) => new Uint8Array(parts.flatMap((p) => (typeof p === 'string' ? [...Buffer.from(p, 'latin1')] : p))).buffer;

test('only data that can be audio goes to a decoder', async () => {
  const { sniffAudio } = await pageModule('decode.js');
  const wav = sineWav({ seconds: 0.01 });
  const cases = {
    empty: [new ArrayBuffer(0), 'empty'],
    tiny: [bytes('RIFF'), 'short'],
    text: [bytes('this is not audio at all'), 'format'],
    'header only': [wav.buffer.slice(wav.byteOffset, wav.byteOffset + 44), 'empty'],
    'riff, not wave': [bytes('RIFF\0\0\0\0AVI LIST\0\0\0\0'), 'format'],
    wav: [wav, true],
    mp3: [bytes('ID3', [4, 0, 0, 0, 0, 0, 0, 0, 0, 0]), true],
    'mp3 frame': [bytes([0xff, 0xfb, 0x90, 0x64], [0, 0, 0, 0, 0, 0, 0, 0]), true],
    flac: [bytes('fLaC', [0, 0, 0, 34, 0, 0, 0, 0]), true],
    ogg: [bytes('OggS', [0, 2, 0, 0, 0, 0, 0, 0]), true],
    m4a: [bytes([0, 0, 0, 32], 'ftypM4A ', [0, 0, 0, 0]), true],
    aiff: [bytes('FORM', [0, 0, 0, 0], 'AIFF'), true],
  };
  const got = Object.fromEntries(Object.entries(cases).map(([k, [data]]) => [k, ((r) => r.ok || r.reason)(sniffAudio(data))]));
  assert.deepEqual(got, Object.fromEntries(Object.entries(cases).map(([k, [, want]]) => [k, want])));
});

// A context that decodes one buffer at a time, like WebKitGTK's: a buffer it cannot finish
// holds every later one on the same context.
function serialContext(made, stuckSize) {
  let queue = Promise.resolve();
  const ctx = {
    decoded: [],
    decodeAudioData(data) {
      const size = data.byteLength;
      const run = queue.then(() => {
        if (size === stuckSize) return new Promise(() => {});
        if (size === 77) throw new Error('bad data');
        ctx.decoded.push(size);
        return { size };
      });
      queue = run.catch(() => {});
      return run;
    },
  };
  made.push(ctx);
  return ctx;
}

test('a decode that never settles is given up on, and never holds the decodes behind it', async () => {
  const { Decoder } = await pageModule('decode.js');
  const made = [];
  const decoder = new Decoder(() => serialContext(made, 1000), { limitMs: () => 60 });
  const wav = (size) => {
    const b = new Uint8Array(size);
    b.set(Buffer.from('RIFF\0\0\0\0WAVE', 'latin1'));
    return b.buffer;
  };
  const reloads = [];
  const job = (size) => decoder.decode(wav(size), async () => (reloads.push(size), wav(size))).then((b) => b.size, (e) => e.reason);
  const started = Date.now();
  // valid, stuck, valid, broken, valid: every one settles, each with its own answer.
  const results = await Promise.all([job(200), job(1000), job(300), job(77), job(400)]);
  assert.deepEqual(results, [200, 'timeout', 300, 'decode', 400]);
  assert.ok(Date.now() - started < 1000, `settled in ${Date.now() - started} ms`);
  // The stuck file was tried on two contexts; those queued behind it moved on each time.
  assert.equal(decoder.retired, 2);
  assert.deepEqual(reloads.sort((a, b) => a - b), [77, 77, 300, 300, 400, 400, 1000]);
  // Later decodes go to the context that works, at once.
  assert.equal(await job(500), 500);
  assert.deepEqual(made.map((c) => c.decoded), [[200], [], [300, 400, 500]]);
});
