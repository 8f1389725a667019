// What survives a reload (the shell reloads the page at start-up and after a failed load, and
// keeps its storage between runs): the show, saved shortly after each change, and what was
// sounding when the page went away.

import { engine, bgm, show, notify, holdLoads } from './deck.js';
import * as S from './show.js';
import { taper } from './engine.js';
import { measured } from './levelling.js';
import { cutPads, renderGrid } from './view-grid.js';
import { PLAYING_KEY, playing, bridge, readLayout, bridgeSaved } from './resume.js';

const STORAGE_KEY = 'jaunvel.deck.show';
const HOLD_LOADS_MS = 1000;

// path → layout of BGM tracks played (WAV, or an MP3 file's frames; null: neither, or not read
// yet), for the bridge. The bridge's own serves until the track has been read.
const layouts = new Map(bridge ? [[bridge.path, bridge.layout]] : []);
const reading = new Set();
bgm.addEventListener('change', () => {
  const path = bgm.playing && bgm.current?.path;
  if (!path || reading.has(path) || (layouts.has(path) && !layouts.get(path)?.partial)) return;
  reading.add(path);
  const had = layouts.get(path) ?? null;
  layouts.set(path, had);
  // Read once the track plays (after a reload, once the bridge has handed over), so as not to
  // hold up its start.
  const learn = () => readLayout(path).then((l) => layouts.set(path, l ?? had), () => had || layouts.delete(path)).finally(() => reading.delete(path));
  const el = bgm.element;
  if (bridge?.path === path && !bridge.done) bridge.finished.then(learn);
  else if (!el.paused && el.readyState > 2) learn();
  else el.addEventListener('playing', learn, { once: true });
});

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
  let music = null;
  // A track the player holds until the server answers again goes on after the reload as well.
  const held = !bgm.playing && bgm.held ? bgm.tracks[bgm.order[bgm.held.pos]] : null;
  if ((bgm.playing && bgm.current) || held) {
    const { path } = held ?? bgm.current;
    const deck = bgm.decks[bgm.active];
    // Where the BGM is: as heard, while the bridge can tell; else as the element says.
    const time = held ? bgm.held.time : (bridge?.path === path ? bridge.heard(bgm.element) : null) ?? bgm.element.currentTime - deck.delay.delayTime.value;
    const gain = taper(show.volumes.master) * taper(show.volumes.bgm) * (deck.level ? deck.level.gain.value : 1);
    const loudness = measured.get(path);
    music = { path, time, ...bridgeSaved(layouts.get(path), time), gain, loudness: loudness && !loudness.failed ? loudness : null };
  }
  try {
    localStorage.setItem(PLAYING_KEY, JSON.stringify({ at: Date.now(), bgm: music, pads }));
  } catch {
    // nothing to resume then
  }
}

// What was sounding when the last page went away, if that was a moment ago (read once, by
// resume.js as the page began).
export function takePlaying() {
  try {
    localStorage.removeItem(PLAYING_KEY);
  } catch {
    // read-only storage: the next page finds it stale
  }
  return playing;
}

// The BGM plays on at its track and second. Called with the restored show before the deck is
// drawn: the music comes back first, and the pads' files, the listings and the checks (requests
// to the server and work for the main thread, both of which the music's start waits on) follow
// once it plays.
export function resumeBgm(saved, restored) {
  const index = saved?.bgm ? restored.bgm.tracks.findIndex((t) => t.path === saved.bgm.path) : -1;
  if (index < 0) {
    bridge?.stop();
    return;
  }
  bgm.crossfade = restored.bgm.crossfade;
  bgm.shuffle = restored.bgm.shuffle;
  bgm.setTracks(restored.bgm.tracks);
  // The track keeps the level it had: measured before the reload, not measured again.
  if (saved.bgm.loudness && typeof saved.bgm.loudness.integrated === 'number') measured.set(saved.bgm.path, saved.bgm.loudness);
  const bridged = bridge && !bridge.done && bridge.path === saved.bgm.path;
  if (!bridged) bridge?.stop();
  bgm.resumeAt(index, Number(saved.bgm.time) || 0, bridged ? bridge : null);
  const el = bgm.element;
  holdLoads(new Promise((resolve) => {
    if (bridged) bridge.finished.then(resolve);
    el.addEventListener('playing', () => {
      // For diagnostics and the trigger bench, ms since the reload began (the bridge marks it first).
      if (!performance.getEntriesByName('bgm-resumed').length) performance.mark('bgm-resumed');
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
