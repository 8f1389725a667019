// MPEG audio (MP3: MPEG-1, 2 and 2.5 Layer III) as frames: where each lies in a file, so that
// after a reload the BGM can resume from a byte range of its track (resume.js). A decoder that
// starts in the middle of a file lacks the bits earlier frames left for the next ones (the
// bit reservoir) and the overlap of the frame before, so a range starts a few frames early and
// those are dropped once decoded.

const BITRATES = [
  [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320], // MPEG-1
  [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160], // MPEG-2 and 2.5
];
const RATES = { 3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000] }; // by version bits
const CHAINED = 3; // headers in a row that say a frame was found, not bytes that look like one
const SEARCH = 65536; // bytes after the tags the first frame must be found in
export const EARLY = 4; // frames decoded before the first one kept
// A decoder gives a frame's samples this many samples late (the synthesis filter bank's delay);
// an encoder that writes a LAME tag says how many more it put before the music.
export const DECODER_DELAY = 529;

// The Layer III frame header at `at`: {rate, channels, samples, bytes, side, key} or null.
// `side`: where the side information ends (a Xing tag follows it); `key`: what every frame of
// one stream shares.
export function frameHeader(b, at) {
  if (at < 0 || at + 4 > b.length || b[at] !== 0xff || (b[at + 1] & 0xe0) !== 0xe0) return null;
  const version = (b[at + 1] >> 3) & 3; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  const bitrate = b[at + 2] >> 4;
  const rateIndex = (b[at + 2] >> 2) & 3;
  if (version === 1 || ((b[at + 1] >> 1) & 3) !== 1 || bitrate === 0 || bitrate === 15 || rateIndex === 3) return null;
  const one = version === 3;
  const rate = RATES[version][rateIndex];
  const samples = one ? 1152 : 576;
  const channels = b[at + 3] >> 6 === 3 ? 1 : 2;
  const bytes = Math.floor((samples / 8) * BITRATES[one ? 0 : 1][bitrate] * 1000 / rate) + ((b[at + 2] >> 1) & 1);
  const side = 4 + (b[at + 1] & 1 ? 0 : 2) + (one ? (channels === 1 ? 17 : 32) : (channels === 1 ? 9 : 17));
  return { rate, channels, samples, bytes, side, key: (version << 2) | rateIndex };
}

const ascii = (b, at, n) => String.fromCharCode(...b.subarray(at, at + n));

// What a Xing/Info or VBRI frame (no audio: the first of an encoder's file) says: {delay}
// (samples the encoder put before the music, from a LAME tag; 0 without one), or null for a
// frame of audio.
export function infoFrame(b, at, h) {
  if (ascii(b, at + 36, 4) === 'VBRI') return { delay: 0 };
  const x = at + h.side;
  if (!['Xing', 'Info'].includes(ascii(b, x, 4))) return null;
  const flags = b[x + 7];
  const lame = x + 8 + (flags & 1 ? 4 : 0) + (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
  const known = /^(LAME|Lavc|Lavf|GOGO)/.test(ascii(b, lame, 4)) && lame + 24 <= at + h.bytes;
  return { delay: known ? (b[lame + 21] << 4) | (b[lame + 22] >> 4) : 0 };
}

// Reads a file's frames as its bytes come, a chunk at a time (push), without keeping them:
// `layout` once the first frame of audio is found ({rate, channels, samples, delay}), and
// `offsets`, where each frame of audio starts, from the first (frame 0). It stops at anything
// that is not the next frame (a tag at the end, damage): the frames before it are all it knows.
export class FrameReader {
  constructor() {
    this.layout = null;
    this.offsets = [];
    this.ended = false; // nothing more to learn
    this.next = 0; // the file offset looked at next
    this.received = 0; // bytes pushed so far
    this.kept = new Uint8Array(0); // the last bytes pushed, from `next` on
    this.searched = 0; // where the search for the first frame began (past the tags)
    this.key = -1;
  }

  // `chunk`: the file's next bytes; `last`: no more come.
  push(chunk, last = false) {
    if (this.ended) return;
    const base = this.received - this.kept.length; // the file offset of b[0]
    this.received += chunk.byteLength;
    const b = new Uint8Array(this.kept.length + chunk.byteLength);
    b.set(this.kept);
    b.set(new Uint8Array(chunk.buffer || chunk, chunk.byteOffset || 0, chunk.byteLength), this.kept.length);
    const end = base + b.length;
    let at = this.next;
    while (!this.ended && at < end) {
      const i = at - base;
      if (!this.layout) {
        if (end - at < 10 && !last) break;
        if (ascii(b, i, 3) === 'ID3') { // a tag: skipped, however long
          this.searched = at += 10 + ((b[i + 6] & 0x7f) << 21 | (b[i + 7] & 0x7f) << 14 | (b[i + 8] & 0x7f) << 7 | (b[i + 9] & 0x7f)) + (b[i + 5] & 0x10 ? 10 : 0);
          continue;
        }
        const h = frameHeader(b, i);
        let chain = 0;
        for (let j = i, g = h; g && g.key === h.key && chain < CHAINED; g = frameHeader(b, (j += g.bytes))) chain++;
        if (chain < CHAINED && !last && i + CHAINED * 1441 + 4 > b.length) break; // not enough bytes to tell yet
        if (chain < CHAINED) {
          if (++at - this.searched > SEARCH) this.ended = true;
          continue;
        }
        const info = infoFrame(b, i, h);
        this.layout = { rate: h.rate, channels: h.channels, samples: h.samples, delay: info?.delay ?? 0 };
        this.key = h.key;
        if (info) at += h.bytes;
        continue;
      }
      if (end - at < 4 && !last) break;
      const h = frameHeader(b, i);
      if (!h || h.key !== this.key) this.ended = true;
      else {
        this.offsets.push(at);
        at += h.bytes;
      }
    }
    this.next = at;
    this.kept = at < end ? b.slice(at - base) : new Uint8Array(0);
    if (last) {
      if (at > end) this.offsets.pop(); // cut off in the middle
      this.ended = true;
    }
  }
}

// What a bridge from second `time` of a track asks for and keeps, from an index of its frames
// ({rate, samples, delay, first, offsets}: frame `first` starts at offsets[0], the next ones
// after it) and how long it carries (`seconds`, the first part `firstSeconds`): null where the
// index does not reach. Each part is decoded on its own from EARLY frames before the first it
// keeps; `from`, `until` and `drop` (decoded before `from`) are seconds of the track.
export function mpegPlan(index, time, seconds, firstSeconds) {
  const { rate, samples, first, offsets } = index;
  const lag = index.delay ? index.delay + DECODER_DELAY : 0; // where the track's second 0 is in what a decoder gives
  const at = Math.max(0, Math.round(time * rate)) + lag;
  const keep = Math.floor(at / samples); // the frame `time` is in
  const known = first + offsets.length - 1; // frames before it have a known end
  const end = Math.min(known, keep + Math.ceil((seconds * rate) / samples));
  const split = Math.min(end, keep + Math.ceil((firstSeconds * rate) / samples));
  const start = (frame) => (frame - EARLY < first && first > 0 ? -1 : Math.max(0, frame - EARLY));
  if (split <= keep || start(keep) < 0) return null;
  const time0 = (frame) => (frame * samples - lag) / rate;
  // The first part decodes two frames past where it hands on: a decoder's last samples may be off.
  const part = (from, a, b, through = b) => ({ range: [offsets[a - first], offsets[Math.min(known, through) - first] - 1], from, until: time0(b), drop: from - time0(a) });
  const parts = [part((at - lag) / rate, start(keep), split, split + 2)];
  if (end > split) parts.push(part(time0(split), start(split), end));
  return { from: parts[0].from, until: time0(end), parts, frames: [start(keep), end] };
}
