// What is sounding: the now-playing strip across pages (a pad or the BGM each, with its time
// left and a stop), the marks on page tabs, and the clocks. Clocks (pads' time left, the strip,
// the BGM) run about ten times a second while anything plays, and not at all otherwise. A key
// lights its pad in its handler; the other pads, the strip and the tabs follow what sounds a
// frame later, so the frame that shows a pad lit paints that pad alone. Nothing of this runs
// inside a trigger.
//
// Without a GPU, WebKitGTK spends about as much on a frame that changes two pixels as on one
// that changes a panel (tens of ms of CPU): the BGM's clocks and bar move together, once a
// second, so the music alone costs one such frame a second.

import { $, engine, bgm, show } from './deck.js';
import * as S from './show.js';
import { padElements, updatePad } from './view-grid.js';
import { setText, setWidth, fmtPad, fmtTrack } from './paint.js';

const CLOCK_MS = 100;
let clockTimer = 0;
let voicesFrame = 0;

export function onVoices() {
  voicesFrame ||= requestAnimationFrame(() => requestAnimationFrame(() => {
    voicesFrame = 0;
    for (const pad of padElements.keys()) updatePad(pad);
    renderSounding();
    schedule();
  }));
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
  // The BGM in whole seconds: elapsed, left and the bar all change in the same frame.
  const el = bgm.element;
  const second = Math.floor(el.currentTime);
  for (const chip of $('sounding').children) {
    const pad = chip.pad;
    const left = pad ? engine.timing(pad)?.left : el.duration - second;
    setText(chip.querySelector('.left'), Number.isFinite(left) ? `-${pad ? fmtPad(left) : fmtTrack(left)}` : '');
    again = true;
  }
  if (bgm.playing || !el.paused) {
    setText($('bgm-elapsed'), fmtTrack(second));
    setText($('bgm-remaining'), `-${fmtTrack(el.duration - second)}`);
    setWidth($('bgm-progress'), Number.isFinite(el.duration) ? (second / el.duration) * 100 : 0);
    again = true;
  }
  if (again) schedule();
}

export function schedule() {
  clockTimer ||= setTimeout(tick, CLOCK_MS);
}

// The strip keeps the chip of what still sounds under the same name: only chips that come or go
// touch the page.
export function renderSounding() {
  const where = new Map();
  show.pages.forEach((page, p) => page.pads.forEach((pad, slot) => where.set(pad, { p, slot })));
  const strip = $('sounding');
  const shown = [...strip.children];
  const chips = [];
  const pagesSounding = new Set();
  const add = (name, stop, pad) => chips.push(shown.find((c) => c.pad === pad && c.soundName === name) || soundingChip(name, stop, pad));
  for (const pad of engine.voices.keys()) {
    if (!engine.isPlaying(pad)) continue;
    const at = where.get(pad);
    if (at) pagesSounding.add(at.p);
    const name = `${at ? `${show.pages[at.p].name} ${at.slot + 1} ` : ''}${pad.label || S.stripExtension(pad.name || '')}`;
    add(name, () => engine.stopPad(pad, pad.fadeOut), pad);
  }
  if (bgm.playing && bgm.current) add(`BGM ${S.stripExtension(bgm.current.name)}`, () => bgm.pause(), null);
  for (const chip of shown) if (!chips.includes(chip)) chip.remove();
  chips.forEach((chip, i) => strip.children[i] !== chip && strip.insertBefore(chip, strip.children[i] || null));
  const empty = String(chips.length === 0);
  if (strip.dataset.empty !== empty) strip.dataset.empty = empty;
  [...$('tabs').children].forEach((tab, i) => tab.classList.toggle('sounding', pagesSounding.has(i)));
}

function soundingChip(name, stop, pad) {
  const chip = document.createElement('div');
  chip.className = 'chip';
  chip.pad = pad;
  chip.soundName = name;
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
