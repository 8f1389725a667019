// Taking a folder in as the BGM playlist, and the operator's arrangement of it: tracks moved
// and skipped (playlist.js), each an undo step, the player following without a cut.

import { bgm, show, edit, notify, folderProblem, serverKey, loadsAfter } from './deck.js';
import * as S from './show.js';
import { mergeListing, moveTrack as moved, skipTrack as skipped } from './playlist.js';
import { listFolder } from './api.js';
import { checkTracks } from './files.js';
import { renderBgm } from './view-bgm.js';
import { fewNames } from './messages.js';
import { updatePreflight } from './view-preflight.js';

let listedFor = null; // the show's bgm once its folder has been listed
export const bgmListed = () => listedFor === show.bgm;


// quiet: the folder is the show's own (opened, relinked, back from a server loss), not a new
// choice of the operator's: no message when it loads, and not an undo step. The same folder
// listed again keeps the operator's order and skip marks.
export async function loadBgmFolder(folder, { quiet = false } = {}) {
  const forShow = show;
  await loadsAfter;
  try {
    const listing = await listFolder(folder, { recursive: true, depth: 4 });
    if (show !== forShow) return; // another show was loaded meanwhile
    const files = listing.files.map((f) => ({ path: f.path, name: f.name }));
    const gone = edit((s) => {
      const merged = mergeListing(s.bgm.folder === folder ? s.bgm.tracks : [], folder, files);
      s.bgm.folder = folder;
      s.bgm.tracks = merged.tracks;
      return merged.gone;
    }, { what: 'none', undo: !quiet });
    listedFor = show.bgm;
    bgm.rearrange(show.bgm.tracks);
    renderBgm();
    updatePreflight();
    checkTracks().then(updatePreflight);
    if (gone.length) notify(`BGMフォルダにない曲を一覧から外しました（${gone.length}曲）: ${fewNames(gone.map((t) => `「${S.stripExtension(t.name)}」`), '曲')}`, 'error', { key: 'bgm-gone' });
    if (!listing.files.length) notify(`「${S.baseName(folder)}」には音源がありません。`, 'error');
    else if (!quiet) notify(`BGMに${listing.files.length}曲を取り込みました（${S.baseName(folder)}）。`);
  } catch (err) {
    notify(`BGMフォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
  }
}

// Moves the track at `from` to `to`; what plays goes on, "next" follows the new order.
export function moveTrack(from, to) {
  const n = show.bgm.tracks.length;
  if (from === to || from < 0 || from >= n || to < 0 || to >= n) return;
  edit((s) => (s.bgm.tracks = moved(s.bgm.tracks, from, to)), { what: 'bgm' });
  bgm.rearrange(show.bgm.tracks);
}

// Marks a track to be passed over (or not); a track playing now plays to its end.
export function skipTrack(index, skip) {
  if (!show.bgm.tracks[index] || Boolean(show.bgm.tracks[index].skip) === skip) return;
  edit((s) => (s.bgm.tracks = skipped(s.bgm.tracks, index, skip)), { what: 'bgm' });
  bgm.rearrange(show.bgm.tracks);
}
