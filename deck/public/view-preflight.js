// The pre-flight: its summary, the list of problems (each a jump to its pad or track), and
// the relink button when files are not where the show says.

import { $, show, messages } from './deck.js';
import * as S from './show.js';
import { preflight } from './preflight.js';
import { checkState, trackState } from './files.js';
import { selectPage } from './view-tabs.js';

let lastProblems = [];
export function updatePreflight() {
  const result = preflight(show, checkState, trackState);
  lastProblems = result.problems;
  const box = $('preflight');
  box.textContent = result.text;
  box.classList.toggle('bad', result.problems.length > 0);
  box.classList.toggle('good', result.good);
  if (result.good) messages.clear('relink'); // what the last relink left open is settled
  box.setAttribute('aria-expanded', String(!$('preflight-list').hidden));
  $('btn-relink').hidden = !S.allPads(show).some((p) => p.path && ['missing', 'gone'].includes(checkState(p))) && !result.problems.some((p) => p.page < 0);
  renderProblems();
}

function renderProblems() {
  const list = $('preflight-list');
  if (list.hidden) return;
  list.replaceChildren(
    ...(lastProblems.length ? lastProblems : [{ text: '問題はありません。', page: null }]).map((p) => {
      const li = document.createElement('li');
      if (p.page === null) {
        li.textContent = p.text;
        return li;
      }
      const b = document.createElement('button');
      b.type = 'button';
      b.textContent = p.text;
      b.addEventListener('click', () => jumpTo(p));
      li.append(b);
      return li;
    }),
  );
}

// Shows a problem's pad (its page, the pad lit and focused) or BGM track.
function jumpTo({ page, slot }) {
  if (page < 0) {
    const li = $('bgm-list').children[slot];
    li?.scrollIntoView({ block: 'nearest' });
    li?.focus();
    return;
  }
  selectPage(page);
  const el = $('grid').children[slot];
  if (!el) return;
  el.focus();
  el.classList.remove('flash');
  void el.offsetWidth;
  el.classList.add('flash');
}
