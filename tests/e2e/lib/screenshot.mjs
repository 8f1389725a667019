// Screenshots without extra tools: Xvfb started with -fbdir keeps its screen in
// an XWD file that it updates in place; we read it, crop it and write PNGs.
import fs from 'node:fs';
import zlib from 'node:zlib';

const HEADER_FIELDS = [
  'headerSize', 'fileVersion', 'pixmapFormat', 'pixmapDepth', 'pixmapWidth', 'pixmapHeight',
  'xoffset', 'byteOrder', 'bitmapUnit', 'bitmapBitOrder', 'bitmapPad', 'bitsPerPixel',
  'bytesPerLine', 'visualClass', 'redMask', 'greenMask', 'blueMask', 'bitsPerRgb',
  'colormapEntries', 'ncolors', 'windowWidth', 'windowHeight', 'windowX', 'windowY',
  'windowBorderWidth',
];

// An RGB image: width, height and 3 bytes per pixel.
export class Image {
  constructor(width, height, rgb) {
    this.width = width;
    this.height = height;
    this.rgb = rgb ?? Buffer.alloc(width * height * 3);
  }

  pixel(x, y) {
    const i = (y * this.width + x) * 3;
    return [this.rgb[i], this.rgb[i + 1], this.rgb[i + 2]];
  }

  crop({ x, y, width, height }) {
    const x0 = Math.max(0, Math.round(x));
    const y0 = Math.max(0, Math.round(y));
    const w = Math.min(this.width - x0, Math.round(width));
    const h = Math.min(this.height - y0, Math.round(height));
    const out = new Image(w, h);
    for (let row = 0; row < h; row++) {
      const from = ((y0 + row) * this.width + x0) * 3;
      this.rgb.copy(out.rgb, row * w * 3, from, from + w * 3);
    }
    return out;
  }

  equals(other) {
    return this.width === other.width && this.height === other.height && this.rgb.equals(other.rgb);
  }

  toPng() {
    const raw = Buffer.alloc((this.width * 3 + 1) * this.height);
    for (let row = 0; row < this.height; row++) {
      const at = row * (this.width * 3 + 1);
      raw[at] = 0; // filter: none
      this.rgb.copy(raw, at + 1, row * this.width * 3, (row + 1) * this.width * 3);
    }
    const ihdr = Buffer.alloc(13);
    ihdr.writeUInt32BE(this.width, 0);
    ihdr.writeUInt32BE(this.height, 4);
    ihdr[8] = 8; // bit depth
    ihdr[9] = 2; // colour type: RGB
    return Buffer.concat([
      Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
      pngChunk('IHDR', ihdr),
      pngChunk('IDAT', zlib.deflateSync(raw, { level: 6 })),
      pngChunk('IEND', Buffer.alloc(0)),
    ]);
  }

  savePng(file) {
    fs.writeFileSync(file, this.toPng());
  }
}

const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});

function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function pngChunk(type, data) {
  const len = Buffer.alloc(4);
  len.writeUInt32BE(data.length);
  const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([len, body, crc]);
}

function maskShift(mask) {
  let shift = 0;
  while (mask && !(mask & 1)) {
    mask >>>= 1;
    shift++;
  }
  return shift;
}

// Reads the screen, or the rectangle `rect` of it, from Xvfb's XWD framebuffer
// file (TrueColor, 24 or 32 bpp).
export function readXwd(file, rect) {
  const buf = fs.readFileSync(file);
  const h = {};
  // The header is written most significant byte first.
  HEADER_FIELDS.forEach((name, i) => (h[name] = buf.readUInt32BE(i * 4)));
  if (h.fileVersion !== 7 || h.pixmapFormat !== 2) throw new Error(`unexpected XWD header in ${file}`);
  if (h.bitsPerPixel !== 32 && h.bitsPerPixel !== 24) throw new Error(`unsupported ${h.bitsPerPixel} bpp`);
  const data = h.headerSize + h.ncolors * 12;
  const bytes = h.bitsPerPixel / 8;
  const x0 = Math.max(0, Math.round(rect?.x ?? 0));
  const y0 = Math.max(0, Math.round(rect?.y ?? 0));
  const w = Math.min(h.pixmapWidth - x0, Math.round(rect?.width ?? h.pixmapWidth));
  const ht = Math.min(h.pixmapHeight - y0, Math.round(rect?.height ?? h.pixmapHeight));
  const img = new Image(w, ht);
  const shifts = [h.redMask, h.greenMask, h.blueMask].map(maskShift);
  for (let y = 0; y < ht; y++) {
    for (let x = 0; x < w; x++) {
      const at = data + (y0 + y) * h.bytesPerLine + (x0 + x) * bytes;
      let v = 0;
      if (h.byteOrder === 0) {
        for (let b = bytes - 1; b >= 0; b--) v = v * 256 + buf[at + b];
      } else {
        for (let b = 0; b < bytes; b++) v = v * 256 + buf[at + b];
      }
      const o = (y * w + x) * 3;
      img.rgb[o] = (v >>> shifts[0]) & 0xff;
      img.rgb[o + 1] = (v >>> shifts[1]) & 0xff;
      img.rgb[o + 2] = (v >>> shifts[2]) & 0xff;
    }
  }
  return img;
}
