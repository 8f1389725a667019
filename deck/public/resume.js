// After a reload the BGM plays on before the rest of the deck has loaded. If the last page left
// the BGM playing a moment ago in a WAV or MP3 file whose layout it knew, boot.js (the page's
// first script) makes the audio context and asks for the track's next seconds from where it was
// heard, as byte ranges; this module (run next, async) turns them into samples (WAV: itself;
// MP3: the browser's decoder, frame by frame, see mpeg.js) and starts them at once: the bridge. The BGM player takes it over once the deck is built (adopt): the bridge
// then sounds through the player's own chain (crossfade gain, levelling, ducking, buses) and
// the player's element starts there, silent, a little ahead. The element's own clock cannot
// say what it gives the graph (in WebKitGTK its currentTime runs about a second ahead of
// that), so the bridge finds the element's latest samples in its own, holds the element back
// by exactly the difference and crossfades into it: sample for sample the same music.

import { FrameReader, mpegPlan } from './mpeg.js';

// Nothing else imported: little to fetch before this runs. (The same URLs as api.js's mediaUrl.)
const mediaUrl = (path) => `/media?path=${encodeURIComponent(path)}`;
const request = (path, start, end) => fetch(mediaUrl(path), { headers: { Range: `bytes=${start}-${end}` }, cache: 'no-store', priority: 'high' });

export const PLAYING_KEY = 'jaunvel.deck.playing';
const RESUME_WITHIN_MS = 60000;
const FIRST_SECONDS = 1; // started as soon as they arrive
const START_WITHIN_MS = 1500; // a bridge not started by then gives way to the element
const BRIDGE_SECONDS = 12; // what the bridge asks for at first
const MORE_SECONDS = 4; // then, as long as the element has not taken over, this much more at a time,
const MORE_BEFORE = 3; // asked for when the bridge has this little left,
const BRIDGE_MAX_SECONDS = 60; // up to this much in all: an element not in step by then is heard as it is
const FADE = 0.05; // the resume's fade-in, as the player's own
const ADOPT_AFTER = 0.06; // the player's buses reach their levels in 50 ms
const HANDOVER = 0.02; // the crossfade into the element
const LEAD = 0.5; // seconds the element starts ahead of the bridge: more than it takes to start
const ALIGN_EVERY_MS = 50; // how often the element's samples are looked for while it starts
const PROBE = 512; // samples of the element's looked for in the bridge's
const STEADY = 4; // times in a row the element must be found equally far ahead
const UNSURE = 20; // times after its start its sound could not be placed for sure: its start is gone by then
const RIVAL = 4; // a place fits clearly when every other fits this many times worse
const NEAR = 8; // samples around the best place that are the same place
const QUIET_BEFORE = 64; // zero samples before the element's first that show where it started
const SEEK_SLACK = 0.1; // seconds a seek may land away from where it was sent
const STUCK = 2; // seconds an element playing may keep its clock still before it is sent on again
const HEADER_BYTES = 65536;
const ALIGN_MAX_SECONDS = 4; // the player's delay line holds this much

// --- WAV ---------------------------------------------------------------------------------

// The sample layout of a WAV file from its first bytes: {offset, size, rate, channels, bits,
// float} (offset and size of the data chunk in bytes), or null for anything else.
export function wavLayout(bytes) {
  const b = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
  const v = new DataView(b.buffer, b.byteOffset, b.byteLength);
  const tag = (at) => String.fromCharCode(b[at], b[at + 1], b[at + 2], b[at + 3]);
  if (b.length < 12 || tag(0) !== 'RIFF' || tag(8) !== 'WAVE') return null;
  let fmt = null;
  for (let at = 12; at + 8 <= b.length;) {
    const size = v.getUint32(at + 4, true);
    if (tag(at) === 'fmt ' && at + 24 <= b.length) {
      let format = v.getUint16(at + 8, true);
      if (format === 0xfffe && size >= 26 && at + 34 <= b.length) format = v.getUint16(at + 32, true); // extensible: its sub-format
      fmt = { format, channels: v.getUint16(at + 10, true), rate: v.getUint32(at + 12, true), bits: v.getUint16(at + 22, true) };
    } else if (tag(at) === 'data') {
      if (!fmt || !fmt.channels || !fmt.rate) return null;
      const float = fmt.format === 3 && fmt.bits === 32;
      if (!float && !(fmt.format === 1 && [8, 16, 24, 32].includes(fmt.bits))) return null;
      return { offset: at + 8, size, rate: fmt.rate, channels: fmt.channels, bits: fmt.bits, float };
    }
    at += 8 + size + (size & 1);
  }
  return null;
}

// The bytes (inclusive range) holding `seconds` of audio from second `from`, whole frames only.
export function wavRange(layout, from, seconds) {
  const block = layout.channels * (layout.bits / 8);
  const total = Math.floor(layout.size / block);
  const first = Math.min(total, Math.max(0, Math.round(from * layout.rate)));
  const frames = Math.min(total - first, Math.round(seconds * layout.rate));
  const start = layout.offset + first * block;
  return { start, end: start + frames * block - 1, frames, from: first / layout.rate };
}

// What a bridge from second `time` of a track (`layout`: a WAV file's, or an MP3 file's frames)
// asks for: `seconds` of it, its `firstSeconds` apart from the rest, each part {range: inclusive
// bytes, from, until, drop: seconds decoded before `from`}, as {from, until, parts}; null when
// it cannot. The first ranges are saved with the playing state, so boot.js can ask before any
// module has loaded.
export function bridgePlan(layout, time, seconds = BRIDGE_SECONDS, firstSeconds = FIRST_SECONDS) {
  if (layout.mpeg) return mpegPlan(layout, time, seconds, firstSeconds);
  const { start, frames, from } = wavRange(layout, time, seconds);
  if (frames <= 0) return null;
  const block = layout.channels * (layout.bits / 8);
  const first = Math.min(frames, Math.round(firstSeconds * layout.rate));
  const part = (a, b) => ({ range: [start + a * block, start + b * block - 1], from: from + a / layout.rate, until: from + b / layout.rate, drop: 0 });
  const parts = first < frames ? [part(0, first), part(first, frames)] : [part(0, frames)];
  return { from, until: from + frames / layout.rate, parts };
}

// What the playing state keeps of a track's layout for a bridge from second `time`: {wav} or
// {mpeg} (the frames the bridge reads, which also serve the next reload's), and the ranges.
export function bridgeSaved(layout, time) {
  const plan = layout && bridgePlan(layout, time);
  if (!plan) return {};
  const parts = plan.parts.map((p) => p.range);
  if (!layout.mpeg) return { wav: layout, parts };
  const [a, b] = plan.frames;
  return { mpeg: { ...layout, first: a, offsets: layout.offsets.slice(a - layout.first, b - layout.first + 3), partial: true }, parts };
}

// Interleaved PCM bytes as one Float32Array a channel.
export function pcmToChannels(layout, bytes) {
  const { channels, bits, float } = layout;
  const width = bits / 8;
  const v = new DataView(bytes.buffer || bytes, bytes.byteOffset || 0, bytes.byteLength);
  const frames = Math.floor(bytes.byteLength / (width * channels));
  const out = Array.from({ length: channels }, () => new Float32Array(frames));
  for (let c = 0; c < channels; c++) {
    const data = out[c];
    for (let i = 0, at = c * width; i < frames; i++, at += width * channels) {
      if (float) data[i] = v.getFloat32(at, true);
      else if (bits === 16) data[i] = v.getInt16(at, true) / 32768;
      else if (bits === 24) data[i] = ((v.getUint8(at) | (v.getUint8(at + 1) << 8) | (v.getInt8(at + 2) << 16)) / 8388608);
      else if (bits === 32) data[i] = v.getInt32(at, true) / 2147483648;
      else data[i] = (v.getUint8(at) - 128) / 128;
    }
  }
  return out;
}

// Where `probe` lies in `pcm` (both one channel at the file's rate), searched from index `from`:
// the index just past its last sample; -1 when nowhere, when the probe is silence, or when it
// fits more than one place about as well (a held tone, a loop): that says nothing either.
export function locate(pcm, probe, from = 0) {
  const n = probe.length;
  let energy = 0;
  for (let i = 0; i < n; i++) energy += probe[i] * probe[i];
  if (energy < 1e-7 * n) return -1;
  let best = -1;
  let bestErr = energy * 0.05;
  let rival = Infinity; // the closest fit away from the best
  for (let o = Math.max(0, from); o + n <= pcm.length; o++) {
    const bound = Math.min(rival, bestErr * RIVAL);
    let err = 0;
    for (let i = 0; i < n && err < bound; i++) {
      const d = pcm[o + i] - probe[i];
      err += d * d;
    }
    if (err >= bound) continue;
    if (err < bestErr) {
      if (best >= 0 && o - best > NEAR) rival = bestErr;
      bestErr = err;
      best = o;
    } else if (o - best > NEAR) rival = err;
  }
  return best >= 0 && rival > bestErr * RIVAL ? best + n : -1;
}

// Of the places within `radius` of index `expected` (just past the probe's end), the one that
// fits best or, among those that fit about as well, the nearest: the index past its end, or -1.
export function nearest(pcm, probe, expected, radius) {
  const n = probe.length;
  const errs = [];
  for (let end = Math.max(n, expected - radius); end <= Math.min(pcm.length, expected + radius); end++) {
    let err = 0;
    for (let i = 0; i < n; i++) err += (pcm[end - n + i] - probe[i]) ** 2;
    errs.push([err, end]);
  }
  if (!errs.length) return -1;
  const least = Math.min(...errs.map(([err]) => err));
  let best = -1;
  for (const [err, end] of errs) if (err <= least * 1.5 + 1e-9 && (best < 0 || Math.abs(end - expected) < Math.abs(best - expected))) best = end;
  return best;
}

// A file's first bytes (as much of them as a header can take), asked for as a byte range:
// {head, etag, size: the whole file's}, or null when the server does not give them.
export async function readHead(path, options = {}) {
  const res = await fetch(mediaUrl(path), { cache: 'no-store', ...options, headers: { Range: `bytes=0-${HEADER_BYTES - 1}` } });
  if (!res.ok) {
    res.body?.cancel();
    return null;
  }
  const size = Number(/\/(\d+)$/.exec(res.headers.get('Content-Range'))?.[1]);
  return { head: new Uint8Array(await res.arrayBuffer()), etag: res.headers.get('ETag'), size };
}

// The layout of a track (and the version of the file it was read from), for the next reload:
// a WAV file's from its first bytes; an MP3 file's frames, read through once as it downloads.
export async function readLayout(path) {
  const first = await readHead(path);
  if (!first) return null;
  const { head, etag } = first;
  const wav = wavLayout(head);
  if (wav) return { ...wav, etag };
  const frames = new FrameReader();
  frames.push(head, head.length < HEADER_BYTES);
  if (!frames.layout && String.fromCharCode(...head.subarray(0, 3)) !== 'ID3') return null; // neither
  if (!frames.ended) {
    const rest = await fetch(mediaUrl(path), { headers: { Range: `bytes=${head.length}-` }, cache: 'no-store' });
    if (rest.status !== 206 || rest.headers.get('ETag') !== etag) {
      rest.body?.cancel();
      return null;
    }
    const reader = rest.body.getReader();
    for (let r; !frames.ended && !(r = await reader.read()).done;) frames.push(r.value);
    if (frames.ended) reader.cancel();
    else frames.push(new Uint8Array(0), true);
  }
  return frames.layout && frames.offsets.length > 1 ? { ...frames.layout, mpeg: true, first: 0, offsets: frames.offsets, etag } : null;
}

// --- the audio context and what the last page left playing --------------------------------

let context = null;
// The page's one audio context (the engine's), made here when the bridge needs it first.
export function audioContext() {
  const Ctx = window.AudioContext || window.webkitAudioContext;
  return (context ??= window.__jaunvelResume?.context || new Ctx({ latencyHint: 'interactive' }));
}

function readPlaying() {
  try {
    const saved = JSON.parse(localStorage.getItem(PLAYING_KEY) || 'null');
    return saved && Date.now() - saved.at < RESUME_WITHIN_MS ? saved : null;
  } catch {
    return null;
  }
}

// What was sounding when the last page went away, if that was a moment ago (read once).
export const playing = readPlaying();

class Bridge {
  // music: {path, time, wav or mpeg: layout and etag, gain: the BGM's level through the chain then}
  constructor(music, plan) {
    this.path = music.path;
    this.layout = music.wav || music.mpeg;
    this.lead = LEAD;
    this.from = plan.from;
    this.until = this.from;
    this.asked = plan.until; // the end of what has been asked for
    this.startedAt = null; // context time of the bridge's first sample
    this.sources = [];
    this.done = false;
    this.finished = new Promise((resolve) => (this.settle = resolve)); // handed over, cut short or run out
    this.delay = null; // once handed over: how far the element was held back, seconds
    this.found = null; // how far ahead of the bridge the element was last found, seconds
    this.steady = 0; // times in a row it was found there
    this.clockAhead = null; // once handed over: how far the element's clock runs ahead of what it gives
    const ctx = (this.ctx = audioContext());
    this.rate = this.layout.rate;
    this.pcm = new Float32Array(Math.round((plan.until - plan.from) * this.rate)); // the first channel, for finding the element's samples in
    // The first second and the rest, asked for side by side (by boot.js, if it could); the
    // first starts as it comes.
    const ranges = plan.parts.map((p) => p.range);
    const early = window.__jaunvelResume;
    const asked = early?.path === this.path && JSON.stringify(early.ranges) === JSON.stringify(ranges) ? early.parts : null;
    const [first, rest] = ranges.map(([start, end], i) => this.#bytes(asked ? asked[i] : request(this.path, start, end)).then((bytes) => this.#buffer(bytes)));
    rest?.catch(() => {}); // the first part decides
    this.input = ctx.createGain(); // the resume's fade-in, and a fade-out when cut short
    this.early = ctx.createGain(); // straight out, at the level the BGM had, until the player takes over
    this.late = ctx.createGain(); // through the player's chain
    this.early.gain.value = Math.max(0, Math.min(1, Number(music.gain) || 0));
    this.late.gain.value = 0;
    this.input.connect(this.early).connect(ctx.destination);
    this.input.connect(this.late);
    // A part that does not come, or a decoder that does not answer: the element plays alone.
    this.limit = setTimeout(() => this.startedAt === null && this.#ranOut(), START_WITHIN_MS);
    this.started = first.then((buffer) => {
      this.#play(buffer, plan.parts[0]);
      rest?.then((more) => this.#play(more, plan.parts[1]), () => {});
      return true;
    }).catch(() => {
      this.#ranOut();
      return false;
    });
  }

  // A part's bytes as an AudioBuffer: WAV samples as they are, MP3 frames decoded.
  async #buffer(bytes) {
    if (!this.layout.mpeg) {
      const channels = pcmToChannels(this.layout, bytes);
      const buffer = this.ctx.createBuffer(channels.length, channels[0].length, this.layout.rate);
      channels.forEach((data, c) => buffer.copyToChannel(data, c));
      return buffer;
    }
    // Decoded at the file's own rate, as the samples of a WAV file are: no resampling in between.
    return (this.decoder ??= new OfflineAudioContext(1, 1, this.layout.rate)).decodeAudioData(bytes);
  }

  async #bytes(asked) {
    const res = await asked;
    // Another file under the same name, or no range: these are not the bytes asked for.
    if (res.status !== 206 || (this.layout.etag && res.headers.get('ETag') !== this.layout.etag)) {
      res.body?.cancel();
      throw new Error('changed');
    }
    return res.arrayBuffer();
  }

  // Plays a part ({from, until, drop}, see bridgePlan) of the bridge, in step with what came before.
  #play(buffer, part) {
    if (this.done) return;
    const frame = Math.round((part.from - this.from) * this.rate);
    const skip = Math.round(part.drop * this.rate);
    const frames = Math.min(buffer.length - skip, Math.round((part.until - part.from) * this.rate));
    if (frames <= 0) return;
    const ctx = this.ctx;
    if (frame + frames > this.pcm.length) {
      const pcm = new Float32Array(frame + frames);
      pcm.set(this.pcm);
      this.pcm = pcm;
    }
    this.pcm.set(buffer.getChannelData(0).subarray(skip, skip + frames), frame);
    const src = ctx.createBufferSource();
    src.buffer = buffer;
    src.connect(this.input);
    if (this.startedAt === null) {
      this.startedAt = ctx.currentTime;
      this.input.gain.setValueAtTime(0, this.startedAt);
      this.input.gain.linearRampToValueAtTime(1, this.startedAt + FADE);
      this.#mark();
    }
    const at = this.startedAt + frame / this.rate;
    const late = Math.max(0, ctx.currentTime - at); // came after its time: joins where the music is
    if (late < frames / this.rate) src.start(at + late, skip / this.rate + late, frames / this.rate - late);
    this.until = this.from + (frame + frames) / this.rate;
    this.sources.push(src);
    src.onended = () => src === this.sources[this.sources.length - 1] && this.#ranOut();
  }

  // The track's next seconds after what has been asked for (an MP3 file's from its whole index
  // of frames, read once when the one saved does not reach), played as they come.
  async #more() {
    const from = this.asked;
    this.asked = Infinity; // one request at a time
    if (from - this.from >= BRIDGE_MAX_SECONDS) return;
    try {
      let plan = bridgePlan(this.layout, from, MORE_SECONDS, MORE_SECONDS);
      if (!plan && this.layout.mpeg) {
        const whole = await (this.whole ??= readLayout(this.path));
        if (whole?.etag === this.layout.etag) plan = bridgePlan((this.layout = whole), from, MORE_SECONDS, MORE_SECONDS);
      }
      const part = plan?.parts[0];
      if (!part || this.done) return; // the track ends, or cannot be read: the bridge runs out
      this.asked = part.until;
      this.#play(await this.#buffer(await this.#bytes(request(this.path, ...part.range))), part);
    } catch {
      // not come: the bridge runs out
    }
  }

  // The moment the music is heard again, in the page's performance timeline.
  #mark() {
    const ctx = this.ctx;
    if (ctx.state === 'running') performance.mark('bgm-resumed');
    else ctx.addEventListener('statechange', function running() {
      if (ctx.state !== 'running') return;
      ctx.removeEventListener('statechange', running);
      performance.mark('bgm-resumed');
    });
  }

  // The track second the bridge gives the graph now.
  position() {
    if (this.startedAt === null) return this.from;
    return Math.min(this.until, this.from + Math.max(0, this.ctx.currentTime - this.startedAt));
  }

  // The track second heard now: the bridge's while it plays; after it handed over, the element's
  // less what its clock was found to be ahead of what it gave (as long as `el` is the element
  // it handed over to and has played on since); else null.
  heard(el) {
    if (!this.done) return this.position();
    return this.clockAhead !== null && el === this.deck?.el ? el.currentTime - this.clockAhead : null;
  }

  // The player's chain exists: `deck` ({el, gain, input, delay, source}) is the player's deck
  // for the track, its element started `lead` seconds ahead. The bridge sounds through the
  // deck's gain from now on, the element silent until it takes over.
  adopt(deck) {
    if (this.done) return;
    this.deck = deck;
    this.target = this.position() + this.lead; // where the element was sent
    this.late.connect(deck.gain);
    const t = Math.max(this.ctx.currentTime + ADOPT_AFTER, (this.startedAt ?? 0) + FADE);
    this.adopted = t + FADE; // from then on the bridge sounds through the chain alone
    for (const [g, to] of [[this.early.gain, 0], [this.late.gain, 1]]) {
      g.setValueAtTime(g.value, t);
      g.linearRampToValueAtTime(to, t + FADE);
    }
    deck.input.gain.cancelScheduledValues(0);
    deck.input.gain.value = 0;
    this.tap = this.ctx.createAnalyser(); // on the first channel: an analyser mixes its input to one
    this.tap.fftSize = 32768; // 0.74 s at 44.1 kHz: the element's first sound is seen in it
    this.onsetAt = null; // context time of the element's first sample (from `target`); NaN: not seen
    this.unsure = 0;
    this.split = this.ctx.createChannelSplitter(2);
    deck.source.connect(this.split).connect(this.tap, 0);
    this.window = new Float32Array(this.tap.fftSize);
    // The player pauses or moves on: the bridge goes with its element.
    this.onStop = () => this.stop();
    for (const type of ['pause', 'emptied']) deck.el.addEventListener(type, this.onStop);
    this.timer = setTimeout(() => this.#align(), ALIGN_EVERY_MS);
  }

  // Looks for the element's latest samples in the bridge's: found ahead of the bridge, the
  // element is held back by the difference and takes over; found behind it (it took longer to
  // start than its lead), it is sent further ahead. Sound it cannot place for sure within a
  // second (a held tone fits many places) is placed by when the element started instead: its
  // first sample was the one it was sent to.
  #align() {
    if (this.done) return;
    this.timer = setTimeout(() => this.#align(), ALIGN_EVERY_MS);
    const { el } = this.deck;
    if (this.asked - this.position() < MORE_BEFORE) this.#more();
    const at = this.ctx.currentTime;
    // In WebKitGTK an element sent to a second on a busy machine now and then never gets there.
    if (el.currentTime !== this.still?.time || el.paused) this.still = { time: el.currentTime, at };
    else if (at - this.still.at > STUCK && this.startedAt !== null) {
      this.#sendAhead(el);
      return;
    }
    if (el.paused || el.seeking || el.readyState < 3 || this.startedAt === null) return;
    const rate = this.rate;
    const w = this.window;
    this.tap.getFloatTimeDomainData(w);
    if (this.onsetAt === null && w[w.length - 1] !== 0) {
      const first = w.findIndex((x) => x !== 0);
      this.onsetAt = first >= QUIET_BEFORE ? at - (w.length - first) / this.ctx.sampleRate : NaN;
    }
    // Searched no further than an element the delay line can hold back can be.
    const within = this.pcm.subarray(0, Math.round((at - this.startedAt + ALIGN_MAX_SECONDS) * rate));
    const end = locate(within, resampled(w, this.ctx.sampleRate, rate), Math.floor((this.target - this.from - SEEK_SLACK) * rate));
    let ahead = null;
    if (end >= 0) {
      const found = end / rate - (at - this.startedAt);
      // The same for a while: an element just started may still slip a block or two.
      this.steady = Math.abs(found - this.found) < 1.5 / rate ? this.steady + 1 : 0;
      this.found = found;
      if (this.steady >= STEADY) ahead = found;
    }
    if (ahead === null && this.onsetAt > 0 && ++this.unsure >= UNSURE) {
      // Where the element's start puts it, moved to the nearest place its sound fits (a seek
      // may land a little off; a held tone fits every period, the nearest keeps it in phase).
      const guess = this.target - this.from - (this.onsetAt - this.startedAt);
      const near = nearest(this.pcm, resampled(w, this.ctx.sampleRate, rate), Math.round((guess + at - this.startedAt) * rate), Math.round(SEEK_SLACK * rate));
      ahead = near < 0 ? guess : near / rate - (at - this.startedAt);
    }
    if (ahead === null) return;
    if (ahead < 0 || ahead >= ALIGN_MAX_SECONDS) this.#sendAhead(el);
    // Held back, the element gives what it gave `ahead` seconds ago: not before the bridge has
    // passed where it was sent, else that is still what it played before (or nothing).
    else if (this.position() >= this.target + SEEK_SLACK) this.#handTo(Math.round(ahead * this.ctx.sampleRate) / this.ctx.sampleRate);
  }

  // The element sent further ahead of the bridge than before, to be found there anew.
  #sendAhead(el) {
    this.lead = Math.min(ALIGN_MAX_SECONDS / 2, this.lead * 2);
    this.target = this.position() + this.lead;
    Object.assign(this, { onsetAt: null, steady: 0, unsure: 0 });
    el.currentTime = this.target;
  }

  // The element, held back by `delay` seconds, plays what the bridge plays: they crossfade.
  #handTo(delay) {
    const { input, delay: hold } = this.deck;
    const t = this.ctx.currentTime;
    hold.delayTime.setValueAtTime(delay, t);
    // Once the delay line gives the held-back samples (it kept the element's), the crossfade.
    const from = Math.max(t + 0.05, this.adopted);
    this.late.gain.cancelScheduledValues(from);
    this.late.gain.setValueAtTime(1, from);
    this.late.gain.linearRampToValueAtTime(0, from + HANDOVER);
    input.gain.setValueAtTime(0, from);
    input.gain.linearRampToValueAtTime(1, from + HANDOVER);
    this.delay = delay;
    const { el } = this.deck;
    this.clockAhead = el.currentTime - (this.from + t - this.startedAt);
    const lost = () => {
      this.clockAhead = null;
      for (const type of ['pause', 'seeking', 'emptied']) el.removeEventListener(type, lost);
    };
    for (const type of ['pause', 'seeking', 'emptied']) el.addEventListener(type, lost);
    this.#finish(from + HANDOVER + 0.02);
  }

  // Cut short: the player paused or moved on (its own fade has silenced the deck by then).
  stop() {
    if (this.done) return;
    const t = this.ctx.currentTime;
    this.input.gain.cancelScheduledValues(t);
    this.input.gain.setValueAtTime(this.input.gain.value, t);
    this.input.gain.linearRampToValueAtTime(0, t + 0.012);
    if (this.deck) this.deck.input.gain.value = 1;
    this.#finish(t + 0.02);
  }

  // The bridge ran out (or never started) before the element took over: it is heard as it is.
  #ranOut() {
    if (this.done) return;
    if (this.deck) this.deck.input.gain.value = 1;
    this.#finish();
  }

  #finish(at = this.ctx.currentTime) {
    this.done = true;
    this.settle();
    clearTimeout(this.timer);
    clearTimeout(this.limit);
    for (const src of this.sources) {
      src.onended = null;
      src.stop(at);
    }
    if (this.deck) {
      for (const type of ['pause', 'emptied']) this.deck.el.removeEventListener(type, this.onStop);
      this.deck.source.disconnect(this.split);
    }
    this.pcm = null;
    setTimeout(() => [this.input, this.early, this.late].forEach((n) => n.disconnect()), Math.max(0, at - this.ctx.currentTime) * 1000 + 100);
  }
}

// `samples` at rate `from` as PROBE samples at rate `to`, the last ones, by linear interpolation.
function resampled(samples, from, to) {
  if (from === to) return samples.subarray(samples.length - PROBE);
  const out = new Float32Array(PROBE);
  const step = from / to;
  for (let i = 0; i < PROBE; i++) {
    const x = samples.length - 1 - (PROBE - 1 - i) * step;
    const j = Math.floor(x);
    out[i] = j < 0 ? 0 : samples[j] + (samples[Math.min(samples.length - 1, j + 1)] - samples[j]) * (x - j);
  }
  return out;
}

// A bridge for music as the last page left it ({path, time, wav or mpeg, gain}), or null.
export function bridgeFor(music) {
  const plan = (music?.wav || music?.mpeg) && bridgePlan(music.wav || music.mpeg, Number(music.time) || 0);
  return plan ? new Bridge(music, plan) : null;
}

// The bridge carrying the BGM after this reload, or null.
export const bridge = bridgeFor(playing?.bgm);
