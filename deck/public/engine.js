// The audio graph: pads (pre-decoded buffers, or media elements for long files), the BGM
// player's two media elements, ducking and the three volume buses.
//
//   pad voice ─┐                         ┌─ master ─ destination
//              ├─ pads bus ─────────────┤
//   bgm A/B ───┴─ duck ─ bgm bus ───────┘

import { mediaUrl } from './api.js';
import { Decoder } from './decode.js';
import { padShape, HOLD_RELEASE } from './pad-shape.js';
import { playOrder, carryOrder } from './playlist.js';
import { audioContext } from './resume.js';

const DUCK_GAIN = 0.25; // about −12 dB
const DUCK_ATTACK = 0.06; // time constants in seconds
const DUCK_RELEASE = 0.35;
const STREAM_ABOVE_SECONDS = 45; // longer pads stream through a media element
const STREAM_ABOVE_BYTES = 24 * 1024 * 1024; // file size above which we do not even try to decode
export const DECODED_BUDGET_BYTES = 512 * 1024 * 1024;
const CLICK_FREE = 0.012; // seconds of ramp for a "hard" stop or a restart
const SPARE_GAINS = 4;

// Slider positions (0..1) become gains through a square: a rough loudness taper.
export const taper = (v) => v * v;

function rampTo(param, value, now, seconds) {
  param.cancelScheduledValues(now);
  param.setValueAtTime(param.value, now);
  param.linearRampToValueAtTime(value, now + Math.max(0.001, seconds));
}

export class Engine extends EventTarget {
  constructor() {
    super();
    this.ctx = audioContext();
    this.master = this.ctx.createGain();
    this.padsBus = this.ctx.createGain();
    this.duck = this.ctx.createGain();
    this.bgmBus = this.ctx.createGain();
    this.padsBus.connect(this.master);
    this.duck.connect(this.bgmBus).connect(this.master);
    this.master.connect(this.ctx.destination);
    // Decoding happens on contexts of its own: one stuck decode must never hold the player's.
    this.decoder = new Decoder(() => new OfflineAudioContext(1, 1, this.ctx.sampleRate));
    this.files = new Map(); // path → {state, buffer, duration, bytes, promise, reason}
    this.decodedBytes = 0;
    this.budget = DECODED_BUDGET_BYTES;
    this.voices = new Map(); // pad object → voice
    this.shapes = new WeakMap(); // pad object → its trims and fades worked out (pad-shape.js)
    this.ducking = 0;
    this.level = () => 1; // a pad's loudness gain, on top of its volume (levelling.js)
    this.triggerTimes = new Float64Array(4096);
    this.triggerCount = 0;
    // Gains already connected to the pads bus, so a key creates and connects only its source
    // before start(); used ones are replaced after the sound is out.
    this.spareGains = [];
    this.refillTimer = 0;
    this.#refillGains();
    this.ctx.addEventListener('statechange', () => this.emit('statechange'));
  }

  emit(type, detail) {
    this.dispatchEvent(new CustomEvent(type, { detail }));
  }

  resume() {
    if (this.ctx.state !== 'running') this.ctx.resume().catch(() => {});
  }

  setVolume(bus, value) {
    const node = { master: this.master, pads: this.padsBus, bgm: this.bgmBus }[bus];
    rampTo(node.gain, taper(value), this.ctx.currentTime, 0.05);
  }

  // --- loading ---------------------------------------------------------------

  fileState(path) {
    return path ? this.files.get(path) : undefined;
  }

  // Loads a pad's file once; several pads may share it. Resolves to the entry.
  load(path) {
    let entry = this.files.get(path);
    if (entry) return entry.promise;
    entry = { state: 'loading', buffer: null, duration: 0, bytes: 0, stream: false };
    this.files.set(path, entry);
    this.emit('filestate', path);
    entry.promise = this.#fetchAndDecode(path, entry).then(
      () => entry,
      (err) => {
        entry.state = err && err.state ? err.state : 'unsupported';
        entry.reason = (err && err.reason) || entry.state;
        return entry;
      },
    ).finally(() => this.emit('filestate', path));
    return entry.promise;
  }

  async #fetchAndDecode(path, entry) {
    const res = await fetch(mediaUrl(path)).catch(() => null);
    if (!res) {
      this.emit('offline');
      throw { state: 'offline' }; // the server did not answer: tried again once it does
    }
    if (res.status === 404) throw { state: 'missing' };
    if (!res.ok) throw { state: 'unsupported' };
    const size = Number(res.headers.get('Content-Length') || 0);
    if (size > STREAM_ABOVE_BYTES) {
      res.body?.cancel();
      return this.#asStream(entry);
    }
    const data = await res.arrayBuffer().catch(() => null);
    if (!data) throw { state: 'missing' };
    if (this.files.get(path) !== entry) return; // forgotten meanwhile: not worth decoding
    let buffer;
    try {
      buffer = await this.decoder.decode(data, () => fetch(mediaUrl(path)).then((r) => r.arrayBuffer()));
    } catch (err) {
      throw { state: 'unsupported', reason: err.reason };
    }
    if (this.files.get(path) !== entry) return; // forgotten meanwhile: neither kept nor counted
    const bytes = buffer.length * buffer.numberOfChannels * 4;
    if (buffer.duration > STREAM_ABOVE_SECONDS || this.decodedBytes + bytes > this.budget) {
      return this.#asStream(entry, buffer.duration);
    }
    Object.assign(entry, { state: 'ready', buffer, duration: buffer.duration, bytes });
    this.decodedBytes += bytes;
  }

  #asStream(entry, duration = 0) {
    Object.assign(entry, { state: 'ready', stream: true, duration });
  }

  // Whether each file is still on disk: a file read into memory and then moved or deleted
  // still plays, but is flagged (gone), so a later run would not find it either.
  async verify(paths) {
    await Promise.all([...paths].map(async (path) => {
      const entry = this.files.get(path);
      if (!entry || entry.state !== 'ready') return;
      const res = await fetch(mediaUrl(path), { method: 'HEAD', cache: 'no-store' }).catch(() => null);
      if (res) entry.gone = res.status === 404;
    }));
  }

  // Forgets the files the server could not be asked for, so they are loaded again.
  forgetOffline() {
    for (const [path, entry] of this.files) if (entry.state === 'offline') this.files.delete(path);
  }

  // Forgets files no pad uses any more, returning their memory to the budget.
  retain(paths) {
    for (const [path, entry] of this.files) {
      if (paths.has(path)) continue;
      if (entry.buffer) this.decodedBytes -= entry.bytes;
      this.files.delete(path);
    }
  }

  // --- pads ------------------------------------------------------------------

  isPlaying(pad) {
    const v = this.voices.get(pad);
    return Boolean(v && !v.stopping);
  }

  // Seconds left of a playing pad (of this turn, for a loop, up to its end point) and the
  // length between its points, or null.
  timing(pad) {
    const v = this.voices.get(pad);
    if (!v) return null;
    if (v.element) {
      const end = v.shape.trimmed ? v.shape.end : v.element.duration;
      return Number.isFinite(end) ? { left: Math.max(0, end - v.element.currentTime), total: end - v.shape.offset } : null;
    }
    const played = this.ctx.currentTime - v.startedAt;
    const total = v.duration;
    return { left: v.loop ? total - (played % total) : Math.max(0, total - played), total };
  }

  // Where in its file a sounding pad is, in seconds; null when it does not sound.
  position(pad) {
    const v = this.voices.get(pad);
    if (!v || v.done) return null;
    if (v.element) return v.element.currentTime;
    const played = Math.max(0, this.ctx.currentTime - v.startedAt);
    return v.shape.offset + (v.loop ? played % v.duration : Math.min(played, v.duration));
  }

  // A pad's trims and fades for its file as loaded: worked out when the pad is edited or its
  // file decoded (prepare), and on a key only when neither happened since (an undo, say).
  shapeOf(pad, entry = this.fileState(pad.path)) {
    const s = this.shapes.get(pad);
    if (s && s.entry === entry && s.length === entry.duration && s.trimStart === pad.trimStart && s.trimEnd === pad.trimEnd &&
      s.fadeIn === pad.fadeIn && s.fadeOut === pad.fadeOut) return s;
    return this.prepare(pad, entry);
  }

  prepare(pad, entry = this.fileState(pad.path)) {
    if (!entry || entry.state !== 'ready') return null;
    // A streamed pad has no frames to count: its points are worked out on a fine grid instead.
    const rate = entry.buffer ? entry.buffer.sampleRate : 48000;
    const frames = entry.buffer ? entry.buffer.length : Math.max(1, Math.round((entry.duration || 86400) * rate));
    const shape = Object.assign(padShape(pad, frames, rate), {
      entry, length: entry.duration, trimStart: pad.trimStart, trimEnd: pad.trimEnd, fadeIn: pad.fadeIn, fadeOut: pad.fadeOut,
    });
    shape.trimmed = shape.endFrame < frames;
    this.shapes.set(pad, shape);
    return shape;
  }

  // Plays, restarts or fades a pad according to its mode. `t0` is when the key went
  // down (performance.now()); the main-thread time up to start() is recorded. Only what the
  // sound needs comes before start(); the bookkeeping follows it.
  trigger(pad, t0 = performance.now()) {
    const entry = this.fileState(pad.path);
    if (!entry || entry.state !== 'ready') return false;
    const current = this.voices.get(pad);
    if (current && !current.stopping && pad.mode !== 'oneshot') {
      if (pad.mode !== 'hold') this.stopPad(pad, pad.fadeOut); // a held pad held twice (pointer and key) sounds on
      return true;
    }
    if (current?.element) {
      // A streamed pad has one element: the old voice ends now.
      if (!current.stopping && current.duck) this.#duckBy(-1);
      current.stopping = true;
      this.#ended(pad, current);
    }
    const shape = this.shapeOf(pad, entry);
    const now = this.ctx.currentTime;
    const gain = this.spareGains.pop() || this.#newGain();
    const level = taper(pad.volume) * this.level(pad);
    const voice = { gain, level, shape, startedAt: now, duration: shape.duration, loop: pad.mode === 'loop', duck: pad.duck, stopping: false };
    if (shape.fadeIn > 0) {
      gain.gain.setValueAtTime(0, now);
      gain.gain.linearRampToValueAtTime(level, now + shape.fadeIn);
    } else gain.gain.value = level;
    if (entry.stream) {
      // A media element seeks as near to the start point as its decoder allows, and its end
      // point is kept by the page's clock: exact to some tens of milliseconds, not to the frame.
      const el = this.#padElement(pad, entry);
      el.loop = voice.loop && !shape.trimmed && shape.startFrame === 0;
      el.currentTime = shape.offset;
      el.play().catch(() => this.#ended(pad, voice));
      voice.element = el;
      el.onended = () => {
        if (!voice.loop || voice.stopping) this.#ended(pad, voice);
        else (el.currentTime = shape.offset), el.play().catch(() => this.#ended(pad, voice)); // a loop from its start point
      };
      this.#connectElement(el, gain);
      this.#record(performance.now() - t0);
      if (shape.trimmed) this.#streamEnd(pad, voice);
    } else {
      const src = this.ctx.createBufferSource();
      src.buffer = entry.buffer;
      src.connect(gain);
      if (voice.loop) {
        src.loop = true;
        src.loopStart = shape.loopStart;
        src.loopEnd = shape.loopEnd;
        src.start(now, shape.offset);
      } else src.start(now, shape.offset, shape.duration);
      this.#record(performance.now() - t0);
      src.onended = () => this.#ended(pad, voice);
      voice.source = src;
    }
    if (!voice.loop) this.#fadeAtEnd(voice);
    if (this.ctx.state !== 'running') this.resume();
    this.voices.set(pad, voice);
    if (voice.duck) this.#duckBy(1);
    // The sound is out; now the one it replaces (a one-shot restart) fades in a blink.
    if (current && !current.stopping && !current.element) this.#stopVoice(pad, current, CLICK_FREE);
    this.emit('voices');
    // Keys pressed in one go (no task between them) find a spare too.
    if (!this.spareGains.length) this.spareGains.push(this.#newGain());
    this.refillTimer ||= setTimeout(() => this.#refillGains(), 0);
    return true;
  }

  #newGain() {
    const gain = this.ctx.createGain();
    gain.connect(this.padsBus);
    return gain;
  }

  #refillGains() {
    this.refillTimer = 0;
    while (this.spareGains.length < SPARE_GAINS) this.spareGains.push(this.#newGain());
  }

  #record(ms) {
    this.triggerTimes[this.triggerCount % this.triggerTimes.length] = ms;
    this.triggerCount++;
  }

  #padElement(pad, entry) {
    if (!entry.element) {
      const el = new Audio();
      el.preload = 'auto';
      el.src = mediaUrl(pad.path);
      entry.element = el;
    }
    return entry.element;
  }

  #connectElement(el, gain) {
    if (!el.__node) el.__node = this.ctx.createMediaElementSource(el);
    el.__node.disconnect();
    el.__node.connect(gain);
  }

  // The fade-out at a cut end point, on the gain's timeline from the voice's start.
  #fadeAtEnd(v) {
    const { fadeOut, fadeOutAt, duration } = v.shape;
    if (!(fadeOut > 0)) return;
    const g = v.gain.gain;
    const from = v.startedAt + fadeOutAt;
    if (from > this.ctx.currentTime) g.setValueAtTime(v.level, from);
    g.linearRampToValueAtTime(0, v.startedAt + duration);
  }

  // A streamed pad stops (or, looping, goes back to its start point) at its end point.
  #streamEnd(pad, v) {
    clearTimeout(v.endTimer);
    const left = v.shape.end - v.element.currentTime;
    v.endTimer = setTimeout(() => {
      if (v.stopping || v.done) return;
      if (!v.loop) {
        v.element.pause();
        this.#ended(pad, v);
        return;
      }
      v.element.currentTime = v.shape.offset;
      this.#streamEnd(pad, v);
    }, Math.max(0, left) * 1000);
  }

  // A pad's volume changed: a voice that is sounding follows it at once (and still fades at
  // its end point).
  setPadVolume(pad) {
    const v = this.voices.get(pad);
    if (!v || v.stopping) return;
    v.level = taper(pad.volume) * this.level(pad);
    const now = this.ctx.currentTime;
    const fadesFrom = v.loop || !(v.shape.fadeOut > 0) ? Infinity : v.startedAt + v.shape.fadeOutAt;
    if (now >= fadesFrom) return; // already fading out at its end point
    rampTo(v.gain.gain, v.level, now, Math.min(0.05, fadesFrom - now));
    if (fadesFrom < Infinity) this.#fadeAtEnd(v);
  }

  // A held pad let go: it stops in a short fade.
  release(pad) {
    const v = this.voices.get(pad);
    if (v && !v.stopping) this.#stopVoice(pad, v, HOLD_RELEASE);
  }

  stopPad(pad, fade = CLICK_FREE) {
    const v = this.voices.get(pad);
    if (v) this.#stopVoice(pad, v, fade);
  }

  #stopVoice(pad, v, fade) {
    if (v.stopping && fade > CLICK_FREE) return;
    const now = this.ctx.currentTime;
    const seconds = Math.max(CLICK_FREE, fade);
    rampTo(v.gain.gain, 0, now, seconds);
    if (!v.stopping && v.duck) this.#duckBy(-1);
    v.stopping = true;
    if (v.source) {
      try {
        v.source.stop(now + seconds);
      } catch {
        // an engine that refuses a second stop() keeps the first, which is later anyway
      }
    } else {
      clearTimeout(v.endTimer);
      v.endTimer = setTimeout(() => {
        v.element.pause();
        this.#ended(pad, v);
      }, seconds * 1000);
    }
    this.emit('voices');
  }

  #ended(pad, voice) {
    if (voice.done) return;
    voice.done = true;
    clearTimeout(voice.endTimer);
    if (!voice.stopping && voice.duck) this.#duckBy(-1);
    setTimeout(() => voice.gain.disconnect(), 50);
    if (this.voices.get(pad) === voice) this.voices.delete(pad);
    this.emit('voices');
  }

  #duckBy(delta) {
    const before = this.ducking;
    this.ducking = Math.max(0, before + delta);
    if ((before === 0) === (this.ducking === 0)) return;
    const p = this.duck.gain;
    const now = this.ctx.currentTime;
    p.cancelScheduledValues(now);
    p.setValueAtTime(p.value, now);
    p.setTargetAtTime(this.ducking > 0 ? DUCK_GAIN : 1, now, this.ducking > 0 ? DUCK_ATTACK : DUCK_RELEASE);
    this.emit('duck', this.ducking > 0);
  }

  stopAllPads(fade) {
    for (const pad of [...this.voices.keys()]) this.stopPad(pad, fade);
  }
}

const CROSSFADE_MIN = 0.05;
const RETRIES = 2; // a failed track is started again this many times before it counts as broken
const STALL_MS = 3000; // an element playing whose clock stands still this long has failed
const ALIGN_MAX = 4; // seconds an element can be held back to play in step with a bridge

// A crossfade's length: the setting, but never more than half of either track (lengths not
// known yet are left out), so a short track is heard rather than faded past.
export function crossfadeSeconds(setting, ...durations) {
  const halves = durations.filter((d) => Number.isFinite(d) && d > 0).map((d) => d / 2);
  return Math.max(0, Math.min(setting, ...halves));
}

// Background music through two media elements, so one track can fade into the next.
export class BgmPlayer extends EventTarget {
  // serverUp(): resolves to whether the server answers; a track that fails while it does not
  // is not skipped: the player waits (held) and picks up where it was once it answers again.
  constructor(engine, { serverUp = async () => true } = {}) {
    super();
    this.engine = engine;
    this.serverUp = serverUp;
    this.held = null; // {pos, time} of the track the server's absence stopped
    this.starts = 0; // tracks started, so a late 'loadedmetadata' knows it is stale
    this.lastFade = 0;
    this.failures = 0; // tracks failed in a row
    this.retries = 0; // times the track now starting was started again after its element failed
    this.tracks = [];
    this.broken = new Set(); // indices of tracks that failed to play
    this.order = [];
    this.pos = -1;
    this.playing = false;
    this.shuffle = false;
    this.crossfade = 3;
    this.active = 0;
    this.decks = [0, 1].map(() => {
      const el = new Audio();
      el.preload = 'auto';
      const gain = engine.ctx.createGain();
      gain.gain.value = 0;
      // After a reload the element may be held back to play in step with a bridge (delay),
      // and silent until it takes over from it (input); see resume.js.
      const source = engine.ctx.createMediaElementSource(el);
      const delay = engine.ctx.createDelay(ALIGN_MAX);
      const input = engine.ctx.createGain();
      source.connect(delay).connect(input).connect(gain).connect(engine.duck);
      return { el, gain, input, delay, source, timer: 0 };
    });
    for (const deck of this.decks) {
      deck.el.addEventListener('timeupdate', () => this.#watch(deck));
      deck.el.addEventListener('ended', () => deck === this.decks[this.active] && this.playing && this.next());
      deck.el.addEventListener('error', () => deck === this.decks[this.active] && this.playing && this.#failed(deck));
      deck.el.addEventListener('playing', () => deck === this.decks[this.active] && (this.failures = this.retries = 0));
    }
    setInterval(() => this.#checkStill(), 1000);
  }

  emit() {
    this.dispatchEvent(new Event('change'));
  }

  get current() {
    return this.pos >= 0 ? this.tracks[this.order[this.pos]] : null;
  }

  get currentIndex() {
    return this.pos >= 0 ? this.order[this.pos] : -1;
  }

  get element() {
    return this.decks[this.active].el;
  }

  setTracks(tracks) {
    this.pause(0.3);
    this.tracks = tracks;
    this.broken = new Set();
    this.held = null;
    this.pos = -1;
    this.#reorder(-1);
    this.emit();
  }

  setShuffle(on) {
    this.shuffle = on;
    this.#reorder(this.currentIndex);
    this.emit();
  }

  // The same playlist arranged anew (tracks moved, skipped, or the folder listed again): what
  // plays goes on untouched and what comes next follows the new arrangement (playlist.js,
  // carryOrder). When the track playing is no longer in it, the list is taken afresh.
  rearrange(tracks) {
    if (tracks === this.tracks) return;
    const at = new Map(tracks.map((t, i) => [t.path, i]));
    if (this.pos >= 0 && !at.has(this.current?.path)) {
      this.setTracks(tracks);
      return;
    }
    this.broken = new Set([...this.broken].map((i) => at.get(this.tracks[i]?.path)).filter((i) => i !== undefined));
    this.order = carryOrder(this.tracks, this.order, this.pos, tracks, { shuffle: this.shuffle });
    this.tracks = tracks;
    this.pos = this.pos >= 0 ? 0 : -1;
    if (this.held) this.held.pos = this.pos;
    this.emit();
  }

  // Tracks there are, but every one is skipped: the player says so instead of going round.
  get allSkipped() {
    return this.tracks.length > 0 && this.tracks.every((t) => t.skip);
  }

  #nothingToPlay() {
    if (this.playing) this.pause(0.3);
    this.dispatchEvent(new Event('allskipped'));
  }

  // A fresh playing order (playlist.js, playOrder): skipped tracks left out; with shuffle,
  // every track comes once before any repeats, and the track now playing is not the next one.
  #reorder(keepFirst) {
    this.order = playOrder(this.tracks, { shuffle: this.shuffle, first: keepFirst });
    this.pos = keepFirst >= 0 ? 0 : -1;
  }

  toggle() {
    if (this.playing) this.pause();
    else this.play();
  }

  play(fade = 0.8) {
    if (!this.tracks.length) return;
    if (this.held) {
      this.resumeHeld();
      return;
    }
    this.engine.resume();
    if (this.pos < 0) {
      if (this.order.length) this.#start(0, 0.05);
      else this.#nothingToPlay();
      return;
    }
    const deck = this.decks[this.active];
    clearTimeout(deck.timer);
    this.playing = true;
    deck.el.play().catch(() => {});
    rampTo(deck.gain.gain, 1, this.engine.ctx.currentTime, fade);
    this.emit();
  }

  pause(fade = 0.8) {
    this.held = null;
    if (!this.playing) {
      this.emit();
      return;
    }
    this.playing = false;
    const now = this.engine.ctx.currentTime;
    for (const deck of this.decks) {
      rampTo(deck.gain.gain, 0, now, fade);
      clearTimeout(deck.timer);
      deck.timer = setTimeout(() => deck.el.pause(), fade * 1000 + 30);
    }
    this.emit();
  }

  hardStop() {
    this.held = null;
    this.playing = false;
    const now = this.engine.ctx.currentTime;
    for (const deck of this.decks) {
      rampTo(deck.gain.gain, 0, now, CLICK_FREE);
      clearTimeout(deck.timer);
      deck.el.pause();
    }
    this.emit();
  }

  next() {
    if (!this.tracks.length) return;
    let pos = this.pos + 1;
    if (pos >= this.order.length) {
      const last = this.currentIndex;
      this.#reorder(-1);
      if (!this.order.length) {
        this.#nothingToPlay();
        return;
      }
      if (this.shuffle && this.order.length > 1 && this.order[0] === last) {
        this.order.push(this.order.shift());
      }
      pos = 0;
    }
    this.#start(pos, this.playing ? this.crossfade : 0.05);
  }

  // Plays a track from a given second (after a reload: where it was cut). With a bridge (see
  // resume.js) already playing it, the element starts silent a little ahead and the bridge
  // hands over to it once it knows by how much.
  resumeAt(index, seconds, bridge = null) {
    if (index < 0 || index >= this.tracks.length) return;
    this.#reorder(index);
    this.#start(0, CROSSFADE_MIN, bridge ? bridge.position() + bridge.lead : seconds);
    const deck = this.decks[this.active];
    deck.bridge = bridge;
    bridge?.adopt(deck);
  }

  playTrack(index) {
    if (index < 0 || index >= this.tracks.length) return;
    this.#reorder(index);
    this.#start(0, this.playing ? this.crossfade : 0.05);
  }

  // The second of a deck's track being heard: the bridge's while it plays for the element
  // (after a reload), then the element's less what it is held back by.
  #heard(deck) {
    return deck.bridge && !deck.bridge.done ? deck.bridge.position() : deck.el.currentTime - deck.delay.delayTime.value;
  }

  // The track now playing failed. WebKitGTK's element now and then fails on a file it plays
  // well when the machine is busy, so the track is first started again from where it was
  // heard, twice at most; a broken file is then skipped (each track at most once in a row);
  // with the server away, the player stops and waits for it instead.
  async #failed(deck) {
    const pos = this.pos;
    const time = Math.max(0, this.#heard(deck) || 0);
    const up = await this.serverUp();
    if (pos !== this.pos || !this.playing) return; // moved on meanwhile
    if (!up) {
      this.hardStop();
      this.held = { pos, time };
      this.emit();
      return;
    }
    if (this.retries < RETRIES) {
      this.retries++;
      this.#start(pos, CROSSFADE_MIN, time);
      return;
    }
    this.retries = 0;
    this.failures++;
    this.broken.add(this.currentIndex);
    if (this.tracks.length > 1 && this.failures < this.tracks.length) this.next();
    else this.hardStop();
  }

  // WebKitGTK's element now and then stops giving sound on a busy machine, its clock standing
  // still while it says it plays, with no event: that counts as a failure, so the track is
  // started again from where it was heard. A bridge still playing for it watches it itself.
  // Only an element that has played since it was started: one that never starts is not this.
  #checkStill() {
    const deck = this.decks[this.active];
    const { el, still } = deck;
    const now = performance.now();
    if (!this.playing || el.paused || el.seeking || (deck.bridge && !deck.bridge.done) || !still || el.currentTime !== still.time) {
      deck.still = { time: el.currentTime, since: now, moved: Boolean(still && (still.moved || el.currentTime !== still.time)) };
    } else if (still.moved && now - still.since >= STALL_MS) {
      deck.still = null; // to count again, it must play again
      this.#failed(deck);
    }
  }

  // The server answers again: what it stopped plays on from where it was.
  resumeHeld() {
    const held = this.held;
    if (!held || held.pos >= this.order.length) return;
    this.held = null;
    this.#start(held.pos, 0.3, held.time);
  }

  // Starts order[pos] on the idle element and crossfades into it.
  // Starts order[pos] (from `at` seconds) on the idle element and crossfades into it: once
  // the new track's length is known, so the fade can be kept to half the shorter track.
  #start(pos, fade, at = 0) {
    this.pos = pos;
    this.held = null;
    const track = this.current;
    const out = this.decks[this.active];
    const into = this.decks[1 - this.active];
    this.active = 1 - this.active;
    clearTimeout(into.timer);
    into.input.gain.cancelScheduledValues(0);
    into.input.gain.value = 1;
    into.delay.delayTime.cancelScheduledValues(0);
    into.delay.delayTime.value = 0;
    into.el.src = mediaUrl(track.path);
    into.el.currentTime = at;
    into.still = null;
    const now = this.engine.ctx.currentTime;
    into.gain.gain.cancelScheduledValues(now);
    into.gain.gain.setValueAtTime(0, now);
    this.playing = true;
    this.engine.resume();
    into.el.play().catch(() => {});
    const start = (this.starts += 1);
    const begin = () => {
      if (start !== this.starts) return; // another track took over meanwhile
      const length = fade > CROSSFADE_MIN ? crossfadeSeconds(fade, out.el.duration, into.el.duration) : fade;
      this.lastFade = length;
      const t = this.engine.ctx.currentTime;
      rampTo(out.gain.gain, 0, t, length);
      clearTimeout(out.timer);
      out.timer = setTimeout(() => out.el.pause(), length * 1000 + 30);
      into.gain.gain.cancelScheduledValues(t);
      into.gain.gain.setValueAtTime(0, t);
      into.gain.gain.linearRampToValueAtTime(1, t + Math.max(CROSSFADE_MIN, length));
    };
    if (fade <= CROSSFADE_MIN) begin();
    else {
      into.el.addEventListener('loadedmetadata', begin, { once: true });
      into.el.addEventListener('error', begin, { once: true });
    }
    this.emit();
  }

  // Starts the crossfade into the next track when the current one is about to end.
  #watch(deck) {
    if (deck !== this.decks[this.active] || !this.playing) return;
    const at = this.#heard(deck);
    const left = deck.el.duration > 0 ? deck.el.duration - at : NaN; // WebKitGTK says 0 for an MP3 file's at first
    const length = crossfadeSeconds(this.crossfade, deck.el.duration);
    if (length > 0 && Number.isFinite(left) && left <= length && this.tracks.length > 1 && !this.allSkipped) {
      this.next(); // the other element becomes the active one, so this fires once
    }
  }
}
