'use strict';
// Writes small PCM WAV files (sine tones) so tests, benches and screenshots have real audio.
const fs = require('node:fs');
const path = require('node:path');

function sineWav({ seconds = 0.5, freq = 440, rate = 22050, channels = 1, gain = 0.3 } = {}) {
  const frames = Math.round(seconds * rate);
  const buf = Buffer.alloc(44 + frames * channels * 2);
  buf.write('RIFF    WAVEfmt ', 0, 'latin1');
  buf.writeUInt32LE(buf.length - 8, 4);
  // fmt chunk: size 16, PCM, channels, rate, bytes per second, block size, 16 bits
  [16, 1 | (channels << 16), rate, rate * channels * 2, channels * 2 | (16 << 16)].forEach((v, i) => buf.writeUInt32LE(v, 16 + 4 * i));
  buf.write('data', 36, 'latin1');
  buf.writeUInt32LE(buf.length - 44, 40);
  for (let i = 0, off = 44; i < frames; i++) {
    const v = Math.round(Math.sin((2 * Math.PI * freq * i) / rate) * gain * 32767);
    for (let c = 0; c < channels; c++, off += 2) buf.writeInt16LE(v, off);
  }
  return buf;
}

// Creates files from a {relativePath: toneOptions|Buffer|string} map under dir.
function writeTree(dir, tree) {
  for (const [rel, content] of Object.entries(tree)) {
    const file = path.join(dir, rel);
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, Buffer.isBuffer(content) || typeof content === 'string' ? content : sineWav(content));
  }
}

// A small tournament folder: a loose jingle, two pad folders and a bgm folder.
function writeShowFolder(dir) {
  const tone = (freq, seconds = 1.5) => ({ freq, seconds });
  writeTree(dir, {
    '開会ジングル.wav': tone(523, 2),
    'オープニング/01 入場曲.wav': tone(440, 3), 'オープニング/02 選手紹介.wav': tone(494), 'オープニング/03 ルール説明.wav': tone(587),
    'SE/正解.wav': tone(880, 0.6), 'SE/不正解.wav': tone(220, 0.6), 'SE/カウントダウン.wav': tone(660, 3),
    'SE/拍手.wav': tone(330), 'SE/ドラムロール.wav': tone(110, 2.5), 'SE/ゴング.wav': tone(196),
    'bgm/bgm1 待機.wav': tone(262, 6), 'bgm/bgm2 休憩.wav': tone(294, 6), 'bgm/bgm10 エンディング.wav': tone(349, 6),
  });
}

module.exports = { sineWav, writeTree, writeShowFolder };
