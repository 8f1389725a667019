// The deck page: wires the show, the audio engine, the shell's callbacks and the controls.

import * as bridge from './bridge.js';
import { listFolder } from './api.js';
import { Engine, BgmPlayer } from './engine.js';
import * as S from './show.js';

const $ = (id) => document.getElementById(id);
const STORAGE_KEY = 'jaunvel.deck.show';
const LOAD_CONCURRENCY = 4;
const ESC_TWICE_MS = 600;
const STATE_TEXT = { empty: '未割当', loading: '読込中…', ready: '準備完了', missing: '欠落', unsupported: '非対応' };

const engine = new Engine();
const bgm = new BgmPlayer(engine);
let show = S.createShow();
let relinkPending = false;
let editing = null; // {page, slot} of the pad open in the editor
let padElements = new Map(); // pad → element on the current page
let hotkeys = new Map(); // key name → pad on the current page
let lastEsc = -Infinity;

// --- messages ----------------------------------------------------------------

function notify(text, kind = 'info') {
  const box = document.createElement('div');
  box.className = `message ${kind}`;
  box.setAttribute('role', kind === 'error' ? 'alert' : 'status');
  const span = document.createElement('span');
  span.textContent = text;
  const close = document.createElement('button');
  close.textContent = '×';
  close.title = '閉じる';
  close.addEventListener('click', () => box.remove());
  box.append(span, close);
  $('messages').append(box);
  if (kind !== 'error') setTimeout(() => box.remove(), 6000);
  while ($('messages').children.length > 4) $('messages').firstChild.remove();
}

// --- persistence (the shell keeps the page's storage between runs) -------------

let saveTimer = 0;
function changed() {
  clearTimeout(saveTimer);
  saveTimer = setTimeout(persist, 300);
}

function persist() {
  clearTimeout(saveTimer);
  try {
    localStorage.setItem(STORAGE_KEY, JSON.stringify({ fromSettings: show.fromSettings, text: S.toSettingsText(show) }));
  } catch {
    // storage full or unavailable: the deck still works, it just will not survive a reload
  }
}

function restore() {
  try {
    const saved = JSON.parse(localStorage.getItem(STORAGE_KEY) || 'null');
    if (!saved) return null;
    const restored = S.fromSettingsText(saved.text);
    restored.fromSettings = saved.fromSettings === true;
    return restored;
  } catch {
    return null;
  }
}

// --- loading audio -------------------------------------------------------------

const padState = (pad) => (pad.path ? engine.fileState(pad.path)?.state || 'loading' : 'empty');
// What a pad's status line says: an empty file is named as such.
const stateText = (pad) => (engine.fileState(pad.path)?.reason === 'empty' ? '空のファイル' : STATE_TEXT[padState(pad)]);

// Loads every file the show uses, a few at a time; resolves when all have settled. Stops
// when another show takes its place: that show's files are the ones to decode now.
async function loadShowAudio() {
  const forShow = show;
  const paths = [...new Set(S.allPads(show).map((p) => p.path).filter(Boolean))];
  engine.retain(new Set(paths));
  const queue = paths.filter((p) => !engine.fileState(p));
  const worker = async () => {
    while (queue.length && show === forShow) await engine.load(queue.shift());
  };
  await Promise.all(Array.from({ length: LOAD_CONCURRENCY }, worker));
  if (show === forShow) await Promise.all(paths.map((p) => engine.load(p)));
}

async function loadBgmFolder(folder, { quiet = false } = {}) {
  const forShow = show;
  try {
    const listing = await listFolder(folder, { recursive: true, depth: 4 });
    if (show !== forShow) return; // another show was loaded meanwhile
    show.bgm.folder = folder;
    show.bgm.tracks = listing.files.map((f) => ({ path: f.path, name: f.name }));
    bgm.setTracks(show.bgm.tracks);
    renderBgm();
    updatePreflight();
    changed();
    if (!listing.files.length) notify(`「${S.baseName(folder)}」には音源がありません。`, 'error');
    else if (!quiet) notify(`BGMに${listing.files.length}曲を取り込みました（${S.baseName(folder)}）。`);
  } catch (err) {
    notify(`BGMフォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error');
  }
}

function folderProblem(err) {
  if (err.status === 404) return 'フォルダが見つかりません';
  if (err.status === 400) return 'フォルダではありません';
  return 'サーバーに接続できません';
}

// --- the show as a whole -----------------------------------------------------------

function applyShow(next) {
  engine.stopAllPads(0.3);
  show = next;
  for (const bus of ['master', 'pads', 'bgm']) engine.setVolume(bus, show.volumes[bus]);
  bgm.crossfade = show.bgm.crossfade;
  bgm.shuffle = show.bgm.shuffle;
  bgm.setTracks(show.bgm.tracks);
  renderAll();
  changed();
  return Promise.all([
    loadShowAudio().then(updatePreflight),
    show.bgm.folder ? loadBgmFolder(show.bgm.folder, { quiet: true }) : null,
  ]);
}

// Lays a show out from a base folder: loose files become the first page, each
// sub-folder a page, and a folder named "bgm" the playlist.
async function layoutFromFolder(folder) {
  const top = await listFolder(folder);
  const next = S.createShow();
  Object.assign(next, { name: show.name, volumes: show.volumes, stopFade: show.stopFade, baseFolder: folder });
  next.bgm.crossfade = show.bgm.crossfade;
  next.bgm.shuffle = show.bgm.shuffle;
  next.pages = [];
  if (top.files.length) next.pages.push(...S.pagesFromFiles(S.baseName(folder), top.files));
  let bgmDir = null;
  for (const dir of top.dirs) {
    if (dir.name.toLowerCase() === 'bgm') {
      bgmDir = dir.path;
      continue;
    }
    const listing = await listFolder(dir.path, { recursive: true, depth: 2 });
    if (listing.files.length) next.pages.push(...S.pagesFromFiles(dir.name, listing.files));
  }
  if (!next.pages.length) next.pages.push(S.createPage('ページ 1'));
  next.bgm.folder = bgmDir;
  return next;
}

async function setBaseFolder(folder) {
  if (relinkPending) {
    relinkPending = false;
    await relinkByName(folder);
    return;
  }
  try {
    if (show.fromSettings) {
      // The settings file keeps its layout: its files are looked for under the new base.
      const old = show.baseFolder;
      for (const pad of S.allPads(show)) if (pad.path) pad.path = S.resolveFrom(folder, S.relativeTo(old, pad.path));
      if (show.bgm.folder) show.bgm.folder = S.resolveFrom(folder, S.relativeTo(old, show.bgm.folder));
      show.baseFolder = folder;
      await applyShow(show);
      const missing = S.allPads(show).filter((p) => padState(p) === 'missing').length;
      if (missing) await relinkByName(folder);
      else notify(`基本フォルダを「${S.baseName(folder)}」にしました。`);
      return;
    }
    const next = await layoutFromFolder(folder);
    const count = S.allPads(next).filter((p) => p.path).length;
    await applyShow(next);
    notify(`「${S.baseName(folder)}」を読み込みました: パッド ${count}個・${next.pages.length}ページ。`);
  } catch (err) {
    notify(`基本フォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error');
  }
}

// Finds each missing pad's file by its name anywhere under folder.
async function relinkByName(folder) {
  let listing;
  try {
    listing = await listFolder(folder, { recursive: true, depth: 6 });
  } catch (err) {
    notify(`再リンク用のフォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error');
    return;
  }
  const byName = new Map();
  for (const f of listing.files) if (!byName.has(S.nameKey(f.name))) byName.set(S.nameKey(f.name), f.path);
  let found = 0;
  let left = 0;
  for (const pad of S.allPads(show)) {
    if (!pad.path || padState(pad) !== 'missing') continue;
    const match = byName.get(S.nameKey(pad.name || S.baseName(pad.path)));
    if (match) {
      pad.path = match;
      found++;
    } else left++;
  }
  renderGrid();
  changed();
  await loadShowAudio();
  updatePreflight();
  notify(`${found}個のパッドを再リンクしました${left ? `（見つからないもの ${left}個）` : ''}。`, left ? 'error' : 'info');
}

// --- native callbacks ------------------------------------------------------------

const isText = (v) => typeof v === 'string' && v.length > 0;


const callbacks = {
  setThemeFolderFromNative(path) {
    if (isText(path)) return setBaseFolder(path);
  },
  importBgmFolderFromNative(path) {
    if (isText(path)) return loadBgmFolder(path);
  },
  async importSamplerPageFolderFromNative(path) {
    if (!isText(path)) return;
    try {
      const listing = await listFolder(path, { recursive: true, depth: 2 });
      if (!listing.files.length) {
        notify(`「${S.baseName(path)}」には音源がありません。`, 'error');
        return;
      }
      const page = show.pages[show.currentPage];
      page.pads = S.padsFromFiles(listing.files);
      if (/^ページ \d+$/.test(page.name)) page.name = S.baseName(path);
      renderAll();
      changed();
      notify(`「${page.name}」に${Math.min(listing.files.length, S.MAX_PADS)}個の音源を流し込みました。`);
      await loadShowAudio();
      updatePreflight();
    } catch (err) {
      notify(`フォルダを読み込めませんでした: ${folderProblem(err)}（${path}）`, 'error');
    }
  },
  setSamplerFileFromNative(value) {
    const at = value && typeof value === 'object' ? S.padAt(show, value.index) : null;
    if (!at || !isText(value.path)) {
      notify('音源を登録するパッドが見つかりませんでした。', 'error');
      return;
    }
    const { pad } = at;
    const name = isText(value.name) ? value.name : S.baseName(value.path);
    if (!pad.label || pad.label === S.stripExtension(pad.name || '')) pad.label = S.stripExtension(name);
    pad.path = value.path;
    pad.name = name;
    if (at.page === show.currentPage) renderGrid();
    if (editing && editing.page === at.page && editing.slot === at.slot) fillEditor();
    changed();
    return loadShowAudio().then(updatePreflight);
  },
  samplerConfigSavedFromNative(value) {
    const name = value && isText(value.name) ? value.name : '大会設定';
    notify(`大会設定を保存しました: ${name}`);
  },
  samplerConfigSaveFailedFromNative(message) {
    notify(`大会設定を保存できませんでした: ${isText(message) ? message : '原因は不明です'}`, 'error');
  },
  importSamplerConfigFromNative(value) {
    const name = value && isText(value.name) ? value.name : '設定ファイル';
    let next;
    try {
      next = S.fromSettingsText(value && value.content);
    } catch (err) {
      notify(`「${name}」を読み込めませんでした: ${err instanceof S.SettingsError ? err.message : '不明なエラーです。'}`, 'error');
      return;
    }
    notify(`大会設定「${name}」を読み込みました。`);
    return applyShow(next);
  },
  samplerConfigImportFailedFromNative(message) {
    notify(`大会設定を読み込めませんでした: ${isText(message) ? message : '原因は不明です'}`, 'error');
  },
  onError(name, err) {
    notify(`内部エラー（${name}）: ${err && err.message}`, 'error');
  },
};

// --- rendering -------------------------------------------------------------------

function renderAll() {
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
}

function renderTabs() {
  const tabs = $('tabs');
  tabs.replaceChildren(
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
}

function selectPage(i) {
  if (i < 0 || i >= show.pages.length || i === show.currentPage) return;
  show.currentPage = i;
  renderTabs();
  renderGrid();
  changed();
}

function renderGrid() {
  const page = show.pages[show.currentPage];
  padElements = new Map();
  hotkeys = new Map();
  const base = S.flatIndex(show, show.currentPage, 0);
  const cells = page.pads.map((pad, slot) => {
    const el = document.createElement('div');
    el.className = 'pad';
    el.setAttribute('role', 'button');
    el.dataset.index = String(base + slot);
    el.style.setProperty('--pad-color', pad.color);
    el.innerHTML =
      '<span class="key"></span><span class="badge" hidden>ストリーム</span><span class="duck-mark" hidden>ダック</span>' +
      '<button class="edit" type="button" title="パッドの設定">✎</button><span class="label"></span>' +
      '<span class="status"></span><span class="mode"></span><span class="progress"></span>';
    el.querySelector('.key').textContent = pad.hotkey;
    el.querySelector('.label').textContent = pad.label || (pad.path ? S.stripExtension(pad.name) : '');
    el.querySelector('.mode').textContent = { oneshot: '', toggle: 'トグル', loop: 'ループ' }[pad.mode];
    el.querySelector('.duck-mark').hidden = !pad.duck;
    el.title = pad.path || '';
    padElements.set(pad, el);
    if (pad.hotkey && !hotkeys.has(pad.hotkey)) hotkeys.set(pad.hotkey, pad);
    updatePad(pad);
    return el;
  });
  $('grid').style.setProperty('--rows', String(Math.ceil(page.pads.length / S.PADS_PER_ROW)));
  $('grid').replaceChildren(...cells);
}

function updatePad(pad) {
  const el = padElements.get(pad);
  if (!el) return;
  const state = padState(pad);
  const entry = engine.fileState(pad.path);
  el.dataset.state = state;
  el.querySelector('.badge').hidden = !(entry && entry.stream);
  const playing = engine.isPlaying(pad);
  el.classList.toggle('playing', playing);
  el.dataset.playing = String(playing);
  if (!playing) {
    el.querySelector('.status').textContent = stateText(pad);
    el.querySelector('.progress').style.width = '0';
  }
}

const fmtPad = (s) => `${Math.floor(s / 60)}:${(s % 60).toFixed(1).padStart(4, '0')}`;
const fmtTrack = (s) => (Number.isFinite(s) ? `${Math.floor(s / 60)}:${String(Math.floor(s % 60)).padStart(2, '0')}` : '0:00');

// Remaining time on playing pads and the BGM clock, once a frame while anything plays.
let ticking = false;
let voicesChanged = false;
function tick() {
  ticking = false;
  let again = false;
  if (voicesChanged) {
    voicesChanged = false;
    for (const pad of padElements.keys()) updatePad(pad);
  }
  for (const [pad, el] of padElements) {
    if (!engine.isPlaying(pad)) continue;
    const t = engine.timing(pad);
    if (t) {
      el.querySelector('.status').textContent = `${pad.mode === 'loop' ? '↻ ' : ''}-${fmtPad(t.left)}`;
      if (t.total) el.querySelector('.progress').style.width = `${Math.min(100, (1 - t.left / t.total) * 100)}%`;
    }
    again = true;
  }
  const el = bgm.element;
  if (bgm.playing || !el.paused) {
    $('bgm-elapsed').textContent = fmtTrack(el.currentTime);
    $('bgm-remaining').textContent = `-${fmtTrack(el.duration - el.currentTime)}`;
    $('bgm-progress').style.width = Number.isFinite(el.duration) ? `${(el.currentTime / el.duration) * 100}%` : '0';
    again = true;
  }
  if (again) schedule();
}
function schedule() {
  if (!ticking) {
    ticking = true;
    requestAnimationFrame(tick);
  }
}

function renderBgm() {
  const list = $('bgm-list');
  const current = bgm.currentIndex;
  list.replaceChildren(
    ...show.bgm.tracks.map((t, i) => {
      const li = document.createElement('li');
      li.textContent = S.stripExtension(t.name);
      li.title = t.path;
      if (i === current) li.className = 'current';
      li.addEventListener('dblclick', () => bgm.playTrack(i));
      return li;
    }),
  );
  $('bgm-title').textContent = bgm.current ? S.stripExtension(bgm.current.name) : show.bgm.tracks.length ? '停止中' : '—';
  $('bgm-play').textContent = bgm.playing ? '■ 一時停止' : '▶ 再生';
  $('bgm-play').disabled = !show.bgm.tracks.length;
  $('bgm-next').disabled = !show.bgm.tracks.length;
  $('bgm-shuffle').checked = show.bgm.shuffle;
  $('bgm-xfade').value = show.bgm.crossfade;
  $('bgm-xfade-out').textContent = `${show.bgm.crossfade}秒`;
  list.querySelector('.current')?.scrollIntoView({ block: 'nearest' });
  schedule();
}

function updatePreflight() {
  const pads = S.allPads(show).filter((p) => p.path);
  const count = (s) => pads.filter((p) => padState(p) === s).length;
  const missing = count('missing');
  const unsupported = count('unsupported');
  let text = `${count('ready')}/${pads.length} パッド準備完了 · BGM ${show.bgm.tracks.length}曲 · 欠落 ${missing}`;
  if (unsupported) text += ` · 非対応 ${unsupported}`;
  const box = $('preflight');
  box.textContent = text;
  box.classList.toggle('bad', missing + unsupported > 0);
  box.classList.toggle('good', pads.length > 0 && count('ready') === pads.length);
  $('btn-relink').hidden = missing === 0;
}

function renderAudioState() {
  const running = engine.ctx.state === 'running';
  const b = $('audio-state');
  b.textContent = running ? '音声出力: 動作中' : '音声出力: 停止中（クリックで開始）';
  b.dataset.state = engine.ctx.state;
}

// --- pad editor -------------------------------------------------------------------

function openEditor(page, slot) {
  editing = { page, slot };
  fillEditor();
  if (!$('pad-editor').open) $('pad-editor').showModal();
}

function editingPad() {
  return editing ? show.pages[editing.page]?.pads[editing.slot] : null;
}

function fillEditor() {
  const pad = editingPad();
  if (!pad) return;
  $('editor-title').textContent = `パッド ${editing.slot + 1} の設定（${show.pages[editing.page].name}）`;
  $('ed-label').value = pad.label;
  $('ed-volume').value = pad.volume;
  $('ed-volume-out').textContent = Math.round(pad.volume * 100);
  $('ed-mode').value = pad.mode;
  $('ed-fade').value = pad.fadeOut;
  $('ed-hotkey').value = pad.hotkey;
  $('ed-duck').checked = pad.duck;
  $('ed-file').textContent = pad.path ? `${pad.name}（${stateText(pad)}）` : '未割当';
  $('ed-file').title = pad.path || '';
  for (const b of $('ed-colors').children) b.setAttribute('aria-pressed', String(b.dataset.color === pad.color));
}

function editPad(fn) {
  const pad = editingPad();
  if (!pad) return;
  fn(pad);
  if (editing.page === show.currentPage) renderGrid();
  fillEditor();
  changed();
}

function setupEditor() {
  $('ed-colors').replaceChildren(
    ...S.COLORS.map((c) => {
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'swatch';
      b.dataset.color = c;
      b.style.background = c;
      b.title = c;
      b.addEventListener('click', () => editPad((p) => (p.color = c)));
      return b;
    }),
  );
  $('ed-label').addEventListener('input', (e) => editPad((p) => (p.label = e.target.value)));
  $('ed-volume').addEventListener('input', (e) => editPad((p) => (p.volume = Number(e.target.value))));
  $('ed-mode').addEventListener('change', (e) => editPad((p) => (p.mode = e.target.value)));
  $('ed-fade').addEventListener('change', (e) => editPad((p) => (p.fadeOut = Math.min(30, Math.max(0, Number(e.target.value) || 0)))));
  $('ed-duck').addEventListener('change', (e) => editPad((p) => (p.duck = e.target.checked)));
  $('ed-hotkey').addEventListener('keydown', (e) => {
    if (e.key === 'Tab' || e.key === 'Escape') return;
    e.preventDefault();
    const key = e.key === 'Backspace' || e.key === 'Delete' ? '' : keyName(e);
    if (key !== null) editPad((p) => (p.hotkey = key));
  });
  $('ed-pick').addEventListener('click', () => bridge.pickPadFile(S.flatIndex(show, editing.page, editing.slot)));
  $('ed-clear').addEventListener('click', () =>
    editPad((p) => {
      engine.stopPad(p);
      Object.assign(p, { path: null, name: '', label: '' });
      updatePreflight();
    }),
  );
  $('ed-test').addEventListener('click', () => {
    const pad = editingPad();
    if (pad) engine.trigger(pad);
  });
  $('pad-editor').addEventListener('close', () => (editing = null));
}

// --- keyboard ------------------------------------------------------------------------

// The name of a key as stored on a pad: letters upper-case, digits, F-keys. Physical key
// codes are used so an IME or a shifted layout does not change which pad fires.
function keyName(e) {
  const code = e.code || '';
  if (/^Key[A-Z]$/.test(code)) return code.slice(3);
  if (/^(Digit|Numpad)[0-9]$/.test(code)) return code.slice(-1);
  if (/^F([1-9]|1[0-2])$/.test(code)) return code;
  if (e.key && e.key.length === 1 && e.key !== ' ') return e.key.toUpperCase();
  return null;
}

function onKeyDown(e) {
  const t0 = performance.now();
  if ($('pad-editor').open) return;
  const tag = e.target && e.target.tagName;
  if (tag === 'INPUT' || tag === 'TEXTAREA' || tag === 'SELECT') {
    if (e.key === 'Escape' || e.key === 'Enter') e.target.blur();
    return;
  }
  if (e.key === 'Escape') {
    e.preventDefault();
    if (t0 - lastEsc < ESC_TWICE_MS) hardStop();
    else stopAll();
    lastEsc = t0;
    return;
  }
  if (e.repeat || e.ctrlKey || e.metaKey || e.altKey) return;
  if (e.key === ' ') {
    e.preventDefault();
    bgm.toggle();
    return;
  }
  if (e.key === 'PageDown' || e.key === 'PageUp') {
    e.preventDefault();
    selectPage(show.currentPage + (e.key === 'PageDown' ? 1 : -1));
    return;
  }
  const pad = hotkeys.get(keyName(e));
  if (pad) {
    e.preventDefault();
    engine.trigger(pad, t0);
  }
}

function stopAll() {
  engine.stopAllPads(show.stopFade);
  bgm.pause(show.stopFade);
}

function hardStop() {
  engine.stopAllPads(0);
  bgm.hardStop();
}

// --- controls ------------------------------------------------------------------------

function renamePage() {
  const page = show.pages[show.currentPage];
  const name = window.prompt('ページの名前', page.name);
  if (name === null || !name.trim()) return;
  page.name = name.trim();
  renderTabs();
  changed();
}

function setupControls() {
  const native = bridge.hasBridge();
  $('no-bridge').hidden = native;
  for (const b of document.querySelectorAll('[data-native]')) {
    b.disabled = !native;
    if (!native) b.title = 'デスクトップアプリ Jaunvel でのみ使えます';
  }
  $('btn-theme').addEventListener('click', () => bridge.pickFolder('theme'));
  $('btn-relink').addEventListener('click', () => {
    relinkPending = true;
    bridge.pickFolder('theme');
  });
  $('btn-bgm-import').addEventListener('click', () => bridge.pickFolder('bgmImport'));
  $('btn-page-import').addEventListener('click', () => bridge.pickFolder('samplerPageImport'));
  $('btn-open').addEventListener('click', () => bridge.openSettings());
  $('btn-save').addEventListener('click', () => bridge.saveSettings(S.settingsFileName(show), S.toSettingsText(show)));
  $('show-name').addEventListener('input', (e) => {
    show.name = e.target.value;
    changed();
  });
  for (const bus of ['master', 'pads', 'bgm']) {
    $(`vol-${bus}`).addEventListener('input', (e) => {
      show.volumes[bus] = Number(e.target.value);
      $(`vol-${bus}-out`).textContent = Math.round(show.volumes[bus] * 100);
      engine.setVolume(bus, show.volumes[bus]);
      changed();
    });
  }
  $('btn-stop').addEventListener('click', stopAll);
  $('btn-kill').addEventListener('click', hardStop);
  $('audio-state').addEventListener('click', () => engine.resume());
  $('btn-add-page').addEventListener('click', () => {
    show.pages.push(S.createPage(`ページ ${show.pages.length + 1}`));
    selectPage(show.pages.length - 1);
    renderTabs();
  });
  $('btn-add-row').addEventListener('click', () => {
    const pads = show.pages[show.currentPage].pads;
    if (pads.length >= S.MAX_PADS) return;
    for (let i = 0; i < S.PADS_PER_ROW; i++) pads.push(S.createPad(pads.length));
    renderGrid();
    changed();
  });
  $('btn-rename-page').addEventListener('click', renamePage);
  $('btn-delete-page').addEventListener('click', () => {
    if (show.pages.length < 2) return;
    const page = show.pages[show.currentPage];
    if (!window.confirm(`ページ「${page.name}」を削除しますか？`)) return;
    for (const pad of page.pads) engine.stopPad(pad);
    show.pages.splice(show.currentPage, 1);
    show.currentPage = Math.min(show.currentPage, show.pages.length - 1);
    renderAll();
    changed();
    loadShowAudio();
  });
  $('grid').addEventListener('pointerdown', (e) => {
    const el = e.target.closest('.pad');
    if (!el || e.button !== 0) return;
    const at = S.padAt(show, Number(el.dataset.index));
    if (!at) return;
    if (e.target.closest('.edit')) {
      openEditor(at.page, at.slot);
      return;
    }
    if (!at.pad.path) openEditor(at.page, at.slot);
    else engine.trigger(at.pad);
  });
  $('grid').addEventListener('contextmenu', (e) => {
    const el = e.target.closest('.pad');
    if (!el) return;
    e.preventDefault();
    const at = S.padAt(show, Number(el.dataset.index));
    if (at) openEditor(at.page, at.slot);
  });
  $('bgm-play').addEventListener('click', () => bgm.toggle());
  $('bgm-next').addEventListener('click', () => bgm.next());
  $('bgm-shuffle').addEventListener('change', (e) => {
    show.bgm.shuffle = e.target.checked;
    bgm.setShuffle(show.bgm.shuffle);
    changed();
  });
  $('bgm-xfade').addEventListener('input', (e) => {
    show.bgm.crossfade = Number(e.target.value);
    bgm.crossfade = show.bgm.crossfade;
    $('bgm-xfade-out').textContent = `${show.bgm.crossfade}秒`;
    changed();
  });
  document.addEventListener('keydown', onKeyDown);
  // Outside the shell a browser may hold audio back until the first gesture.
  for (const type of ['pointerdown', 'keydown']) document.addEventListener(type, () => engine.resume(), { capture: true });
  window.addEventListener('pagehide', persist);
  engine.addEventListener('filestate', (e) => {
    for (const pad of padElements.keys()) if (pad.path === e.detail) updatePad(pad);
    if (editingPad()?.path === e.detail) fillEditor();
  });
  // Pads are redrawn on the next frame, never inside a trigger.
  engine.addEventListener('voices', () => {
    voicesChanged = true;
    schedule();
  });
  engine.addEventListener('duck', (e) => ($('duck-indicator').hidden = !e.detail));
  engine.addEventListener('statechange', renderAudioState);
  bgm.addEventListener('change', renderBgm);
}

// --- start ---------------------------------------------------------------------------

setupEditor();
setupControls();
const restored = restore();
if (restored) applyShow(restored);
else renderAll();
renderAudioState();
engine.resume();
bridge.installCallbacks(callbacks);

// A handle for diagnostics and the performance bench.
window.jaunvelDeck = {
  engine,
  bgm,
  get show() {
    return show;
  },
  triggerTimes: () => Array.from(engine.triggerTimes.subarray(0, Math.min(engine.triggerCount, engine.triggerTimes.length))),
};
