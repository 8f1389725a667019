// The BGM panel: the playlist (a double click or Enter plays a track), what plays, and the
// play, next, shuffle and crossfade controls.

import { $, bgm, show, edit } from './deck.js';
import * as S from './show.js';
import { composing } from './keys.js';
import { schedule } from './view-sounding.js';

export function renderBgm() {
  const list = $('bgm-list');
  const current = bgm.currentIndex;
  list.replaceChildren(
    ...show.bgm.tracks.map((t, i) => {
      const li = document.createElement('li');
      li.textContent = S.stripExtension(t.name);
      li.title = t.path;
      if (i === current) li.className = 'current';
      li.tabIndex = 0; // Enter plays it, as a double click does
      li.addEventListener('dblclick', () => bgm.playTrack(i));
      li.addEventListener('keydown', (e) => e.key === 'Enter' && !composing(e) && (e.preventDefault(), bgm.playTrack(i)));
      return li;
    }),
  );
  $('bgm-title').textContent = bgm.current ? S.stripExtension(bgm.current.name) + (bgm.held ? '（サーバー待ち）' : '') : show.bgm.tracks.length ? '停止中' : '—';
  $('bgm-play').textContent = bgm.playing ? '■ 一時停止' : '▶ 再生';
  $('bgm-play').disabled = !show.bgm.tracks.length;
  $('bgm-next').disabled = !show.bgm.tracks.length;
  $('bgm-shuffle').checked = show.bgm.shuffle;
  $('bgm-xfade').value = show.bgm.crossfade;
  $('bgm-xfade-out').textContent = `${show.bgm.crossfade}秒`;
  list.querySelector('.current')?.scrollIntoView({ block: 'nearest' });
  schedule();
}

export function installBgmControls() {
  $('bgm-play').addEventListener('click', () => bgm.toggle());
  $('bgm-next').addEventListener('click', () => bgm.next());
  $('bgm-shuffle').addEventListener('change', (e) => {
    edit((s) => (s.bgm.shuffle = e.target.checked), { what: 'none' });
    bgm.setShuffle(show.bgm.shuffle);
  });
  $('bgm-xfade').addEventListener('input', (e) => {
    edit((s) => (s.bgm.crossfade = Number(e.target.value)), { what: 'none', merge: 'xfade' });
    bgm.crossfade = show.bgm.crossfade;
    $('bgm-xfade-out').textContent = `${show.bgm.crossfade}秒`;
  });
}
