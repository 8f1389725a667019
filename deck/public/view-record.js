// The record of what was played, as it happens: pads from the engine's voices, looked at a
// fifth of a second after something changed (never inside a key's handling; a voice's start is
// taken from the audio clock, so noticing it later changes nothing, and a pad that played to
// its end ended at its start plus its length), the BGM from the player's track; kept in storage, so a reload keeps it, and cleared only when the operator
// says so. The panel lists it, sums it per file and copies either as tab-separated text.

import { $, engine, bgm, show, notify } from './deck.js';
import * as R from './record.js';
import { ask } from './messages.js';

const RECORD_KEY = 'jaunvel.deck.record';
const LOOK_MS = 200;

let entries = [];
const open = new Map(); // voice (or 'bgm') → {kind, start, path, page, pad}
let syncTimer = 0;

function save() {
  try {
    localStorage.setItem(RECORD_KEY, JSON.stringify(entries));
  } catch {
    // storage full: the record still shows and copies, it just will not survive a reload
  }
}

const pageOf = (pad) => show.pages.find((p) => p.pads.includes(pad))?.name ?? '';

function close(key, end) {
  const o = open.get(key);
  open.delete(key);
  const e = R.makeEntry({ ...o, end, base: show.baseFolder });
  if (!R.kept(o.kind, e.seconds)) return false;
  entries.push(e);
  if (entries.length > R.MAX_ENTRIES) entries.splice(0, entries.length - R.MAX_ENTRIES);
  return true;
}

// Brings the open entries in line with what sounds now.
function sync() {
  syncTimer = 0;
  const now = Date.now();
  let added = false;
  for (const [pad, voice] of engine.voices) {
    if (open.has(voice) || !pad.path) continue;
    const start = now - Math.max(0, engine.ctx.currentTime - voice.startedAt) * 1000;
    open.set(voice, { kind: 'pad', start, path: pad.path, page: pageOf(pad), pad });
  }
  for (const [key, o] of open) {
    if (o.kind !== 'pad' || engine.voices.get(o.pad) === key) continue;
    const toEnd = key.loop || key.stopping || !(key.duration > 0) ? Infinity : o.start + key.duration * 1000;
    added = close(key, Math.min(now, toEnd)) || added;
  }
  const track = bgm.playing && bgm.current ? bgm.current : null;
  const bgmOpen = open.get('bgm');
  if (bgmOpen && bgmOpen.path !== track?.path) added = close('bgm', now) || added;
  if (track && !open.has('bgm')) open.set('bgm', { kind: 'bgm', start: now, path: track.path, page: 'BGM' });
  if (added) {
    save();
    if ($('record-dialog').open) renderRecord();
  }
}

const later = () => (syncTimer ||= setTimeout(sync, LOOK_MS));

// The page goes away: what sounds is recorded up to now (a reload cuts it).
function closeAll() {
  const now = Date.now();
  for (const key of [...open.keys()]) close(key, now);
  save();
}

function cell(tr, text) {
  const td = document.createElement('td');
  td.textContent = text;
  tr.append(td);
}

export function renderRecord() {
  $('record-count').textContent = `${entries.length} 件`;
  $('record-list').replaceChildren(...entries.map((e) => {
    const tr = document.createElement('tr');
    for (const v of [R.fmtStart(e.start), R.fmtDuration(e.seconds), R.KIND_TEXT[e.kind], e.file, e.folder, e.page]) cell(tr, v);
    return tr;
  }));
  $('record-sums').replaceChildren(...R.sumByFile(entries).map((s) => {
    const tr = document.createElement('tr');
    for (const v of [s.file, s.folder, s.kind, `${s.count}`, R.fmtDuration(s.seconds)]) cell(tr, v);
    return tr;
  }));
  $('record-list').parentElement.parentElement.scrollTop = 1e9;
}

async function copy(text, what) {
  try {
    await navigator.clipboard.writeText(text);
  } catch {
    // No asynchronous clipboard here: the old way, through a selected text area.
    const area = document.createElement('textarea');
    area.value = text;
    document.body.append(area);
    area.select();
    const ok = document.execCommand('copy');
    area.remove();
    if (!ok) {
      notify('コピーできませんでした。', 'error');
      return;
    }
  }
  notify(`${what}をコピーしました。表計算ソフトに貼り付けられます。`);
}

export function installRecord() {
  entries = R.entriesFromText(localStorage.getItem(RECORD_KEY));
  engine.addEventListener('voices', later);
  bgm.addEventListener('change', later);
  window.addEventListener('pagehide', closeAll);
  $('btn-record').addEventListener('click', () => {
    sync();
    renderRecord();
    $('record-dialog').showModal();
  });
  $('record-copy').addEventListener('click', () => copy(R.toTSV(entries), '演奏記録'));
  $('record-copy-sums').addEventListener('click', () => copy(R.sumsToTSV(R.sumByFile(entries)), '曲ごとの合計'));
  $('record-clear').addEventListener('click', async () => {
    if (!entries.length) return;
    const yes = await ask(`演奏記録 ${entries.length} 件をすべて消去します。元に戻せません。よろしいですか？`, '消去する');
    if (yes) {
      entries = [];
      save();
    }
    renderRecord();
    if (!$('record-dialog').open) $('record-dialog').showModal();
  });
}

// For the tests and diagnostics.
export const recordEntries = () => entries;
