// The show's audio files: loading them, what state each is in, and asking the disk about
// them again for the pre-flight.

import { engine, bgm, show, loadsAfter } from './deck.js';
import * as S from './show.js';
import { sniffAudio } from './decode.js';
import { mediaUrl } from './api.js';
import { updatePreflight } from './view-preflight.js';

const LOAD_CONCURRENCY = 4;
const STATE_TEXT = { empty: '未割当', loading: '読込中…', ready: '準備完了', missing: 'ファイルなし', unsupported: '読めません', offline: 'サーバー待ち' };

export const padState = (pad) => (pad.path ? engine.fileState(pad.path)?.state || 'loading' : 'empty');
// What a pad's status line says: an empty file is named as such.
export const stateText = (pad) => (engine.fileState(pad.path)?.reason === 'empty' ? '空のファイル' : STATE_TEXT[padState(pad)]);

// Loads every file the show uses, a few at a time; resolves when all have settled. Stops
// when another show takes its place: that show's files are the ones to decode now.
export async function loadShowAudio() {
  const forShow = show;
  await loadsAfter;
  const paths = [...new Set(S.allPads(show).map((p) => p.path).filter(Boolean))];
  engine.retain(new Set(paths));
  const queue = paths.filter((p) => !engine.fileState(p));
  const worker = async () => {
    while (queue.length && show === forShow) await engine.load(queue.shift());
  };
  await Promise.all(Array.from({ length: LOAD_CONCURRENCY }, worker));
  if (show === forShow) await Promise.all(paths.map((p) => engine.load(p)));
}

// What the pre-flight knows of a pad: its file's state, and whether it is still on disk.
export function checkState(pad) {
  const entry = engine.fileState(pad.path);
  if (!entry) return 'loading';
  if (entry.state === 'unsupported' && entry.reason === 'empty') return 'empty';
  if (entry.state === 'ready') return entry.gone ? 'gone' : entry.stream ? 'stream' : 'ready';
  return entry.state;
}

// BGM tracks as last checked: path → null (plays) | 'missing' | 'broken'.
const trackChecks = new Map();
export const trackState = (t) => (bgm.broken.has(show.bgm.tracks.indexOf(t)) ? 'broken' : trackChecks.get(t.path) || null);

// Reads the first bytes of every BGM track: there, and audio?
export async function checkTracks() {
  const tracks = show.bgm.tracks;
  await Promise.all(tracks.map(async (t) => {
    const res = await fetch(mediaUrl(t.path), { headers: { Range: 'bytes=0-63' }, cache: 'no-store' }).catch(() => null);
    if (!res) return;
    if (res.status === 404) trackChecks.set(t.path, 'missing');
    else if (!res.ok) trackChecks.set(t.path, 'broken');
    else trackChecks.set(t.path, sniffAudio(await res.arrayBuffer()).ok ? null : 'broken');
  }));
}

// Asks the disk again about every file (audio already in memory is not taken on trust).
let verifying = null;
export function verifyAll() {
  verifying ??= Promise.all([engine.verify(new Set(S.allPads(show).map((p) => p.path).filter(Boolean))), checkTracks()])
    .finally(() => {
      verifying = null;
      updatePreflight();
    });
  return verifying;
}
