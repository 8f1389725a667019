// Decoding audio files without letting one bad file hold up the rest.
//
// Some engines (WebKitGTK among them) never settle decodeAudioData on an empty or odd buffer,
// and every later decode on the same context waits behind it. So: data that cannot be audio is
// refused before it reaches a decoder, every decode has a time limit, and a decoder that ran
// out of time is retired: the decodes queued behind it start again on a fresh one.

// What the first bytes of a file say about it: an audio container we know, or not.
export function sniffAudio(bytes) {
  const b = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
  if (b.length < 12) return { ok: false, reason: b.length === 0 ? 'empty' : 'short' };
  const ascii = (at, n) => String.fromCharCode(...b.subarray(at, at + n));
  const tag = ascii(0, 4);
  if (tag === 'RIFF' || tag === 'RIFX' || tag === 'RF64') {
    if (ascii(8, 4) !== 'WAVE') return { ok: false, reason: 'format' };
    return b.length > 44 ? { ok: true } : { ok: false, reason: 'empty' }; // a header and no samples
  }
  if (tag === 'FORM') return ['AIFF', 'AIFC'].includes(ascii(8, 4)) ? { ok: true } : { ok: false, reason: 'format' };
  if (tag === 'fLaC' || tag === 'OggS' || ascii(0, 3) === 'ID3' || ascii(4, 4) === 'ftyp') return { ok: true };
  if (b[0] === 0xff && (b[1] & 0xe0) === 0xe0) return { ok: true }; // an MPEG or ADTS frame
  return { ok: false, reason: 'format' };
}

export class DecodeError extends Error {
  constructor(reason) {
    super(reason);
    this.reason = reason; // 'empty' | 'short' | 'format' | 'timeout' | 'decode'
  }
}

// Decodes through contexts from makeContext(); each decode gets limitMs(bytes) to finish. When
// one runs out of time its context is retired and the decodes still waiting on it move to a
// new context; the one that ran out is tried once more there before it is given up on.
export class Decoder {
  constructor(makeContext, { limitMs = (bytes) => 4000 + bytes / 2000 } = {}) {
    this.makeContext = makeContext;
    this.limitMs = limitMs;
    this.ctx = null;
    this.pending = new Set(); // jobs on this.ctx
    this.retired = 0;
  }

  // data: the file's bytes (handed over: decoding detaches them); reload(): the same bytes
  // again, for a second try on another context.
  decode(data, reload) {
    const check = sniffAudio(data);
    if (!check.ok) return Promise.reject(new DecodeError(check.reason));
    return new Promise((resolve, reject) => this.#run({ data, reload, resolve, reject, tries: 0 }));
  }

  #context() {
    if (!this.ctx) this.ctx = this.makeContext();
    return this.ctx;
  }

  #run(job) {
    const ctx = this.#context();
    job.ctx = ctx;
    job.tries++;
    const bytes = job.data.byteLength;
    this.pending.add(job);
    const settle = (fn, value) => {
      if (job.ctx !== ctx || !this.pending.has(job)) return; // moved on meanwhile
      clearTimeout(job.timer);
      this.pending.delete(job);
      fn(value);
    };
    job.timer = setTimeout(() => this.#timedOut(job, ctx), this.limitMs(bytes));
    let started;
    try {
      started = ctx.decodeAudioData(job.data);
    } catch (err) {
      started = Promise.reject(err);
    }
    Promise.resolve(started).then(
      (buffer) => settle(job.resolve, buffer),
      () => settle(job.reject, new DecodeError('decode')),
    );
  }

  #timedOut(job, ctx) {
    if (!this.pending.has(job) || job.ctx !== ctx) return;
    // This context may be stuck: nothing more goes to it.
    if (this.ctx === ctx) {
      this.ctx = null;
      this.retired++;
    }
    const waiting = [...this.pending].filter((j) => j.ctx === ctx);
    for (const j of waiting) {
      clearTimeout(j.timer);
      this.pending.delete(j);
    }
    for (const j of waiting) {
      if (j === job && j.tries >= 2) j.reject(new DecodeError('timeout'));
      else this.#again(j);
    }
  }

  async #again(job) {
    try {
      job.data = await job.reload();
    } catch {
      job.reject(new DecodeError('timeout'));
      return;
    }
    this.#run(job);
  }
}
