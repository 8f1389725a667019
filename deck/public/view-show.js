// The show as a whole on screen: its name, base folder and mixer, then every view; the
// first-run hint; whether audio output runs.

import { $, engine, show } from './deck.js';
import { renderTabs } from './view-tabs.js';
import { renderGrid } from './view-grid.js';
import { renderBgm } from './view-bgm.js';
import { updatePreflight } from './view-preflight.js';
import { hasWork } from './action-show.js';

export function renderAll() {
  $('show-name').value = show.name;
  $('base-folder').textContent = show.baseFolder || '未設定';
  $('base-folder').title = show.baseFolder || '';
  for (const bus of ['master', 'pads', 'bgm']) {
    $(`vol-${bus}`).value = show.volumes[bus];
    $(`vol-${bus}-out`).textContent = Math.round(show.volumes[bus] * 100);
  }
  renderTabs();
  renderGrid();
  renderBgm();
  updatePreflight();
  $('first-steps').hidden = hasWork() || Boolean(show.baseFolder);
}

export function renderAudioState() {
  const running = engine.ctx.state === 'running';
  const b = $('audio-state');
  b.textContent = running ? '音声出力: 動作中' : '音声出力: 停止中（クリックで開始）';
  b.dataset.state = engine.ctx.state;
}
