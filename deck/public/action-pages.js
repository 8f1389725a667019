// Pages: adding one, a row of pads, renaming, and deleting (after asking; Ctrl+Z brings it back).

import { engine, show, edit } from './deck.js';
import * as S from './show.js';
import { ask } from './messages.js';
import { loadShowAudio } from './files.js';

export function addPage() {
  edit((s) => {
    s.pages.push(S.createPage(`ページ ${s.pages.length + 1}`));
    s.currentPage = s.pages.length - 1;
  }, { what: 'tabs' });
}

export function addRow() {
  const pads = show.pages[show.currentPage].pads;
  if (pads.length >= S.MAX_PADS) return;
  edit(() => {
    for (let i = 0; i < S.PADS_PER_ROW; i++) pads.push(S.createPad(pads.length));
  }, { what: 'grid' });
}

export function renamePage() {
  const page = show.pages[show.currentPage];
  const name = window.prompt('ページの名前', page.name);
  if (name === null || !name.trim()) return;
  edit(() => (page.name = name.trim()), { what: 'tabs' });
}

export async function deletePage() {
  if (show.pages.length < 2) return;
  const page = show.pages[show.currentPage];
  if (!(await ask(`ページ「${page.name}」を削除しますか？（Ctrl+Z で戻せます）`, '削除する'))) return;
  const at = show.pages.indexOf(page);
  if (at < 0) return;
  for (const pad of page.pads) engine.stopPad(pad);
  edit((s) => {
    s.pages.splice(at, 1);
    s.currentPage = Math.min(s.currentPage, s.pages.length - 1);
  }, { what: 'all' });
  loadShowAudio();
}
