// The record of what was played (演奏記録): every pad that sounded for more than 3 s and every
// BGM track, with when it started, how long it actually sounded, its file, folder and page; as
// tab-separated text that pastes into a spreadsheet, and summed per file for a music-rights
// report. No DOM here.

import { baseName, relativeTo } from './show.js';

export const MIN_PAD_SECONDS = 3;
export const MIN_BGM_SECONDS = 0.5; // a track skipped at once (or that failed to start) is not one
export const MAX_ENTRIES = 5000;

export const KIND_TEXT = { pad: 'パッド', bgm: 'BGM' };

export const kept = (kind, seconds) => seconds > (kind === 'pad' ? MIN_PAD_SECONDS : MIN_BGM_SECONDS);

// The folder of a file as the report names it: relative to the show's base folder when inside it.
export const folderOf = (path, base) =>
  relativeTo(base && base.replace(/(.)\/+$/, '$1'), String(path).replace(/\/[^/]*$/, '') || '/');

// One entry: {kind, start (ms since the epoch), seconds, file, folder, page}.
export function makeEntry({ kind, start, end, path, page = '', base = null }) {
  return { kind, start, seconds: Math.max(0, (end - start) / 1000), file: baseName(path), folder: folderOf(path, base), page };
}

// --- text ---------------------------------------------------------------------------------

// A field as spreadsheets read pasted text: one holding a tab, a line break or a quote is
// quoted, its quotes doubled.
export const tsvField = (v) => {
  const s = String(v ?? '');
  return /[\t\r\n"]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s;
};
const tsv = (rows) => `${rows.map((r) => r.map(tsvField).join('\t')).join('\r\n')}\r\n`;

const two = (n) => String(n).padStart(2, '0');
// Local date and time, 2026-12-07 19:05:03.
export const fmtStart = (ms) => {
  const d = new Date(ms);
  return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
};
// A duration as H:MM:SS, which spreadsheets read as a time they can add up.
export const fmtDuration = (seconds) => {
  const s = Math.round(seconds);
  return `${Math.floor(s / 3600)}:${two(Math.floor((s % 3600) / 60))}:${two(s % 60)}`;
};

export const RECORD_HEAD = ['開始', '再生時間', '種類', 'ファイル名', 'フォルダ', 'ページ'];
export const toTSV = (entries) => tsv([RECORD_HEAD, ...entries.map((e) => [fmtStart(e.start), fmtDuration(e.seconds), KIND_TEXT[e.kind], e.file, e.folder, e.page])]);

// Per file (the same name in the same folder), in the order first played: times played and
// the time it sounded in all.
export function sumByFile(entries) {
  const sums = new Map();
  for (const e of entries) {
    const key = `${e.folder}\n${e.file}`;
    const s = sums.get(key) || sums.set(key, { file: e.file, folder: e.folder, kinds: new Set(), count: 0, seconds: 0 }).get(key);
    s.count++;
    s.seconds += e.seconds;
    s.kinds.add(e.kind);
  }
  return [...sums.values()].map(({ kinds, ...s }) => ({ ...s, kind: [...kinds].map((k) => KIND_TEXT[k]).join('・') }));
}

export const SUM_HEAD = ['ファイル名', 'フォルダ', '種類', '回数', '合計時間'];
export const sumsToTSV = (sums) => tsv([SUM_HEAD, ...sums.map((s) => [s.file, s.folder, s.kind, s.count, fmtDuration(s.seconds)])]);

// Entries as stored, each checked; anything malformed is left out.
export function entriesFromText(text) {
  let doc;
  try {
    doc = JSON.parse(text || '[]');
  } catch {
    return [];
  }
  if (!Array.isArray(doc)) return [];
  return doc.filter((e) => e && KIND_TEXT[e.kind] && Number.isFinite(e.start) && Number.isFinite(e.seconds) && typeof e.file === 'string')
    .map((e) => ({ kind: e.kind, start: e.start, seconds: Math.max(0, e.seconds), file: e.file, folder: String(e.folder ?? ''), page: String(e.page ?? '') }))
    .slice(-MAX_ENTRIES);
}
