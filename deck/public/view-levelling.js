// Loudness levelling on screen: the show's switch and targets (a dialog from the header), and
// in the pad editor the pad's own switch with what was measured.

import { $, show, edit } from './deck.js';
import { loudnessOf } from './show-fields.js';
import { measured, padLevel, scan, apply, events, levelStatus } from './levelling.js';

const minus = (v) => v.toFixed(1).replace('-', '−');
const db = (v) => `${v > 0 ? '+' : v < 0 ? '−' : '±'}${Math.abs(v).toFixed(1)}`;

export function renderLevelling() {
  const l = loudnessOf(show);
  $('ld-on').checked = l.on;
  $('ld-pads').value = l.pads;
  $('ld-bgm').value = l.bgm;
  const s = levelStatus();
  $('ld-status').textContent = !l.on ? 'オフ: どの音もファイルのままの音量です。'
    : `測定済み ${s.done}/${s.total}${s.failed ? `（測れなかったもの ${s.failed}）` : ''}`;
  $('btn-loudness').dataset.on = String(l.on);
}

// The editor's part: the pad's switch and its measurement.
export function fillLevel(pad) {
  $('ed-level').checked = pad.level !== false;
  const m = pad.path ? measured.get(pad.path) : null;
  let note;
  if (!loudnessOf(show).on) note = '大会全体の「音量をそろえる」がオフです。';
  else if (!pad.path) note = '';
  else if (pad.level === false) note = 'このパッドはファイルのままの音量です。';
  else if (!m) note = '測定中…';
  else if (m.failed) note = '測れませんでした（ファイルのままの音量）。';
  else note = `${m.integrated === -Infinity ? '無音' : `${minus(m.integrated)} LUFS`}・ピーク ${minus(m.truePeak)} dBTP → ${db(20 * Math.log10(padLevel(pad)))} dB`;
  $('ed-level-note').textContent = note;
}

const setTargets = (fn) => {
  edit((s) => {
    s.loudness = { ...loudnessOf(s) };
    fn(s.loudness);
  }, { what: 'none', merge: 'loudness' });
  scan();
  apply();
  renderLevelling();
};

// editPad(fn): the editor's way to change the pad it shows.
export function installLevellingView(editPad, refill) {
  $('btn-loudness').addEventListener('click', () => {
    renderLevelling();
    $('loudness-dialog').showModal();
  });
  $('ld-on').addEventListener('change', (e) => setTargets((l) => (l.on = e.target.checked)));
  for (const [id, key] of [['ld-pads', 'pads'], ['ld-bgm', 'bgm']]) {
    $(id).addEventListener('change', (e) => setTargets((l) => (l[key] = Math.min(-6, Math.max(-40, Number(e.target.value) || l[key])))));
  }
  $('ed-level').addEventListener('change', (e) => {
    editPad((p) => {
      if (e.target.checked) delete p.level;
      else p.level = false;
    });
    scan();
    apply();
  });
  events.addEventListener('measured', () => {
    if ($('loudness-dialog').open) renderLevelling();
    refill();
  });
}
