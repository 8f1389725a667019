// What is sounding: the now-playing strip across pages (a pad or the BGM each, with its time
// left and a stop), the marks on page tabs, and the clocks. Clocks (pads' time left, the strip,
// the BGM) run about ten times a second while anything plays, and not at all otherwise; what
// sounds changes the pads' look on the next frame, never inside a trigger.

import { $, engine, bgm, show } from './deck.js';
import * as S from './show.js';
import { padElements, updatePad } from './view-grid.js';
import { setText, setWidth, fmtPad, fmtTrack } from './paint.js';

const CLOCK_MS = 100;
let clockTimer = 0;
let voicesFrame = 0;

export function onVoices() {
  voicesFrame ||= requestAnimationFrame(() => {
    voicesFrame = 0;
    for (const pad of padElements.keys()) updatePad(pad);
    renderSounding();
    schedule();
  });
}

function tick() {
  clockTimer = 0;
  let again = false;
  for (const [pad, el] of padElements) {
    if (!engine.isPlaying(pad)) continue;
    const t = engine.timing(pad);
    if (t) {
      setText(el.querySelector('.status'), `${pad.mode === 'loop' ? '↻ ' : ''}-${fmtPad(t.left)}`);
      if (t.total) setWidth(el.querySelector('.progress'), Math.min(100, (1 - t.left / t.total) * 100));
    }
    again = true;
  }
  for (const chip of $('sounding').children) {
    const pad = chip.pad;
    const left = pad ? engine.timing(pad)?.left : bgm.element.duration - bgm.element.currentTime;
    setText(chip.querySelector('.left'), Number.isFinite(left) ? `-${pad ? fmtPad(left) : fmtTrack(left)}` : '');
    again = true;
  }
  const el = bgm.element;
  if (bgm.playing || !el.paused) {
    setText($('bgm-elapsed'), fmtTrack(el.currentTime));
    setText($('bgm-remaining'), `-${fmtTrack(el.duration - el.currentTime)}`);
    setWidth($('bgm-progress'), Number.isFinite(el.duration) ? (el.currentTime / el.duration) * 100 : 0);
    again = true;
  }
  if (again) schedule();
}

export function schedule() {
  clockTimer ||= setTimeout(tick, CLOCK_MS);
}

export function renderSounding() {
  const where = new Map();
  show.pages.forEach((page, p) => page.pads.forEach((pad, slot) => where.set(pad, { p, slot })));
  const chips = [];
  const pagesSounding = new Set();
  for (const pad of engine.voices.keys()) {
    if (!engine.isPlaying(pad)) continue;
    const at = where.get(pad);
    if (at) pagesSounding.add(at.p);
    const name = `${at ? `${show.pages[at.p].name} ${at.slot + 1} ` : ''}${pad.label || S.stripExtension(pad.name || '')}`;
    chips.push(soundingChip(name, () => engine.stopPad(pad, pad.fadeOut), pad));
  }
  if (bgm.playing && bgm.current) chips.push(soundingChip(`BGM ${S.stripExtension(bgm.current.name)}`, () => bgm.pause(), null));
  $('sounding').replaceChildren(...chips);
  $('sounding').dataset.empty = String(chips.length === 0);
  [...$('tabs').children].forEach((tab, i) => tab.classList.toggle('sounding', pagesSounding.has(i)));
}

function soundingChip(name, stop, pad) {
  const chip = document.createElement('div');
  chip.className = 'chip';
  chip.pad = pad;
  const label = document.createElement('span');
  label.className = 'name';
  label.textContent = name;
  const left = document.createElement('span');
  left.className = 'left';
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = '■';
  b.title = `${name} を止める（フェード）`;
  b.setAttribute('aria-label', b.title);
  b.addEventListener('click', stop);
  chip.append(label, left, b);
  return chip;
}
