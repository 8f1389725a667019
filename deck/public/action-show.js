// A whole show taking the place of the last one: opened, laid out again, or an undo step.

import { engine, bgm, store, show, notify } from './deck.js';
import * as S from './show.js';
import { loadShowAudio, verifyAll } from './files.js';
import { renderAll } from './view-show.js';
import { refreshEditor } from './view-editor.js';
import { loadBgmFolder } from './action-bgm.js';

// Resolves when the files of the show last swapped in have loaded and been checked.
let afterSwapLoad = Promise.resolve();

// Brings the engine, the player and every view to the show now in the store.
export function afterSwap() {
  for (const bus of ['master', 'pads', 'bgm']) engine.setVolume(bus, show.volumes[bus]);
  bgm.crossfade = show.bgm.crossfade;
  if (bgm.shuffle !== show.bgm.shuffle) bgm.setShuffle(show.bgm.shuffle);
  // The same tracks in another order or with other skip marks (an undo step): the player
  // follows without a cut. Other tracks: the list is taken afresh.
  const paths = (tracks) => tracks.map((t) => t.path).sort().join('\n');
  if (paths(bgm.tracks) === paths(show.bgm.tracks)) bgm.rearrange(show.bgm.tracks);
  else bgm.setTracks(show.bgm.tracks);
  refreshEditor();
  renderAll();
  afterSwapLoad = loadShowAudio().then(verifyAll);
}

export function applyShow(next, { undo = true } = {}) {
  engine.stopAllPads(0.3);
  store.replace(next, { undo });
  return Promise.all([afterSwapLoad, show.bgm.folder ? loadBgmFolder(show.bgm.folder, { quiet: true }) : null]);
}

export function undo() {
  if (store.undo()) notify('ひとつ前に戻しました。', 'info', { key: 'undo' });
  else notify('これ以上は戻せません。', 'info', { key: 'undo' });
}

// Whether laying the deck out again would throw away what the operator made of it.
export const hasWork = () => S.allPads(show).some((p) => p.path) || show.bgm.tracks.length > 0;
