// Integrated loudness and true peak of decoded audio (ITU-R BS.1770-4), and the gain that brings
// a file to a target loudness without its true peak going over a ceiling. No DOM here: the page
// runs it in a worker (loudness-worker.js) or in slices, and the tests run it in node.

export const ABSOLUTE_GATE = -70; // LUFS
export const RELATIVE_GATE = -10; // LU below the loudness of the blocks over the absolute gate
export const PEAK_CEILING = -1; // dBTP

// The two K-weighting stages (a high shelf for the head, then the RLB high-pass), derived for
// any sample rate from the analogue prototypes behind the standard's 48 kHz table.
export function kWeighting(rate) {
  const shelf = (() => {
    const f0 = 1681.974450955533;
    const gain = 3.999843853973347; // dB
    const q = 0.7071752369554196;
    const k = Math.tan((Math.PI * f0) / rate);
    const vh = 10 ** (gain / 20);
    const vb = vh ** 0.4996667741545416;
    const a0 = 1 + k / q + k * k;
    return {
      b0: (vh + (vb * k) / q + k * k) / a0,
      b1: (2 * (k * k - vh)) / a0,
      b2: (vh - (vb * k) / q + k * k) / a0,
      a1: (2 * (k * k - 1)) / a0,
      a2: (1 - k / q + k * k) / a0,
    };
  })();
  const highPass = (() => {
    const f0 = 38.13547087602444;
    const q = 0.5003270373238773;
    const k = Math.tan((Math.PI * f0) / rate);
    const a0 = 1 + k / q + k * k;
    // The standard's table leaves the numerator unnormalised (1, −2, 1): so do we.
    return { b0: 1, b1: -2, b2: 1, a1: (2 * (k * k - 1)) / a0, a2: (1 - k / q + k * k) / a0 };
  })();
  return [shelf, highPass];
}

// Channel weights in Web Audio's order (L R C LFE SL SR for 5.1): 1 for the front channels,
// 1.41 for the surrounds, 0 for the LFE.
export function channelWeights(count) {
  if (count === 4) return [1, 1, 1.41, 1.41];
  if (count === 5) return [1, 1, 1, 1.41, 1.41];
  if (count === 6) return [1, 1, 1, 0, 1.41, 1.41];
  return Array.from({ length: count }, () => 1);
}

// The 4× interpolator of Annex 2: 48 taps as four phases of 12, written out in interpolatedPeak.
const TAPS = 12;
const MAX_TAP_SUM = 2.0228271484375; // Σ|h| of the phases a quarter sample off the samples (the larger)

const toDb = (power) => 10 * Math.log10(power);
const blockLoudness = (power) => -0.691 + toDb(power);

// Measures as audio is pushed, a slice at a time, so long files can be measured between other
// work. Sub-blocks of 100 ms are summed as they fill; a 400 ms gating block is four of them in a
// row (75 % overlap).
export class LoudnessMeter {
  constructor(rate, channelCount) {
    this.rate = rate;
    this.weights = channelWeights(channelCount);
    this.filters = this.weights.map(() => kWeighting(rate).map((c) => ({ ...c, z1: 0, z2: 0 })));
    this.history = this.weights.map(() => new Float64Array(TAPS - 1)); // last samples, for the interpolator
    this.line = new Float64Array(0); // the interpolator's input, reused: measuring leaves no garbage per block
    this.samples = 0; // frames pushed so far
    this.subBlocks = []; // {sum, frames}: weighted sum of squares over the channels
    this.current = { sum: 0, frames: 0 };
    this.edge = this.#edge(1); // frame where the current sub-block ends
    this.peak = 0; // of the interpolated signal
    this.samplePeak = 0;
  }

  #edge(k) {
    return Math.round((k * this.rate) / 10);
  }

  // channels: one Float32Array per channel; frames [from, to) of them are measured.
  push(channels, from = 0, to = channels[0].length) {
    let at = from;
    while (at < to) {
      const end = Math.min(to, at + (this.edge - this.samples));
      for (let c = 0; c < this.weights.length; c++) {
        const data = channels[c];
        if (this.weights[c] !== 0) this.current.sum += this.weights[c] * this.#filter(c, data, at, end);
        this.#peaks(c, data, at, end);
      }
      this.current.frames += end - at;
      this.samples += end - at;
      at = end;
      if (this.samples === this.edge) {
        this.subBlocks.push(this.current);
        this.current = { sum: 0, frames: 0 };
        this.edge = this.#edge(this.subBlocks.length + 1);
      }
    }
  }

  // Runs channel c's K-weighting over data[from, to); returns the sum of squares.
  #filter(c, data, from, to) {
    const [s, h] = this.filters[c];
    let sz1 = s.z1, sz2 = s.z2, hz1 = h.z1, hz2 = h.z2; // transposed direct form II
    let sum = 0;
    for (let i = from; i < to; i++) {
      const x = data[i];
      const y = s.b0 * x + sz1;
      sz1 = s.b1 * x - s.a1 * y + sz2;
      sz2 = s.b2 * x - s.a2 * y;
      const w = h.b0 * y + hz1;
      hz1 = h.b1 * y - h.a1 * w + hz2;
      hz2 = h.b2 * y - h.a2 * w;
      sum += w * w;
    }
    s.z1 = sz1; s.z2 = sz2; h.z1 = hz1; h.z2 = hz2;
    return sum;
  }

  // The interpolated values between channel c's samples, four per sample. A stretch whose
  // samples are all too small for any interpolated value to pass the peak found so far (no
  // value exceeds the largest sample times the largest sum of a phase's tap magnitudes) is not
  // interpolated: the quiet parts of a file cost next to nothing.
  #peaks(c, data, from, to) {
    const hist = this.history[c];
    const n = to - from;
    if (this.line.length < n + TAPS - 1) this.line = new Float64Array(n + TAPS - 1);
    const line = this.line.subarray(0, n + TAPS - 1);
    line.set(hist);
    let largest = 0;
    for (let i = 0; i < TAPS - 1; i++) largest = Math.max(largest, Math.abs(hist[i]));
    for (let i = 0; i < n; i++) {
      const x = data[from + i];
      line[TAPS - 1 + i] = x;
      if (Math.abs(x) > largest) largest = Math.abs(x);
    }
    this.samplePeak = Math.max(this.samplePeak, largest);
    if (largest * MAX_TAP_SUM > this.peak) this.peak = Math.max(this.peak, interpolatedPeak(line));
    hist.set(line.subarray(line.length - (TAPS - 1)));
  }

  // {integrated (LUFS, −Infinity when everything is gated out), truePeak (dBTP), samplePeak (dBFS),
  // seconds}. A file shorter than one block is measured as one block of its own length.
  result() {
    // The interpolator's tail: the last samples' neighbours are silence.
    let peak = this.peak;
    for (const hist of this.history) {
      const line = new Float64Array(2 * (TAPS - 1));
      line.set(hist);
      peak = Math.max(peak, interpolatedPeak(line));
    }
    const subs = this.current.frames ? [...this.subBlocks, this.current] : this.subBlocks;
    const blocks = [];
    for (let j = 0; j + 4 <= this.subBlocks.length; j++) {
      const four = this.subBlocks.slice(j, j + 4);
      blocks.push(four.reduce((a, b) => a + b.sum, 0) / four.reduce((a, b) => a + b.frames, 0));
    }
    if (blocks.length === 0 && this.samples > 0) blocks.push(subs.reduce((a, b) => a + b.sum, 0) / this.samples);
    return {
      integrated: gatedLoudness(blocks),
      truePeak: toDb(Math.max(peak, this.samplePeak) ** 2),
      samplePeak: toDb(this.samplePeak ** 2),
      seconds: this.samples / this.rate,
    };
  }
}

// The largest interpolated magnitude over a line of samples (each output needs the 11 before).
// Written out tap by tap, the samples held in locals as the window slides: this loop is nearly
// all of the meter's time. x0 is the newest sample.
function interpolatedPeak(line) {
  let peak = 0;
  let x1 = line[10], x2 = line[9], x3 = line[8], x4 = line[7], x5 = line[6], x6 = line[5];
  let x7 = line[4], x8 = line[3], x9 = line[2], x10 = line[1], x11 = line[0];
  for (let i = TAPS - 1; i < line.length; i++) {
    const x0 = line[i];
    const y0 = 0.001708984375 * x0 + 0.010986328125 * x1 - 0.0196533203125 * x2 + 0.033203125 * x3 - 0.0594482421875 * x4 + 0.1373291015625 * x5
      + 0.97216796875 * x6 - 0.102294921875 * x7 + 0.047607421875 * x8 - 0.026611328125 * x9 + 0.014892578125 * x10 - 0.00830078125 * x11;
    const y1 = -0.0291748046875 * x0 + 0.029296875 * x1 - 0.0517578125 * x2 + 0.089111328125 * x3 - 0.16650390625 * x4 + 0.465087890625 * x5
      + 0.77978515625 * x6 - 0.2003173828125 * x7 + 0.1015625 * x8 - 0.0582275390625 * x9 + 0.0330810546875 * x10 - 0.0189208984375 * x11;
    const y2 = -0.0189208984375 * x0 + 0.0330810546875 * x1 - 0.0582275390625 * x2 + 0.1015625 * x3 - 0.2003173828125 * x4 + 0.77978515625 * x5
      + 0.465087890625 * x6 - 0.16650390625 * x7 + 0.089111328125 * x8 - 0.0517578125 * x9 + 0.029296875 * x10 - 0.0291748046875 * x11;
    const y3 = -0.00830078125 * x0 + 0.014892578125 * x1 - 0.026611328125 * x2 + 0.047607421875 * x3 - 0.102294921875 * x4 + 0.97216796875 * x5
      + 0.1373291015625 * x6 - 0.0594482421875 * x7 + 0.033203125 * x8 - 0.0196533203125 * x9 + 0.010986328125 * x10 + 0.001708984375 * x11;
    const m = Math.max(Math.abs(y0), Math.abs(y1), Math.abs(y2), Math.abs(y3));
    if (m > peak) peak = m;
    x11 = x10; x10 = x9; x9 = x8; x8 = x7; x7 = x6; x6 = x5; x5 = x4; x4 = x3; x3 = x2; x2 = x1; x1 = x0;
  }
  return peak;
}

// The loudness of the blocks (mean squares, channel-weighted) that pass both gates.
export function gatedLoudness(blocks) {
  const overAbsolute = blocks.filter((z) => blockLoudness(z) > ABSOLUTE_GATE);
  if (!overAbsolute.length) return -Infinity;
  const mean = (list) => list.reduce((a, b) => a + b, 0) / list.length;
  const relative = blockLoudness(mean(overAbsolute)) + RELATIVE_GATE;
  const kept = overAbsolute.filter((z) => blockLoudness(z) > relative);
  return blockLoudness(mean(kept));
}

// A whole file at once: channels as Float32Arrays at the given rate.
export function measure(channels, rate) {
  const meter = new LoudnessMeter(rate, channels.length);
  meter.push(channels);
  return meter.result();
}

// The linear gain that brings a measured file to target LUFS, held down so its true peak stays
// at or under the ceiling. Silence (nothing over the gate) keeps its level.
export function levelGain(measured, target, ceiling = PEAK_CEILING) {
  if (!measured || !Number.isFinite(measured.integrated)) return 1;
  let db = target - measured.integrated;
  if (Number.isFinite(measured.truePeak)) db = Math.min(db, ceiling - measured.truePeak);
  return 10 ** (db / 20);
}
