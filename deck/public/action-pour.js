// Pouring a folder into the current page: its files become the page's pads, after asking
// when that replaces pads already set up.

import { show, edit, notify, folderProblem, serverKey } from './deck.js';
import * as S from './show.js';
import { listFolder } from './api.js';
import { ask } from './messages.js';
import { loadShowAudio } from './files.js';
import { updatePreflight } from './view-preflight.js';

export async function pourFolder(path) {
  try {
    const listing = await listFolder(path, { recursive: true, depth: 2 });
    if (!listing.files.length) {
      notify(`「${S.baseName(path)}」には音源がありません。`, 'error');
      return;
    }
    const target = show.currentPage;
    const used = show.pages[target].pads.filter((p) => p.path).length;
    if (used && !(await ask(`「${show.pages[target].name}」の${used}個のパッドを「${S.baseName(path)}」の音源で置き換えます（Ctrl+Z で戻せます）。`, '置き換える'))) return;
    const page = show.pages[target];
    if (!page) return;
    edit((s) => {
      page.pads = S.padsFromFiles(listing.files);
      if (/^ページ \d+$/.test(page.name)) page.name = S.baseName(path);
    }, { what: 'all' });
    notify(`「${page.name}」に${Math.min(listing.files.length, S.MAX_PADS)}個の音源を流し込みました。`);
    await loadShowAudio();
    updatePreflight();
  } catch (err) {
    notify(`フォルダを読み込めませんでした: ${folderProblem(err)}（${path}）`, 'error', { key: serverKey(err) });
  }
}
