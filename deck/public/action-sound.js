// Stopping what sounds, and opening the shell's dialogs safely.

import { engine, bgm, show, sounding } from './deck.js';
import { choose } from './messages.js';

export function stopAll() {
  engine.stopAllPads(show.stopFade);
  bgm.pause(show.stopFade);
}

export function hardStop() {
  engine.stopAllPads(0);
  bgm.hardStop();
}

// The shell's file dialogs are modal: while one is open no key reaches the deck, Esc
// included. So with something sounding, the operator is asked first and may stop it.
export async function nativeDialog(open) {
  if (sounding()) {
    const answer = await choose('音が鳴っています。ファイルを選ぶ画面を開いている間は、キーでもボタンでも止められません。', [
      ['cancel', 'やめる'], ['keep', '鳴らしたまま開く'], ['stop', '止めてから開く']]);
    if (answer === null || answer === 'cancel') return;
    if (answer === 'stop') stopAll();
  }
  open();
}
