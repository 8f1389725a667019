// The page tabs: one per page, the current one selected; a double click renames.

import { $, show, edit } from './deck.js';
import { renderSounding } from './view-sounding.js';
import { renamePage } from './action-pages.js';

export function renderTabs() {
  $('tabs').replaceChildren(
    ...show.pages.map((page, i) => {
      const b = document.createElement('button');
      b.className = 'tab';
      b.setAttribute('role', 'tab');
      b.setAttribute('aria-selected', String(i === show.currentPage));
      b.textContent = page.name;
      b.addEventListener('click', () => selectPage(i));
      b.addEventListener('dblclick', renamePage);
      return b;
    }),
  );
  renderSounding();
}

export function selectPage(i) {
  if (i < 0 || i >= show.pages.length || i === show.currentPage) return;
  edit((s) => (s.currentPage = i), { what: 'tabs', undo: false });
}
