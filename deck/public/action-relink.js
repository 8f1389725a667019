// Relinking a moved show: each file at the same place under the new folder, else the one file
// of its name there; what stays ambiguous or missing is listed by page, never guessed.

import { engine, show, edit, notify, folderProblem, serverKey } from './deck.js';
import * as S from './show.js';
import { listFolder } from './api.js';
import { planRelink, applyRelink } from './relink.js';
import { loadShowAudio } from './files.js';
import { updatePreflight } from './view-preflight.js';
import { loadBgmFolder } from './action-bgm.js';
import { fewNames } from './messages.js';

// "予選 3「a.wav」、決勝 7「b.wav」" — at most a few, then how many more.
const whereList = (items) => fewNames(items.map((w) => `${show.pages[w.page].name} ${w.slot + 1}「${w.name}」`), '個');

export async function relinkTo(folder) {
  let listing;
  try {
    listing = await listFolder(folder, { recursive: true, depth: 8 });
  } catch (err) {
    notify(`再リンク用のフォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
    return;
  }
  const plan = planRelink(show, { oldBase: show.baseFolder, newBase: folder, files: listing.files, isMissing: (p) => engine.fileState(p)?.state !== 'ready' });
  const bgmBefore = show.bgm.folder;
  edit((s) => applyRelink(s, plan, folder), { what: 'all' });
  if (show.bgm.folder && show.bgm.folder !== bgmBefore) loadBgmFolder(show.bgm.folder, { quiet: true });
  await loadShowAudio();
  updatePreflight();
  const problems = [];
  if (plan.ambiguous.length) problems.push(`同じ名前のファイルが複数あって決められないもの ${plan.ambiguous.length}個: ${whereList(plan.ambiguous)}`);
  if (plan.missing.length) problems.push(`見つからないもの ${plan.missing.length}個: ${whereList(plan.missing)}`);
  if (plan.bgmLost) problems.push(`BGMフォルダ「${S.baseName(bgmBefore)}」が見つかりません`);
  notify(`「${S.baseName(folder)}」に再リンクしました（${plan.moves.length}個を移動）。${problems.length ? `\n${problems.join('\n')}` : ''}`, problems.length ? 'error' : 'info', { key: 'relink' });
}
