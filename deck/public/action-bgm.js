// Taking a folder in as the BGM playlist.

import { bgm, show, edit, notify, folderProblem, serverKey, loadsAfter } from './deck.js';
import * as S from './show.js';
import { listFolder } from './api.js';
import { checkTracks } from './files.js';
import { renderBgm } from './view-bgm.js';
import { updatePreflight } from './view-preflight.js';

// quiet: the folder is the show's own (opened, relinked, back from a server loss), not a new
// choice of the operator's: no message when it loads, and not an undo step.
export async function loadBgmFolder(folder, { quiet = false } = {}) {
  const forShow = show;
  await loadsAfter;
  try {
    const listing = await listFolder(folder, { recursive: true, depth: 4 });
    if (show !== forShow) return; // another show was loaded meanwhile
    const tracks = listing.files.map((f) => ({ path: f.path, name: f.name }));
    edit((s) => {
      s.bgm.folder = folder;
      s.bgm.tracks = tracks;
    }, { what: 'none', undo: !quiet });
    const same = bgm.tracks.map((t) => t.path).join('\n') === tracks.map((t) => t.path).join('\n');
    if (same) bgm.tracks = show.bgm.tracks;
    else bgm.setTracks(show.bgm.tracks);
    renderBgm();
    updatePreflight();
    checkTracks().then(updatePreflight);
    if (!listing.files.length) notify(`「${S.baseName(folder)}」には音源がありません。`, 'error');
    else if (!quiet) notify(`BGMに${listing.files.length}曲を取り込みました（${S.baseName(folder)}）。`);
  } catch (err) {
    notify(`BGMフォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
  }
}
