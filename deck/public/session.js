// What survives a reload (the shell reloads the page at start-up and after a failed load, and
// keeps its storage between runs): the show, saved shortly after each change, and what was
// sounding when the page went away.

import { engine, bgm, show, notify, holdLoads } from './deck.js';
import * as S from './show.js';
import { cutPads, renderGrid } from './view-grid.js';

const STORAGE_KEY = 'jaunvel.deck.show';
const PLAYING_KEY = 'jaunvel.deck.playing';
const RESUME_WITHIN_MS = 60000;
const HOLD_LOADS_MS = 1000;

let saveTimer = 0;
export function changed() {
  clearTimeout(saveTimer);
  saveTimer = setTimeout(persist, 300);
}

export function persist() {
  clearTimeout(saveTimer);
  try {
    localStorage.setItem(STORAGE_KEY, JSON.stringify({ fromSettings: show.fromSettings, text: S.toSettingsText(show), tracks: show.bgm.tracks }));
  } catch {
    // storage full or unavailable: the deck still works, it just will not survive a reload
  }
}

// The show as the last page left it, or null.
export function restore() {
  try {
    const saved = JSON.parse(localStorage.getItem(STORAGE_KEY) || 'null');
    if (!saved) return null;
    const restored = S.fromSettingsText(saved.text);
    restored.fromSettings = saved.fromSettings === true;
    if (Array.isArray(saved.tracks) && restored.bgm.folder) restored.bgm.tracks = saved.tracks.filter((t) => t && typeof t.path === 'string');
    return restored;
  } catch {
    return null;
  }
}

export function savePlaying() {
  const pads = [];
  for (const pad of engine.voices.keys()) {
    if (!engine.isPlaying(pad)) continue;
    const at = show.pages.findIndex((p) => p.pads.includes(pad));
    if (at >= 0) pads.push(S.flatIndex(show, at, show.pages[at].pads.indexOf(pad)));
  }
  const music = bgm.playing && bgm.current ? { path: bgm.current.path, time: bgm.element.currentTime } : null;
  try {
    localStorage.setItem(PLAYING_KEY, JSON.stringify({ at: Date.now(), bgm: music, pads }));
  } catch {
    // nothing to resume then
  }
}

// What was sounding when the last page went away, if that was a moment ago (read once).
export function takePlaying() {
  try {
    const saved = JSON.parse(localStorage.getItem(PLAYING_KEY) || 'null');
    localStorage.removeItem(PLAYING_KEY);
    return saved && Date.now() - saved.at < RESUME_WITHIN_MS ? saved : null;
  } catch {
    return null;
  }
}

// The BGM plays on at its track and second. Called with the restored show before the deck is
// drawn: the music comes back first, and the pads' files, the listings and the checks (requests
// to the server and work for the main thread, both of which the music's start waits on) follow
// once it plays.
export function resumeBgm(saved, restored) {
  const index = saved?.bgm ? restored.bgm.tracks.findIndex((t) => t.path === saved.bgm.path) : -1;
  if (index < 0) return;
  bgm.crossfade = restored.bgm.crossfade;
  bgm.shuffle = restored.bgm.shuffle;
  bgm.setTracks(restored.bgm.tracks);
  bgm.resumeAt(index, Number(saved.bgm.time) || 0);
  const el = bgm.element;
  holdLoads(new Promise((resolve) => {
    el.addEventListener('playing', () => {
      performance.mark('bgm-resumed'); // for diagnostics and the trigger bench: ms since the reload began
      resolve();
    }, { once: true });
    el.addEventListener('error', resolve, { once: true });
    setTimeout(resolve, HOLD_LOADS_MS);
  }));
}

// Pads the reload cut are shown as cut, and named in a message.
export function showCutPads(saved) {
  const cut = (Array.isArray(saved?.pads) ? saved.pads : []).map((i) => S.padAt(show, i)).filter(Boolean);
  for (const { pad } of cut) cutPads.add(pad);
  if (cut.length) {
    notify(`再読み込みで止まったパッド: ${cut.map(({ page, slot, pad }) => `${show.pages[page].name} ${slot + 1}「${pad.label || pad.name}」`).join('、')}`, 'error', { key: 'cut' });
    renderGrid();
  }
}
