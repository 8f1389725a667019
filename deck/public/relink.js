// Relinking a show whose files moved: where each pad's file and the BGM folder are now.
// First by the path relative to the old base folder; then by file name, but only where that
// name is unique under the new folder. What stays open is listed, never guessed.

import { relativeTo, resolveFrom, baseName, nameKey } from './show.js';

const parentOf = (p) => p.slice(0, p.lastIndexOf('/'));

// show: the deck's show; oldBase: the base folder its paths were made under (may be null);
// newBase: the folder chosen now; files: every audio file under newBase ({path}); isMissing(path):
// whether a pad's current file is gone (pads outside the old base are moved only then).
// Returns {moves: [{page, slot, to}], bgmFolder, bgmLost, ambiguous, missing}, the last two as
// [{page, slot, name}] in page order.
export function planRelink(show, { oldBase, newBase, files, isMissing = () => true }) {
  const present = new Set(files.map((f) => f.path));
  const byName = new Map(); // file name → its path, or null when several files have it
  for (const f of files) {
    const k = nameKey(baseName(f.path));
    byName.set(k, byName.has(k) ? null : f.path);
  }
  // A file found at another pad's old place belongs to that pad: never a match by name.
  const claimed = new Set();
  for (const pad of show.pages.flatMap((page) => page.pads)) {
    const rel = pad.path && relativeTo(oldBase, pad.path);
    if (oldBase && rel !== pad.path && present.has(resolveFrom(newBase, rel))) claimed.add(resolveFrom(newBase, rel));
  }
  const moves = [];
  const ambiguous = [];
  const missing = [];
  show.pages.forEach((page, p) => {
    page.pads.forEach((pad, slot) => {
      if (!pad.path) return;
      const rel = relativeTo(oldBase, pad.path);
      const inside = oldBase && rel !== pad.path;
      if (inside) {
        const at = resolveFrom(newBase, rel);
        if (present.has(at)) {
          if (at !== pad.path) moves.push({ page: p, slot, to: at });
          return;
        }
      } else if (!isMissing(pad.path)) return;
      const k = nameKey(baseName(pad.path));
      const found = claimed.has(byName.get(k)) ? undefined : byName.get(k);
      const where = { page: p, slot, name: baseName(pad.path) };
      if (found) moves.push({ page: p, slot, to: found });
      else if (byName.get(k) === null) ambiguous.push(where);
      else missing.push(where);
    });
  });

  // The BGM folder: the same place under the new base, else the one folder of that name.
  let bgmFolder = show.bgm.folder;
  let bgmLost = false;
  if (show.bgm.folder) {
    const folders = new Set();
    for (const f of files) for (let d = parentOf(f.path); d.length > newBase.length; d = parentOf(d)) folders.add(d);
    const rel = relativeTo(oldBase, show.bgm.folder);
    const at = rel !== show.bgm.folder ? resolveFrom(newBase, rel) : null;
    if (at && folders.has(at)) bgmFolder = at;
    else {
      const named = [...folders].filter((d) => nameKey(baseName(d)) === nameKey(baseName(show.bgm.folder)));
      if (named.length === 1) bgmFolder = named[0];
      else bgmLost = true;
    }
  }
  return { moves, bgmFolder, bgmLost, ambiguous, missing };
}

// Applies a plan to the show: pads moved, BGM folder and base folder set.
export function applyRelink(show, plan, newBase) {
  for (const m of plan.moves) show.pages[m.page].pads[m.slot].path = m.to;
  // The playlist's tracks move with their folder, keeping their order and skip marks.
  const from = show.bgm.folder;
  if (from && plan.bgmFolder !== from) show.bgm.tracks = show.bgm.tracks.map((t) => ({ ...t, path: resolveFrom(plan.bgmFolder, relativeTo(from, t.path)) }));
  show.bgm.folder = plan.bgmFolder;
  show.baseFolder = newBase;
}
