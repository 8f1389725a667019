// The deck page: wires the show, the audio engine, the shell's callbacks, the views and the
// controls together. What each part does lives in its own module (see deck/README.md).

import * as bridge from './bridge.js';
import * as S from './show.js';
import { $, engine, server, bgm, show, store, edit, messages, notify, onCommit } from './deck.js';
import { installPointerRules } from './pointer.js';
import { loadShowAudio, verifyAll } from './files.js';
import { changed, persist, restore, takePlaying, resumeBgm, showCutPads, savePlaying } from './session.js';
import { renderAll, renderAudioState } from './view-show.js';
import { renderTabs } from './view-tabs.js';
import { renderGrid, updatePad, padElements, installGrid } from './view-grid.js';
import { renderBgm, installBgmControls } from './view-bgm.js';
import { installEditor, editingPad, fillEditor, editorVoices } from './view-editor.js';
import { onVoices } from './view-sounding.js';
import { updatePreflight } from './view-preflight.js';
import { afterSwap, applyShow } from './action-show.js';
import { pickBaseFolder } from './action-base.js';
import { loadBgmFolder, bgmListed } from './action-bgm.js';
import { addPage, addRow, renamePage, deletePage } from './action-pages.js';
import { stopAll, hardStop, nativeDialog } from './action-sound.js';
import { callbacks } from './native.js';
import { installKeyRouter } from './router.js';
import { installLevelling, scan, apply, idle as levellingIdle } from './levelling.js';
import { installTimers, timersChanged } from './view-timers.js';
import { installRecord, recordEntries } from './view-record.js';
import { bridge as resuming } from './resume.js';

const BRIDGE_WAIT_MS = 400;

// Every edit goes through store.commit(change, {what}); this redraws what it names and saves.
onCommit((what) => {
  if (what === 'show' || what === 'undo') {
    afterSwap();
    scan();
    apply();
  }
  else if (what === 'grid') renderGrid();
  else if (what === 'tabs') {
    renderTabs();
    renderGrid();
  } else if (what === 'bgm') renderBgm();
  else if (what === 'all') renderAll();
  if (['show', 'undo', 'all', 'timers'].includes(what)) timersChanged();
  changed();
});

// Failures in asynchronous work reach the operator, not only the console.
window.addEventListener('unhandledrejection', (e) => {
  notify(`内部エラー: ${e.reason && e.reason.message ? e.reason.message : e.reason}`, 'error');
});
window.addEventListener('error', (e) => {
  if (e.message) notify(`内部エラー: ${e.message}`, 'error');
});

function installControls() {
  const native = bridge.hasBridge();
  $('no-bridge').hidden = native;
  for (const b of document.querySelectorAll('[data-native]')) {
    b.disabled = !native;
    if (!native) b.title = 'デスクトップアプリ Jaunvel でのみ使えます';
  }
  $('btn-theme').addEventListener('click', () => nativeDialog(() => pickBaseFolder({ relink: false })));
  $('first-theme').addEventListener('click', () => $('btn-theme').click());
  $('btn-relink').addEventListener('click', () => nativeDialog(() => pickBaseFolder({ relink: true })));
  $('btn-bgm-import').addEventListener('click', () => nativeDialog(() => bridge.pickFolder('bgmImport')));
  $('btn-page-import').addEventListener('click', () => nativeDialog(() => bridge.pickFolder('samplerPageImport')));
  $('btn-open').addEventListener('click', () => nativeDialog(() => bridge.openSettings()));
  $('btn-save').addEventListener('click', () => nativeDialog(() => bridge.saveSettings(S.settingsFileName(show), S.toSettingsText(show))));
  $('show-name').addEventListener('input', (e) => edit((s) => (s.name = e.target.value), { what: 'none', merge: 'name' }));
  for (const bus of ['master', 'pads', 'bgm']) {
    $(`vol-${bus}`).addEventListener('input', (e) => {
      edit((s) => (s.volumes[bus] = Number(e.target.value)), { what: 'none', merge: `vol-${bus}` });
      $(`vol-${bus}-out`).textContent = Math.round(show.volumes[bus] * 100);
      engine.setVolume(bus, show.volumes[bus]);
    });
  }
  $('btn-stop').addEventListener('click', stopAll);
  $('btn-kill').addEventListener('click', hardStop);
  $('audio-state').addEventListener('click', () => engine.resume());
  $('preflight').addEventListener('click', () => {
    $('preflight-list').hidden = !$('preflight-list').hidden;
    updatePreflight();
    if (!$('preflight-list').hidden) verifyAll();
  });
  $('btn-add-page').addEventListener('click', addPage);
  $('btn-add-row').addEventListener('click', addRow);
  $('btn-rename-page').addEventListener('click', renamePage);
  $('btn-delete-page').addEventListener('click', deletePage);
  installLevelling();
  installRecord();
  installGrid();
  installBgmControls();
  installEditor();
  installKeyRouter();
  installPointerRules();
  // Outside the shell a browser may hold audio back until the first gesture.
  for (const type of ['pointerdown', 'keydown']) document.addEventListener(type, () => engine.resume(), { capture: true });
}

function installEvents() {
  server.addEventListener('change', () => {
    $('server-banner').hidden = server.up;
    if (!server.up) return;
    messages.clear('server');
    // Back: what could not be loaded is loaded now, and the BGM plays on where it stopped.
    engine.forgetOffline();
    loadShowAudio().then(verifyAll);
    if (show.bgm.folder && !bgmListed()) loadBgmFolder(show.bgm.folder, { quiet: true });
    bgm.resumeHeld();
  });
  engine.addEventListener('offline', () => server.check());
  window.addEventListener('pagehide', () => {
    persist();
    savePlaying();
  });
  engine.addEventListener('filestate', (e) => {
    for (const pad of S.allPads(show)) if (pad.path === e.detail) engine.prepare(pad);
    for (const pad of padElements.keys()) if (pad.path === e.detail) updatePad(pad);
    if (editingPad()?.path === e.detail) fillEditor();
  });
  engine.addEventListener('voices', onVoices);
  engine.addEventListener('voices', editorVoices);
  engine.addEventListener('duck', (e) => ($('duck-indicator').hidden = !e.detail));
  engine.addEventListener('statechange', renderAudioState);
  bgm.addEventListener('change', () => {
    renderBgm();
    onVoices();
  });
}

function startUp() {
  installControls();
  installEvents();
  server.start();
  const restored = restore();
  const playing = takePlaying();
  if (restored) {
    resumeBgm(playing, restored);
    applyShow(restored, { undo: false });
  } else renderAll();
  showCutPads(playing);
  installTimers();
  renderAudioState();
  engine.resume();
  bridge.installCallbacks(callbacks);

  // A handle for diagnostics and the performance bench.
  window.jaunvelDeck = {
    engine,
    bgm,
    get show() {
      return store.show;
    },
    levellingIdle,
    recordEntries,
    settingsText: () => S.toSettingsText(store.show),
    triggerTimes: () => Array.from(engine.triggerTimes.subarray(0, Math.min(engine.triggerCount, engine.triggerTimes.length))),
  };
}

// After a reload the bridge brings the BGM back first: the deck is built once it plays (or
// cannot), so building it takes no time from the music's start. Otherwise at once.
if (resuming) Promise.race([resuming.started, new Promise((resolve) => setTimeout(resolve, BRIDGE_WAIT_MS))]).then(startUp);
else startUp();
