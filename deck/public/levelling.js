// Loudness levelling: every decoded pad, every long pad and every BGM track is measured once
// (integrated loudness and true peak, loudness.js) and plays at the show's target, held so its
// true peak stays at or under −1 dBTP; the pad's volume is a trim on top. Measuring runs in a
// worker, a second of audio per message, or where no module worker runs, in slices of the
// main thread between other work: a key is never kept waiting for it. And while the operator is
// at work (pads started, keys pressed, the pointer used) it waits, so it takes no core from the
// show (the machine may have only two).

import { engine, bgm, show } from './deck.js';
import { LoudnessMeter, levelGain } from './loudness.js';
import { loudnessOf } from './show-fields.js';
import { Decoder } from './decode.js';
import { mediaUrl } from './api.js';
import { wavLayout, pcmToChannels, readHead } from './resume.js';

const CHUNK_SECONDS = 1; // sent to the worker at a time
const IN_FLIGHT = 3; // chunks sent and not yet measured
const SLICE_SECONDS = 0.5; // measured at a time on the main thread
const QUIET_MS = 300; // no pad started for this long: measuring goes on
const MAX_BYTES = 160 * 1024 * 1024; // files larger than this are not decoded just to be measured

export const measured = new Map(); // path → {integrated, truePeak, samplePeak, seconds} | {failed}
export const events = new EventTarget(); // 'measured' (detail: path), 'idle'
const waiting = { pads: [], other: [] }; // paths, decoded pads first
const queued = new Set();
let busy = false;
const yieldToPage = () => new Promise((resolve) => setTimeout(resolve, 0));

// Resolves once no pad has been started and the operator has not touched a key or the pointer
// for QUIET_MS.
let seenTriggers = -1;
let lastInput = 0;
async function quiet() {
  for (;;) {
    const wait = QUIET_MS - (performance.now() - lastInput);
    if (engine.triggerCount === seenTriggers && wait <= 0) return;
    seenTriggers = engine.triggerCount;
    await new Promise((resolve) => setTimeout(resolve, Math.max(wait, QUIET_MS)));
  }
}

// --- measuring ---------------------------------------------------------------------------

let worker = null;
let workerBroken = typeof Worker === 'undefined';
const jobs = new Map(); // id → {resolve, buffer, ack}
let nextId = 1;

function theWorker() {
  if (worker || workerBroken) return worker;
  try {
    worker = new Worker(new URL('./loudness-worker.js', import.meta.url), { type: 'module' });
  } catch {
    workerBroken = true;
    return null;
  }
  worker.onmessage = ({ data }) => {
    const job = jobs.get(data.id);
    if (data.ack) {
      if (data.chunk && spare.length < IN_FLIGHT) spare.push(data.chunk);
      return job?.ack();
    }
    jobs.delete(data.id);
    job?.resolve(data.result);
  };
  // An engine without module workers fails here: what was sent is measured on the main thread.
  worker.onerror = () => {
    workerBroken = true;
    worker.terminate();
    worker = null;
    const lost = [...jobs.values()];
    jobs.clear();
    for (const job of lost) {
      job.ack();
      inSlices(job.audio).then(job.resolve, () => job.resolve(null));
    }
  };
  return worker;
}

const channelsOf = (buffer) => Array.from({ length: buffer.numberOfChannels }, (_, c) => buffer.getChannelData(c));

// Chunks come back from the worker once measured and carry the next seconds: a second of audio
// copied into a new array each time would leave the worker's collector tens of MiB of them to
// free, all the while 64 pads are measured one after another.
const spare = [];
function chunkOf(channels, from, to) {
  const reused = spare.pop();
  const fits = reused && reused.length === channels.length && reused[0].buffer.byteLength >= (to - from) * 4;
  return channels.map((data, c) => {
    const chunk = fits ? new Float32Array(reused[c].buffer, 0, to - from) : new Float32Array(to - from);
    chunk.set(data.subarray(from, to));
    return chunk;
  });
}

// Audio to measure, read a piece at a time: {rate, channels, frames, read(from, to, own)}, read
// resolving with one Float32Array a channel for frames [from, to): arrays of their own, that
// can be handed to the worker, when `own`; views of the audio may do otherwise.
function decodedAudio(buffer) {
  const data = channelsOf(buffer);
  const read = async (from, to, own) => (own ? chunkOf(data, from, to) : data.map((d) => d.subarray(from, to)));
  return { rate: buffer.sampleRate, channels: data.length, frames: buffer.length, read };
}

// A WAV file's samples read straight from the file, each piece asked for as a byte range only
// when the meter is ready for it: nothing is decoded, only a few seconds of it are in memory at
// once, and no download is left open while measuring waits for the show. Null for a file this
// does not read (its samples must start within the first bytes readHead gives); a read fails
// when the file has changed meanwhile.
async function wavAudio(path) {
  const options = { cache: 'no-store', priority: 'low' };
  const first = await readHead(path, options);
  const { etag, size } = first ?? {};
  const layout = etag && size && wavLayout(first.head);
  if (!layout) return null;
  const block = layout.channels * (layout.bits / 8);
  const read = async (from, to) => {
    const start = layout.offset + from * block;
    const length = (to - from) * block;
    const res = await fetch(mediaUrl(path), { ...options, headers: { Range: `bytes=${start}-${start + length - 1}`, 'If-Range': etag } });
    if (res.status !== 206) {
      res.body?.cancel();
      throw new Error('changed');
    }
    const bytes = await res.arrayBuffer();
    if (bytes.byteLength !== length) throw new Error('changed');
    return pcmToChannels(layout, bytes);
  };
  // A data chunk may claim more than the file holds (cut short, or written as it recorded).
  const frames = Math.floor(Math.min(layout.size, size - layout.offset) / block);
  return frames > 0 ? { rate: layout.rate, channels: layout.channels, frames, read } : null;
}

async function inSlices(audio) {
  const meter = new LoudnessMeter(audio.rate, audio.channels);
  const step = Math.round(SLICE_SECONDS * audio.rate);
  for (let at = 0; at < audio.frames; at += step) {
    await quiet();
    meter.push(await audio.read(at, Math.min(audio.frames, at + step), false));
    await yieldToPage();
  }
  return meter.result();
}

// The loudness of audio to measure (decodedAudio, wavAudio).
async function analyse(audio) {
  const w = theWorker();
  if (!w) return inSlices(audio);
  const id = nextId++;
  const job = { audio };
  const done = new Promise((resolve) => jobs.set(id, Object.assign(job, { resolve })));
  const alive = () => jobs.has(id) && worker === w;
  const step = Math.round(CHUNK_SECONDS * audio.rate);
  w.postMessage({ id, start: true, rate: audio.rate, channels: audio.channels });
  // A few chunks in flight keep the worker busy; no more, so a pause for the show is quick.
  let inFlight = 0;
  let room = null;
  job.ack = () => {
    inFlight--;
    room?.();
  };
  try {
    for (let at = 0; at < audio.frames && alive(); at += step) {
      await quiet();
      while (inFlight >= IN_FLIGHT && alive()) await new Promise((resolve) => (room = resolve));
      const chunk = alive() && (await audio.read(at, Math.min(audio.frames, at + step), true));
      if (!alive()) break;
      inFlight++;
      w.postMessage({ id, chunk }, chunk.map((c) => c.buffer));
    }
  } catch (err) {
    if (!alive()) return done;
    jobs.delete(id);
    w.postMessage({ id, end: true });
    throw err;
  }
  if (alive()) w.postMessage({ id, end: true });
  return done;
}

// Files that are not kept decoded (long pads, BGM tracks) and are not WAV files are decoded
// here only to be measured.
const decoder = new Decoder(() => new OfflineAudioContext(1, 1, engine.ctx.sampleRate));
async function decodeForMeasure(path) {
  const res = await fetch(mediaUrl(path));
  if (!res.ok || Number(res.headers.get('Content-Length') || 0) > MAX_BYTES) {
    res.body?.cancel();
    return null;
  }
  return decoder.decode(await res.arrayBuffer(), () => fetch(mediaUrl(path)).then((r) => r.arrayBuffer()));
}

async function measureFile(path) {
  const buffer = engine.fileState(path)?.buffer;
  if (buffer) return analyse(decodedAudio(buffer));
  const wav = await wavAudio(path);
  const result = wav && (await analyse(wav).catch(() => null));
  if (result) return result;
  const decoded = await decodeForMeasure(path);
  return decoded && analyse(decodedAudio(decoded));
}

function enqueue(path, kind) {
  if (!path || measured.has(path) || queued.has(path)) return;
  queued.add(path);
  waiting[kind].push(path);
  if (!busy) run();
}

// Files not kept decoded wait while pads load: reading them would take connections and time
// from the pads, and the pads are measured first.
const padsLoading = () => [...engine.files.values()].some((f) => f.state === 'loading');

async function run() {
  busy = true;
  while (waiting.pads.length || waiting.other.length) {
    if (!waiting.pads.length && padsLoading()) {
      await new Promise((resolve) => engine.addEventListener('filestate', resolve, { once: true }));
      continue;
    }
    const path = waiting.pads.shift() ?? waiting.other.shift();
    let result = null;
    try {
      result = await measureFile(path);
    } catch {
      // not audio, or gone: it plays unlevelled
    }
    queued.delete(path);
    measured.set(path, result || { failed: true });
    apply();
    events.dispatchEvent(new CustomEvent('measured', { detail: path }));
  }
  busy = false;
  events.dispatchEvent(new Event('idle'));
}

// Queues what the show uses and has not been measured, when levelling is on.
export function scan() {
  if (!loudnessOf(show).on) return;
  for (const page of show.pages) {
    for (const pad of page.pads) {
      const entry = pad.level !== false && engine.fileState(pad.path);
      if (entry && entry.state === 'ready') enqueue(pad.path, entry.buffer ? 'pads' : 'other');
    }
  }
  for (const t of show.bgm.tracks) enqueue(t.path, 'other');
}

// Resolves once nothing is waiting to be measured.
export const idle = () => (busy ? new Promise((resolve) => events.addEventListener('idle', resolve, { once: true })) : Promise.resolve());

// --- gains -------------------------------------------------------------------------------

// The gain levelling gives a pad (1 when it is off for the show or the pad, or not measured).
export function padLevel(pad) {
  const l = show.loudness;
  if (!l || !l.on || pad.level === false) return 1;
  const m = measured.get(pad.path);
  return m && !m.failed ? levelGain(m, l.pads) : 1;
}

export function trackLevel(path) {
  const l = loudnessOf(show);
  const m = l.on ? measured.get(path) : null;
  return m && !m.failed ? levelGain(m, l.bgm) : 1;
}

// The BGM player's two elements each get a gain of their own after their crossfade gain.
function rewireBgm() {
  for (const deck of bgm.decks) {
    deck.level = engine.ctx.createGain();
    deck.gain.disconnect();
    deck.gain.connect(deck.level).connect(engine.duck);
  }
}

// Brings what sounds to the levels now in force: a track just started takes its level at once
// (it starts from silence), anything else glides there.
export function apply() {
  for (const pad of engine.voices.keys()) engine.setPadVolume(pad);
  const deck = bgm.decks[bgm.active];
  const path = bgm.current?.path ?? null;
  const g = path ? trackLevel(path) : 1;
  const p = deck.level.gain;
  const now = engine.ctx.currentTime;
  p.cancelScheduledValues(now);
  if (deck.levelPath !== path) p.setValueAtTime(g, now);
  else {
    p.setValueAtTime(p.value, now);
    p.linearRampToValueAtTime(g, now + 0.5);
  }
  deck.levelPath = path;
}

export function installLevelling() {
  rewireBgm();
  // After the key router (which listens on the window): this costs a key nothing.
  for (const type of ['keydown', 'pointerdown']) document.addEventListener(type, () => (lastInput = performance.now()), { capture: true, passive: true });
  engine.level = padLevel;
  engine.addEventListener('filestate', scan);
  bgm.addEventListener('change', () => {
    scan();
    apply();
  });
}

// What the status line says: how many of the show's files are measured.
export function levelStatus() {
  const paths = new Set([...show.pages.flatMap((p) => p.pads.filter((pad) => pad.path && pad.level !== false).map((pad) => pad.path)), ...show.bgm.tracks.map((t) => t.path)]);
  let done = 0;
  let failed = 0;
  for (const p of paths) {
    const m = measured.get(p);
    if (m) done++;
    if (m?.failed) failed++;
  }
  return { total: paths.size, done, failed };
}
