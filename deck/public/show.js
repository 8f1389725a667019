// The show: pages of pads, the BGM playlist and the mixer, and their settings-file text.

import { newShowFields, writeShowFields, readShowFields, writePadFields, readPadFields, newPadFields } from './show-fields.js';
import { writeBgmOrder, readBgmOrder } from './playlist.js';

export const FORMAT = 'jaunvel-deck';
export const SCHEMA_VERSION = 1;
export const DEFAULT_FILE_NAME = '大会設定.brasmoor.json';
export const PADS_PER_ROW = 4;
export const MIN_PADS = 16;
export const MAX_PADS = 64;
export const MODES = ['oneshot', 'toggle', 'loop', 'hold'];
export const COLORS = ['#3b82f6', '#22c55e', '#eab308', '#f97316', '#ef4444', '#a855f7', '#14b8a6', '#64748b'];
const DEFAULT_KEYS = ['1', '2', '3', '4', 'Q', 'W', 'E', 'R', 'A', 'S', 'D', 'F', 'Z', 'X', 'C', 'V'];

export class SettingsError extends Error {}

export function createPad(position = 0, fields = {}) {
  return {
    label: '',
    color: COLORS[Math.floor(position / PADS_PER_ROW) % COLORS.length],
    volume: 0.9,
    mode: 'oneshot',
    fadeOut: 1,
    hotkey: DEFAULT_KEYS[position] || '',
    duck: false,
    path: null,
    name: '',
    ...newPadFields(),
    ...fields,
  };
}

export function createPage(name, count = MIN_PADS) {
  return { name, pads: Array.from({ length: roundPadCount(count) }, (_, i) => createPad(i)) };
}

export function createShow() {
  return {
    name: '',
    baseFolder: null,
    fromSettings: false, // true when a settings file laid the show out
    volumes: { master: 0.9, pads: 0.9, bgm: 0.7 },
    stopFade: 1.5,
    pages: [createPage('ページ 1')],
    currentPage: 0,
    bgm: { folder: null, tracks: [], shuffle: false, crossfade: 3 },
    ...newShowFields(),
  };
}

export const roundPadCount = (n) =>
  Math.min(MAX_PADS, Math.max(MIN_PADS, Math.ceil(n / PADS_PER_ROW) * PADS_PER_ROW));

export const baseName = (p) => String(p).replace(/\/+$/, '').split('/').pop();
export const stripExtension = (name) => name.replace(/\.[^.]+$/, '');
export const nameKey = (name) => name.normalize('NFC').toLowerCase();

// Pads are addressed across pages by one flat index, page after page.
export function padAt(show, index) {
  if (!Number.isInteger(index) || index < 0) return null;
  let i = index;
  for (let p = 0; p < show.pages.length; p++) {
    const pads = show.pages[p].pads;
    if (i < pads.length) return { page: p, slot: i, pad: pads[i] };
    i -= pads.length;
  }
  return null;
}

export function flatIndex(show, page, slot) {
  let n = 0;
  for (let p = 0; p < page; p++) n += show.pages[p].pads.length;
  return n + slot;
}

export const allPads = (show) => show.pages.flatMap((p) => p.pads);

// Turns a list of files into pads, keeping the default hotkeys and colours of each slot.
export function padsFromFiles(files) {
  const pads = files.slice(0, MAX_PADS).map((f, i) => createPad(i, { path: f.path, name: f.name, label: stripExtension(f.name) }));
  for (let i = pads.length; i < roundPadCount(pads.length); i++) pads.push(createPad(i));
  return pads;
}

// Splits files into pages of at most MAX_PADS pads: "名前", "名前 (2)", …
export function pagesFromFiles(name, files) {
  const pages = [];
  for (let i = 0; i < files.length; i += MAX_PADS) {
    const part = pages.length ? `${name} (${pages.length + 1})` : name;
    pages.push({ name: part, pads: padsFromFiles(files.slice(i, i + MAX_PADS)) });
  }
  return pages;
}

// --- settings text -----------------------------------------------------------

export function relativeTo(base, p) {
  if (!p) return null;
  if (base) {
    const prefix = base.endsWith('/') ? base : `${base}/`;
    if (p.startsWith(prefix)) return p.slice(prefix.length);
    if (p === base) return '.';
  }
  return p;
}

export function resolveFrom(base, stored) {
  if (!stored) return null;
  if (stored.startsWith('/')) return stored;
  if (!base) return null;
  if (stored === '.') return base;
  return `${base.replace(/\/+$/, '')}/${stored}`;
}

export function toSettingsText(show) {
  const base = show.baseFolder;
  const doc = {
    format: FORMAT,
    schemaVersion: SCHEMA_VERSION,
    name: show.name,
    baseFolder: base,
    volumes: show.volumes,
    stopFade: show.stopFade,
    currentPage: show.currentPage,
    bgm: {
      folder: relativeTo(base, show.bgm.folder),
      shuffle: show.bgm.shuffle,
      crossfade: show.bgm.crossfade,
    },
    pages: show.pages.map((page) => ({
      name: page.name,
      pads: page.pads.map((pad) => writePadFields(pad, {
        label: pad.label,
        color: pad.color,
        volume: pad.volume,
        mode: pad.mode,
        fadeOut: pad.fadeOut,
        hotkey: pad.hotkey,
        duck: pad.duck,
        file: relativeTo(base, pad.path),
        name: pad.name,
      })),
    })),
  };
  writeShowFields(show, doc);
  writeBgmOrder(show, doc);
  return `${JSON.stringify(doc, null, 2)}\n`;
}

const num = (v, lo, hi, dflt) => (typeof v === 'number' && Number.isFinite(v) ? Math.min(hi, Math.max(lo, v)) : dflt);
const str = (v, dflt = '') => (typeof v === 'string' ? v : dflt);

// Parses a settings text into a show; throws SettingsError with a Japanese message.
export function fromSettingsText(text) {
  if (typeof text !== 'string' || text.trim() === '') throw new SettingsError('設定ファイルが空です。');
  let doc;
  try {
    doc = JSON.parse(text.replace(/^\uFEFF/, ''));
  } catch {
    throw new SettingsError('設定ファイルの形式が正しくありません（JSONとして読めません）。');
  }
  if (!doc || typeof doc !== 'object' || Array.isArray(doc) || doc.format !== FORMAT) {
    throw new SettingsError('Jaunvel の大会設定ファイルではありません。');
  }
  if (typeof doc.schemaVersion !== 'number' || doc.schemaVersion > SCHEMA_VERSION) {
    throw new SettingsError(`この設定ファイルは新しい版のJaunvelで作られています（スキーマ ${doc.schemaVersion}）。`);
  }
  if (!Array.isArray(doc.pages)) throw new SettingsError('設定ファイルにページがありません。');

  const show = createShow();
  const base = typeof doc.baseFolder === 'string' && doc.baseFolder.startsWith('/') ? doc.baseFolder : null;
  show.name = str(doc.name);
  show.baseFolder = base;
  show.fromSettings = true;
  const v = doc.volumes || {};
  show.volumes = { master: num(v.master, 0, 1, 0.9), pads: num(v.pads, 0, 1, 0.9), bgm: num(v.bgm, 0, 1, 0.7) };
  show.stopFade = num(doc.stopFade, 0, 10, 1.5);
  const bgm = doc.bgm || {};
  show.bgm = {
    folder: resolveFrom(base, str(bgm.folder, null)),
    tracks: [],
    shuffle: bgm.shuffle === true,
    crossfade: num(bgm.crossfade, 0, 12, 3),
  };
  show.pages = doc.pages.slice(0, 100).map((page, p) => {
    const pads = (Array.isArray(page?.pads) ? page.pads : []).slice(0, MAX_PADS).map((raw, i) => {
      const pad = createPad(i);
      if (!raw || typeof raw !== 'object') return pad;
      const file = str(raw.file, null);
      return readPadFields(raw, Object.assign(pad, {
        label: str(raw.label),
        color: /^#[0-9a-f]{6}$/i.test(raw.color) ? raw.color : pad.color,
        volume: num(raw.volume, 0, 1, pad.volume),
        mode: MODES.includes(raw.mode) ? raw.mode : 'oneshot',
        fadeOut: num(raw.fadeOut, 0, 30, pad.fadeOut),
        hotkey: str(raw.hotkey).slice(0, 12),
        duck: raw.duck === true,
        path: resolveFrom(base, file),
        name: str(raw.name) || (file ? baseName(file) : ''),
      }));
    });
    for (let i = pads.length; i < roundPadCount(pads.length); i++) pads.push(createPad(i));
    return { name: str(page?.name, `ページ ${p + 1}`), pads };
  });
  if (show.pages.length === 0) show.pages = [createPage('ページ 1')];
  show.currentPage = Math.min(show.pages.length - 1, Math.max(0, Math.trunc(num(doc.currentPage, 0, 1e6, 0))));
  readShowFields(doc, show);
  readBgmOrder(doc.bgm, show);
  return show;
}

// Settings file name offered when saving.
export function settingsFileName(show) {
  const name = show.name.trim().replace(/[\\/:*?"<>|\u0000-\u001f]/g, '_');
  return name ? `${name}.brasmoor.json` : DEFAULT_FILE_NAME;
}

// --- undo steps ----------------------------------------------------------------

// The show as text, everything an operator can change (the BGM track list included).
export function snapshotShow(show) {
  const { name, baseFolder, fromSettings, volumes, stopFade, currentPage, bgm, pages, loudness, timers } = show;
  return JSON.stringify({ name, baseFolder, fromSettings, volumes, stopFade, currentPage, bgm, pages, loudness, timers });
}

// A show from snapshotShow's text. Pads of `previous` with the same file are reused, so a pad
// that is sounding is still the one shown as sounding.
export function restoreShow(text, previous) {
  const doc = JSON.parse(text);
  const pool = new Map();
  for (const pad of previous ? allPads(previous) : []) {
    const key = `${pad.path}`;
    if (!pool.has(key)) pool.set(key, []);
    pool.get(key).push(pad);
  }
  doc.pages = doc.pages.map((page) => ({
    ...page,
    pads: page.pads.map((fields) => Object.assign(pool.get(`${fields.path}`)?.shift() || {}, fields)),
  }));
  return doc;
}
