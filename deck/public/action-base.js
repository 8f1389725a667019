// Choosing the base folder: the deck is laid out from it, or, when the show came from a
// settings file or the operator asked to relink, the show's files are looked for under it.

import { show, notify, folderProblem, serverKey } from './deck.js';
import * as S from './show.js';
import * as bridge from './bridge.js';
import { listFolder } from './api.js';
import { ask } from './messages.js';
import { applyShow, hasWork } from './action-show.js';
import { relinkTo } from './action-relink.js';

let relinkPending = false; // the folder the shell answers with relinks the show

// Opens the shell's folder dialog to lay the deck out (relink false) or to relink it.
export function pickBaseFolder({ relink }) {
  relinkPending = relink;
  bridge.pickFolder('theme');
}

// Lays a show out from a base folder: loose files become the first page, each
// sub-folder a page, and a folder named "bgm" the playlist.
async function layoutFromFolder(folder) {
  const top = await listFolder(folder);
  const next = S.createShow();
  Object.assign(next, { name: show.name, volumes: show.volumes, stopFade: show.stopFade, baseFolder: folder });
  next.bgm.crossfade = show.bgm.crossfade;
  next.bgm.shuffle = show.bgm.shuffle;
  next.pages = [];
  if (top.files.length) next.pages.push(...S.pagesFromFiles(S.baseName(folder), top.files));
  let bgmDir = null;
  for (const dir of top.dirs) {
    if (dir.name.toLowerCase() === 'bgm') {
      bgmDir = dir.path;
      continue;
    }
    const listing = await listFolder(dir.path, { recursive: true, depth: 2 });
    if (listing.files.length) next.pages.push(...S.pagesFromFiles(dir.name, listing.files));
  }
  if (!next.pages.length) next.pages.push(S.createPage('ページ 1'));
  next.bgm.folder = bgmDir;
  return next;
}

let baseChoice = 0; // a folder chosen while the last one is still being read replaces it
export async function setBaseFolder(folder) {
  const relink = relinkPending || show.fromSettings;
  relinkPending = false;
  if (relink) return relinkTo(folder);
  const choice = ++baseChoice;
  let next;
  try {
    next = await layoutFromFolder(folder);
  } catch (err) {
    notify(`基本フォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
    return;
  }
  if (choice !== baseChoice) return;
  const question = `「${S.baseName(folder)}」から並べ直します。\n今のパッドの名前・色・モード・キーとBGMの一覧は置き換わります（Ctrl+Z で戻せます）。`;
  if (hasWork() && !(await ask(question, '並べ直す'))) return;
  try {
    const count = S.allPads(next).filter((p) => p.path).length;
    await applyShow(next);
    notify(`「${S.baseName(folder)}」を読み込みました: パッド ${count}個・${next.pages.length}ページ。`);
  } catch (err) {
    notify(`基本フォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
  }
}
