// One key router for the whole window, ahead of every control (capture phase): Esc stops all
// whatever has the focus, and does what it did there too (closes a dialog); the other show
// keys give way only to text entry and to an input method that is composing (keys.js).
// A pad in hold mode sounds until its key comes up (or the window loses the keyboard).

import { engine, bgm, show } from './deck.js';
import { route, focusKind, keyName } from './keys.js';
import { hotkeys, lightPad } from './view-grid.js';
import { selectPage } from './view-tabs.js';
import { stopAll, hardStop } from './action-sound.js';
import { undo } from './action-show.js';

const ESC_TWICE_MS = 600;
let lastEsc = -Infinity;
let spaceTaken = false;
const held = new Map(); // key name → the hold-mode pad it sounds

function onKeyDown(e) {
  const t0 = performance.now();
  const r = route(e, focusKind(document.activeElement));
  if (!r) return;
  if (r.action === 'stop') {
    if (t0 - lastEsc < ESC_TWICE_MS) hardStop();
    else stopAll();
    lastEsc = t0;
    return;
  }
  e.preventDefault();
  if (r.action === 'bgm') {
    spaceTaken = true; // and its keyup, so a focused button is not pressed as well
    bgm.toggle();
  } else if (r.action === 'page') selectPage(show.currentPage + r.step);
  else if (r.action === 'undo') undo();
  else if (r.action === 'pad') {
    if (held.has(r.key)) return; // a repeat the engine did not mark as one
    const pad = hotkeys.get(r.key);
    if (pad && engine.trigger(pad, t0)) {
      lightPad(pad);
      if (pad.mode === 'hold') held.set(r.key, pad);
    }
  }
}

function releaseHeld(key) {
  for (const [k, pad] of held) {
    if (key !== undefined && k !== key) continue;
    held.delete(k);
    engine.release(pad);
  }
}

function onKeyUp(e) {
  if (held.size) releaseHeld(keyName(e));
  if (spaceTaken && (e.key === ' ' || e.code === 'Space')) {
    spaceTaken = false;
    e.preventDefault();
  }
}

export function installKeyRouter() {
  window.addEventListener('keydown', onKeyDown, true);
  window.addEventListener('keyup', onKeyUp, true);
  window.addEventListener('blur', () => releaseHeld()); // its keyup will not come here
  // Back from a dialog of the shell's: the keys belong to the show again.
  window.addEventListener('focus', () => {
    if (focusKind(document.activeElement) !== 'text') document.activeElement?.blur?.();
  });
}
