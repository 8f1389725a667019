// The BGM playlist as the operator arranges it: the order of its tracks, the ones the player
// passes over (skip), the order they play in, a fresh listing of the folder folded in, and
// how all of it is kept in the settings file. No DOM here: the rules run in node as well.
//
// A track is {path, name} and, when skipped, skip: true. Arrays of tracks are never changed in
// place: the player holds the one it was given and tells what changed by comparing paths.

import { relativeTo, resolveFrom, baseName } from './show.js';

const MAX_TRACKS = 50000; // as many as a listing gives at most

const track = (path, name, skip) => (skip ? { path, name, skip: true } : { path, name });

// tracks with the one at `from` moved to `to` (both indices in tracks).
export function moveTrack(tracks, from, to) {
  const out = tracks.slice();
  out.splice(to, 0, ...out.splice(from, 1));
  return out;
}

// tracks with the one at `index` skipped or not.
export const skipTrack = (tracks, index, skip) => tracks.map((t, i) => (i === index ? track(t.path, t.name, skip) : t));

// The order tracks play in, as indices: every track not skipped once; first (when given, even
// a skipped one the operator chose) leads. In list order from first onwards, round to the top;
// with shuffle, drawn at random.
export function playOrder(tracks, { shuffle = false, first = -1, random = Math.random } = {}) {
  const n = tracks.length;
  const rest = [...Array(n).keys()].filter((i) => i !== first && !tracks[i].skip);
  if (shuffle) {
    for (let i = rest.length - 1; i > 0; i--) {
      const j = Math.floor(random() * (i + 1));
      [rest[i], rest[j]] = [rest[j], rest[i]];
    }
  } else if (first >= 0) {
    rest.sort((a, b) => ((a - first + n) % n) - ((b - first + n) % n));
  }
  return first >= 0 ? [first, ...rest] : rest;
}

// The playing order once the playlist changed from `before` to `after` while before[order[pos]]
// plays (pos -1: nothing has played yet): that track leads, the rest follows the new list. With
// shuffle the draw stands: tracks still to come this round keep their place, gone and skipped
// ones drop out, and those that became playable are drawn in among them.
export function carryOrder(before, order, pos, after, { shuffle = false, random = Math.random } = {}) {
  const at = new Map(after.map((t, i) => [t.path, i]));
  const moved = (i) => at.get(before[i]?.path);
  const first = pos >= 0 ? moved(order[pos]) ?? -1 : -1;
  if (!shuffle) return playOrder(after, { first });
  const played = new Set(order.slice(0, pos + 1).map(moved));
  const queued = order.slice(pos + 1).map(moved).filter((i) => i !== undefined && !after[i].skip && i !== first);
  const waiting = new Set(queued);
  after.forEach((t, i) => {
    if (!t.skip && !played.has(i) && !waiting.has(i) && i !== first) queued.splice(Math.floor(random() * (queued.length + 1)), 0, i);
  });
  return first >= 0 ? [first, ...queued] : queued;
}

// A fresh listing of the BGM folder folded into the playlist: tracks still there keep their
// place and skip mark (matched by the path relative to the folder), new files follow in the
// folder's order, gone tracks drop out. files: the listing's [{path, name}]. Returns
// {tracks, gone}.
export function mergeListing(tracks, folder, files) {
  const listed = new Map(files.map((f) => [relativeTo(folder, f.path), f]));
  const kept = new Set();
  const out = [];
  const gone = [];
  for (const t of tracks) {
    const rel = relativeTo(folder, t.path);
    const f = listed.get(rel);
    if (!f) gone.push(t);
    else if (!kept.has(rel)) {
      kept.add(rel);
      out.push(track(f.path, f.name, t.skip));
    }
  }
  for (const [rel, f] of listed) if (!kept.has(rel)) out.push(track(f.path, f.name, false));
  return { tracks: out, gone };
}

// Settings fields bgm.order and bgm.skip: the tracks' paths relative to the BGM folder, in the
// operator's order, and those skipped. Written only when there is a playlist to keep.
export function writeBgmOrder(show, doc) {
  const { folder, tracks } = show.bgm;
  if (!folder || !tracks.length) return;
  const rel = (t) => relativeTo(folder, t.path);
  doc.bgm.order = tracks.map(rel);
  doc.bgm.skip = tracks.filter((t) => t.skip).map(rel);
}

// The playlist a settings file kept, shown until the folder is listed again (which folds the
// listing into it). A file without bgm.order leaves it empty: the folder's order then.
export function readBgmOrder(raw, show) {
  const folder = show.bgm.folder;
  if (!folder || !Array.isArray(raw?.order)) return;
  const skip = new Set(Array.isArray(raw.skip) ? raw.skip : []);
  const seen = new Set();
  show.bgm.tracks = raw.order
    .filter((rel) => typeof rel === 'string' && rel !== '' && !rel.includes('\0') && !seen.has(rel) && seen.add(rel))
    .slice(0, MAX_TRACKS)
    .map((rel) => track(resolveFrom(folder, rel), baseName(rel), skip.has(rel)));
}
