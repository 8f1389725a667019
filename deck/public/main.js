// The deck page: wires the show, the audio engine, the shell's callbacks and the controls.

import * as bridge from './bridge.js';
import { listFolder } from './api.js';
import { Engine, BgmPlayer } from './engine.js';
import * as S from './show.js';
import { route, focusKind, keyName, hotkeyOwner, composing as composingKey } from './keys.js';
import { installPointerRules } from './pointer.js';
import { Store } from './store.js';
import { planRelink, applyRelink } from './relink.js';
import { Messages, ask, choose } from './messages.js';
import { ServerWatch } from './health.js';
import { preflight } from './preflight.js';
import { sniffAudio } from './decode.js';
import { mediaUrl } from './api.js';

const $ = (id) => document.getElementById(id);
const STORAGE_KEY = 'jaunvel.deck.show';
const LOAD_CONCURRENCY = 4;
const ESC_TWICE_MS = 600;
const STATE_TEXT = { empty: '未割当', loading: '読込中…', ready: '準備完了', missing: 'ファイルなし', unsupported: '読めません', offline: 'サーバー待ち' };

const engine = new Engine();
const server = new ServerWatch();
const bgm = new BgmPlayer(engine, { serverUp: () => server.check() });
const store = new Store(S.createShow(), { onCommit });
let show = store.show; // always store.show
let relinkPending = false; // the next base folder chosen relinks the show
let editing = null; // {page, slot} of the pad open in the editor
let padElements = new Map(); // pad → element on the current page
let hotkeys = new Map(); // key name → pad on the current page
let lastEsc = -Infinity;

// --- messages ----------------------------------------------------------------

const messages = new Messages($('messages'));
const notify = (text, kind = 'info', options) => messages.show(text, kind, options);

// --- the one path for changes ------------------------------------------------------

// Every edit goes through store.commit(change, {what}); this redraws what it names and saves.
function onCommit(what, next) {
  show = next;
  if (what === 'show' || what === 'undo') afterSwap();
  else if (what === 'grid') renderGrid();
  else if (what === 'tabs') {
    renderTabs();
    renderGrid();
  } else if (what === 'bgm') renderBgm();
  else if (what === 'all') renderAll();
  changed();
}

const edit = (change, options) => store.commit(change, options);

// A whole show took the place of the last one (opened, laid out, or an undo step).
let afterSwapLoad = Promise.resolve();
function afterSwap() {
  for (const bus of ['master', 'pads', 'bgm']) engine.setVolume(bus, show.volumes[bus]);
  bgm.crossfade = show.bgm.crossfade;
  if (bgm.shuffle !== show.bgm.shuffle) bgm.setShuffle(show.bgm.shuffle);
  const paths = (tracks) => tracks.map((t) => t.path).join('\n');
  if (paths(bgm.tracks) !== paths(show.bgm.tracks)) bgm.setTracks(show.bgm.tracks);
  if (editing && !editingPad()) $('pad-editor').close();
  else if (editing) fillEditor();
  renderAll();
  afterSwapLoad = loadShowAudio().then(verifyAll);
}

function undo() {
  if (store.undo()) notify('ひとつ前に戻しました。', 'info', { key: 'undo' });
  else notify('これ以上は戻せません。', 'info', { key: 'undo' });
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
    localStorage.setItem(STORAGE_KEY, JSON.stringify({ fromSettings: show.fromSettings, text: S.toSettingsText(show), tracks: show.bgm.tracks }));
  } catch {
    // storage full or unavailable: the deck still works, it just will not survive a reload
  }
}

// What was sounding when the page went away (the shell reloads it at start-up and after a
// failed load): the BGM plays on from where it was, and cut pads are shown as cut.
const PLAYING_KEY = 'jaunvel.deck.playing';
const RESUME_WITHIN_MS = 60000;
function savePlaying() {
  const pads = [];
  for (const pad of engine.voices.keys()) {
    if (!engine.isPlaying(pad)) continue;
    const at = show.pages.findIndex((p) => p.pads.includes(pad));
    if (at >= 0) pads.push(S.flatIndex(show, at, show.pages[at].pads.indexOf(pad)));
  }
  const music = bgm.playing && bgm.current ? { path: bgm.current.path, time: bgm.element.currentTime } : null;
  try {
    localStorage.setItem(PLAYING_KEY, JSON.stringify({ at: Date.now(), bgm: music, pads }));
  } catch {
    // nothing to resume then
  }
}

function resumePlaying() {
  let saved = null;
  try {
    saved = JSON.parse(localStorage.getItem(PLAYING_KEY) || 'null');
    localStorage.removeItem(PLAYING_KEY);
  } catch {
    return;
  }
  if (!saved || !(Date.now() - saved.at < RESUME_WITHIN_MS)) return;
  const index = saved.bgm ? show.bgm.tracks.findIndex((t) => t.path === saved.bgm.path) : -1;
  if (index >= 0) bgm.resumeAt(index, Number(saved.bgm.time) || 0);
  const cut = (Array.isArray(saved.pads) ? saved.pads : []).map((i) => S.padAt(show, i)).filter(Boolean);
  for (const { pad } of cut) cutPads.add(pad);
  if (cut.length) {
    notify(`再読み込みで止まったパッド: ${cut.map(({ page, slot, pad }) => `${show.pages[page].name} ${slot + 1}「${pad.label || pad.name}」`).join('、')}`, 'error', { key: 'cut' });
    renderGrid();
  }
}
const cutPads = new Set(); // pads a reload cut off, until they are played again

function restore() {
  try {
    const saved = JSON.parse(localStorage.getItem(STORAGE_KEY) || 'null');
    if (!saved) return null;
    const restored = S.fromSettingsText(saved.text);
    restored.fromSettings = saved.fromSettings === true;
    if (Array.isArray(saved.tracks) && restored.bgm.folder) restored.bgm.tracks = saved.tracks.filter((t) => t && typeof t.path === 'string');
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
    const tracks = listing.files.map((f) => ({ path: f.path, name: f.name }));
    edit((s) => {
      s.bgm.folder = folder;
      s.bgm.tracks = tracks;
    }, { what: 'none', undo: !quiet });
    const same = bgm.tracks.map((t) => t.path).join('\n') === tracks.map((t) => t.path).join('\n');
    if (same) bgm.tracks = show.bgm.tracks;
    else bgm.setTracks(show.bgm.tracks);
    renderBgm();
    updatePreflight();
    checkTracks().then(updatePreflight);
    if (!listing.files.length) notify(`「${S.baseName(folder)}」には音源がありません。`, 'error');
    else if (!quiet) notify(`BGMに${listing.files.length}曲を取り込みました（${S.baseName(folder)}）。`);
  } catch (err) {
    notify(`BGMフォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
  }
}

// Messages whose cause is the server's absence share a key: they go when it answers again.
const serverKey = (err) => (err && err.status ? null : 'server');

function folderProblem(err) {
  if (!err.status) server.check();
  if (err.status === 404) return 'フォルダが見つかりません';
  if (err.status === 400) return 'フォルダではありません';
  return 'サーバーに接続できません';
}

// --- the show as a whole -----------------------------------------------------------

function applyShow(next, { undo = true } = {}) {
  engine.stopAllPads(0.3);
  store.replace(next, { undo });
  return Promise.all([afterSwapLoad, show.bgm.folder ? loadBgmFolder(show.bgm.folder, { quiet: true }) : null]);
}

// Whether laying the deck out again would throw away what the operator made of it.
const hasWork = () => S.allPads(show).some((p) => p.path) || show.bgm.tracks.length > 0;

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

let baseChoice = 0; // a folder chosen while the last one is still being read replaces it
async function setBaseFolder(folder) {
  const relink = relinkPending || show.fromSettings;
  relinkPending = false;
  if (relink) return relinkTo(folder);
  const choice = ++baseChoice;
  let next;
  try {
    next = await layoutFromFolder(folder);
  } catch (err) {
    notify(`基本フォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
    return;
  }
  if (choice !== baseChoice) return;
  const question = `「${S.baseName(folder)}」から並べ直します。\n今のパッドの名前・色・モード・キーとBGMの一覧は置き換わります（Ctrl+Z で戻せます）。`;
  if (hasWork() && !(await ask(question, '並べ直す'))) return;
  try {
    const count = S.allPads(next).filter((p) => p.path).length;
    await applyShow(next);
    notify(`「${S.baseName(folder)}」を読み込みました: パッド ${count}個・${next.pages.length}ページ。`);
  } catch (err) {
    notify(`基本フォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
  }
}

// "予選 3「a.wav」、決勝 7「b.wav」" — at most a few, then how many more.
function whereList(items) {
  const names = items.slice(0, 6).map((w) => `${show.pages[w.page].name} ${w.slot + 1}「${w.name}」`);
  return names.join('、') + (items.length > 6 ? ` ほか${items.length - 6}個` : '');
}

// Moves the show's files to folder: the same places under it, else files of a unique name.
async function relinkTo(folder) {
  let listing;
  try {
    listing = await listFolder(folder, { recursive: true, depth: 8 });
  } catch (err) {
    notify(`再リンク用のフォルダを読み込めませんでした: ${folderProblem(err)}（${folder}）`, 'error', { key: serverKey(err) });
    return;
  }
  const plan = planRelink(show, { oldBase: show.baseFolder, newBase: folder, files: listing.files, isMissing: (p) => engine.fileState(p)?.state !== 'ready' });
  const bgmBefore = show.bgm.folder;
  edit((s) => applyRelink(s, plan, folder), { what: 'all' });
  if (show.bgm.folder && show.bgm.folder !== bgmBefore) loadBgmFolder(show.bgm.folder, { quiet: true });
  await loadShowAudio();
  updatePreflight();
  const problems = [];
  if (plan.ambiguous.length) problems.push(`同じ名前のファイルが複数あって決められないもの ${plan.ambiguous.length}個: ${whereList(plan.ambiguous)}`);
  if (plan.missing.length) problems.push(`見つからないもの ${plan.missing.length}個: ${whereList(plan.missing)}`);
  if (plan.bgmLost) problems.push(`BGMフォルダ「${S.baseName(bgmBefore)}」が見つかりません`);
  notify(`「${S.baseName(folder)}」に再リンクしました（${plan.moves.length}個を移動）。${problems.length ? `\n${problems.join('\n')}` : ''}`, problems.length ? 'error' : 'info', { key: 'relink' });
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
      const target = show.currentPage;
      const used = show.pages[target].pads.filter((p) => p.path).length;
      if (used && !(await ask(`「${show.pages[target].name}」の${used}個のパッドを「${S.baseName(path)}」の音源で置き換えます（Ctrl+Z で戻せます）。`, '置き換える'))) return;
      const page = show.pages[target];
      if (!page) return;
      edit((s) => {
        page.pads = S.padsFromFiles(listing.files);
        if (/^ページ \d+$/.test(page.name)) page.name = S.baseName(path);
      }, { what: 'all' });
      notify(`「${page.name}」に${Math.min(listing.files.length, S.MAX_PADS)}個の音源を流し込みました。`);
      await loadShowAudio();
      updatePreflight();
    } catch (err) {
      notify(`フォルダを読み込めませんでした: ${folderProblem(err)}（${path}）`, 'error', { key: serverKey(err) });
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
    edit(() => {
      if (!pad.label || pad.label === S.stripExtension(pad.name || '')) pad.label = S.stripExtension(name);
      pad.path = value.path;
      pad.name = name;
    }, { what: at.page === show.currentPage ? 'grid' : 'none' });
    if (editing && editing.page === at.page && editing.slot === at.slot) fillEditor();
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

// Failures in asynchronous work reach the operator, not only the console.
window.addEventListener('unhandledrejection', (e) => {
  notify(`内部エラー: ${e.reason && e.reason.message ? e.reason.message : e.reason}`, 'error');
});
window.addEventListener('error', (e) => {
  if (e.message) notify(`内部エラー: ${e.message}`, 'error');
});

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
  $('first-steps').hidden = hasWork() || Boolean(show.baseFolder);
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
  renderSounding();
}

function selectPage(i) {
  if (i < 0 || i >= show.pages.length || i === show.currentPage) return;
  edit((s) => (s.currentPage = i), { what: 'tabs', undo: false });
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
      '<span class="key"></span><span class="badge" hidden title="長いか、メモリに収まらないため、ファイルから直接再生します">直接再生</span><span class="duck-mark" hidden>ダック</span>' +
      '<button class="edit" type="button" title="パッドの設定">✎</button><span class="label"></span>' +
      '<span class="status"></span><span class="mode"></span><span class="progress"></span>';
    el.querySelector('.key').textContent = pad.hotkey;
    el.querySelector('.label').textContent = pad.label || (pad.path ? S.stripExtension(pad.name) : '');
    el.querySelector('.mode').textContent = { oneshot: '', toggle: 'トグル', loop: 'ループ' }[pad.mode];
    el.querySelector('.duck-mark').hidden = !pad.duck;
    el.title = pad.path || '';
    el.tabIndex = 0; // reachable from the keyboard: Enter plays it
    el.setAttribute('aria-label', `パッド ${slot + 1}${pad.hotkey ? `（キー ${pad.hotkey}）` : ''}: ${pad.label || (pad.path ? S.stripExtension(pad.name) : '未割当')}`);
    el.querySelector('.edit').setAttribute('aria-label', `パッド ${slot + 1} の設定`);
    padElements.set(pad, el);
    if (pad.hotkey && !hotkeys.has(pad.hotkey)) hotkeys.set(pad.hotkey, pad);
    updatePad(pad);
    return el;
  });
  const rows = Math.ceil(page.pads.length / S.PADS_PER_ROW);
  $('grid').style.setProperty('--rows', String(rows));
  $('grid').classList.toggle('dense', rows > 6);
  $('grid').replaceChildren(...cells);
}

// Brings a pad's look up to date, touching only what changed (repainting a pad is not free
// where the page is drawn without a GPU).
function updatePad(pad) {
  const el = padElements.get(pad);
  if (!el) return;
  const state = padState(pad);
  const entry = engine.fileState(pad.path);
  const playing = engine.isPlaying(pad);
  if (playing) cutPads.delete(pad);
  const set = (key, value) => el.dataset[key] !== value && (el.dataset[key] = value);
  set('state', state);
  set('playing', String(playing));
  const badge = el.querySelector('.badge');
  if (badge.hidden !== !(entry && entry.stream)) badge.hidden = !badge.hidden;
  if (el.classList.contains('playing') !== playing) el.classList.toggle('playing', playing);
  const cut = !playing && cutPads.has(pad);
  if (el.classList.contains('cut') !== cut) el.classList.toggle('cut', cut);
  if (!playing) {
    setText(el.querySelector('.status'), cut ? '中断' : stateText(pad));
    setWidth(el.querySelector('.progress'), 0);
  }
}

const fmtPad = (s) => `${Math.floor(s / 60)}:${(s % 60).toFixed(1).padStart(4, '0')}`;
const fmtTrack = (s) => (Number.isFinite(s) ? `${Math.floor(s / 60)}:${String(Math.floor(s % 60)).padStart(2, '0')}` : '0:00');

// Clocks (pads' time left, the now-playing strip, the BGM) run about ten times a second while
// anything plays, and not at all otherwise; what sounds changes the pads' look on the next frame.
const CLOCK_MS = 100;
let clockTimer = 0;
let voicesFrame = 0;

function onVoices() {
  voicesFrame ||= requestAnimationFrame(() => {
    voicesFrame = 0;
    for (const pad of padElements.keys()) updatePad(pad);
    renderSounding();
    schedule();
  });
}

// Writes only what changed: an unchanged clock costs no layout and no paint.
const setText = (el, text) => el.textContent !== text && (el.textContent = text);
const setWidth = (el, percent) => {
  const w = `${Math.round(percent)}%`;
  if (el.style.width !== w) el.style.width = w;
};

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
function schedule() {
  clockTimer ||= setTimeout(tick, CLOCK_MS);
}

// Everything sounding, on every page: a pad or the BGM each, with its time left and a stop.
function renderSounding() {
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

function renderBgm() {
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
      li.addEventListener('keydown', (e) => e.key === 'Enter' && !composingKey(e) && (e.preventDefault(), bgm.playTrack(i)));
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

// What the pre-flight knows of a pad: its file's state, and whether it is still on disk.
function checkState(pad) {
  const entry = engine.fileState(pad.path);
  if (!entry) return 'loading';
  if (entry.state === 'unsupported' && entry.reason === 'empty') return 'empty';
  if (entry.state === 'ready') return entry.gone ? 'gone' : entry.stream ? 'stream' : 'ready';
  return entry.state;
}

// BGM tracks as last checked: path → null (plays) | 'missing' | 'broken'.
const trackChecks = new Map();
const trackState = (t) => (bgm.broken.has(show.bgm.tracks.indexOf(t)) ? 'broken' : trackChecks.get(t.path) || null);

// Reads the first bytes of every BGM track: there, and audio?
async function checkTracks() {
  const tracks = show.bgm.tracks;
  await Promise.all(tracks.map(async (t) => {
    const res = await fetch(mediaUrl(t.path), { headers: { Range: 'bytes=0-63' }, cache: 'no-store' }).catch(() => null);
    if (!res) return;
    if (res.status === 404) trackChecks.set(t.path, 'missing');
    else if (!res.ok) trackChecks.set(t.path, 'broken');
    else trackChecks.set(t.path, sniffAudio(await res.arrayBuffer()).ok ? null : 'broken');
  }));
}

// Asks the disk again about every file (audio already in memory is not taken on trust).
let verifying = null;
function verifyAll() {
  verifying ??= Promise.all([engine.verify(new Set(S.allPads(show).map((p) => p.path).filter(Boolean))), checkTracks()])
    .finally(() => {
      verifying = null;
      updatePreflight();
    });
  return verifying;
}

let lastProblems = [];
function updatePreflight() {
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

function editPad(fn, merge = null) {
  const pad = editingPad();
  if (!pad) return;
  edit(() => fn(pad), { what: editing.page === show.currentPage ? 'grid' : 'none', merge: merge && `${merge}:${editing.page}:${editing.slot}` });
  fillEditor();
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
  $('ed-label').addEventListener('input', (e) => editPad((p) => (p.label = e.target.value), 'label'));
  $('ed-volume').addEventListener('input', (e) => editPad((p) => {
    p.volume = Number(e.target.value);
    engine.setPadVolume(p); // heard at once if it is sounding
  }, 'volume'));
  $('ed-mode').addEventListener('change', (e) => editPad((p) => (p.mode = e.target.value)));
  $('ed-fade').addEventListener('change', (e) => editPad((p) => (p.fadeOut = Math.min(30, Math.max(0, Number(e.target.value) || 0)))));
  $('ed-duck').addEventListener('change', (e) => editPad((p) => (p.duck = e.target.checked)));
  $('ed-hotkey').addEventListener('keydown', (e) => {
    if (e.key === 'Tab' || e.key === 'Escape') return;
    e.preventDefault();
    const key = e.key === 'Backspace' || e.key === 'Delete' ? '' : keyName(e);
    if (key === null) return;
    // One key, one pad: a key another pad of this page has is refused, and says whose it is.
    const pads = show.pages[editing.page].pads;
    const owner = hotkeyOwner(pads, key, editing.slot);
    $('ed-hotkey-note').textContent = owner >= 0 ? `「${key}」はパッド ${owner + 1}（${pads[owner].label || '未割当'}）が使っています。` : '';
    if (owner < 0) editPad((p) => (p.hotkey = key));
  });
  $('ed-pick').addEventListener('click', () => bridge.pickPadFile(S.flatIndex(show, editing.page, editing.slot)));
  $('ed-clear').addEventListener('click', () => {
    editPad((p) => {
      engine.stopPad(p);
      Object.assign(p, { path: null, name: '', label: '' });
    });
    updatePreflight();
  });
  $('ed-test').addEventListener('click', () => {
    const pad = editingPad();
    if (pad) engine.trigger(pad);
  });
  $('pad-editor').addEventListener('close', () => {
    editing = null;
    $('ed-hotkey-note').textContent = '';
  });
}

// --- keyboard ------------------------------------------------------------------------

// One router for the whole window, ahead of every control (capture phase): Esc stops all
// whatever has the focus, and does what it did there too (closes a dialog); the other show
// keys give way only to text entry and to an input method that is composing.
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
    const pad = hotkeys.get(r.key);
    if (pad && engine.trigger(pad, t0)) lightPad(pad);
  }
}
let spaceTaken = false;
function onKeyUp(e) {
  if (spaceTaken && (e.key === ' ' || e.code === 'Space')) {
    spaceTaken = false;
    e.preventDefault();
  }
}

// The pad lights in the key handler itself; its clock follows on the next tick.
function lightPad(pad) {
  const el = padElements.get(pad);
  if (!el || !engine.isPlaying(pad)) return;
  el.classList.add('playing');
  el.dataset.playing = 'true';
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

// The shell's file dialogs are modal: while one is open no key reaches the deck, Esc
// included. So with something sounding, the operator is asked first and may stop it.
const sounding = () => bgm.playing || [...engine.voices.keys()].some((p) => engine.isPlaying(p));
async function nativeDialog(open) {
  if (sounding()) {
    const answer = await choose('音が鳴っています。ファイルを選ぶ画面を開いている間は、キーでもボタンでも止められません。', [
      ['cancel', 'やめる'], ['keep', '鳴らしたまま開く'], ['stop', '止めてから開く']]);
    if (answer === null || answer === 'cancel') return;
    if (answer === 'stop') stopAll();
  }
  open();
}

function renamePage() {
  const page = show.pages[show.currentPage];
  const name = window.prompt('ページの名前', page.name);
  if (name === null || !name.trim()) return;
  edit(() => (page.name = name.trim()), { what: 'tabs' });
}

function setupControls() {
  const native = bridge.hasBridge();
  $('no-bridge').hidden = native;
  for (const b of document.querySelectorAll('[data-native]')) {
    b.disabled = !native;
    if (!native) b.title = 'デスクトップアプリ Jaunvel でのみ使えます';
  }
  $('btn-theme').addEventListener('click', () => nativeDialog(() => {
    relinkPending = false;
    bridge.pickFolder('theme');
  }));
  $('first-theme').addEventListener('click', () => $('btn-theme').click());
  $('btn-relink').addEventListener('click', () => nativeDialog(() => {
    relinkPending = true;
    bridge.pickFolder('theme');
  }));
  $('btn-bgm-import').addEventListener('click', () => nativeDialog(() => bridge.pickFolder('bgmImport')));
  $('btn-page-import').addEventListener('click', () => nativeDialog(() => bridge.pickFolder('samplerPageImport')));
  $('btn-open').addEventListener('click', () => nativeDialog(() => bridge.openSettings()));
  $('btn-save').addEventListener('click', () => nativeDialog(() => bridge.saveSettings(S.settingsFileName(show), S.toSettingsText(show))));
  // Back from a dialog of the shell's: the keys belong to the show again.
  window.addEventListener('focus', () => {
    if (focusKind(document.activeElement) !== 'text') document.activeElement?.blur?.();
  });
  $('show-name').addEventListener('input', (e) => edit((s) => (s.name = e.target.value), { what: 'none', merge: 'name' }));
  for (const bus of ['master', 'pads', 'bgm']) {
    $(`vol-${bus}`).addEventListener('input', (e) => {
      edit((s) => (s.volumes[bus] = Number(e.target.value)), { what: 'none', merge: `vol-${bus}` });
      $(`vol-${bus}-out`).textContent = Math.round(show.volumes[bus] * 100);
      engine.setVolume(bus, show.volumes[bus]);
    });
  }
  $('btn-stop').addEventListener('click', stopAll);
  $('preflight').addEventListener('click', () => {
    $('preflight-list').hidden = !$('preflight-list').hidden;
    updatePreflight();
    if (!$('preflight-list').hidden) verifyAll();
  });
  server.addEventListener('change', () => {
    $('server-banner').hidden = server.up;
    if (!server.up) return;
    messages.clear('server');
    // Back: what could not be loaded is loaded now, and the BGM plays on where it stopped.
    engine.forgetOffline();
    loadShowAudio().then(verifyAll);
    if (show.bgm.folder && !show.bgm.tracks.length) loadBgmFolder(show.bgm.folder, { quiet: true });
    bgm.resumeHeld();
  });
  engine.addEventListener('offline', () => server.check());
  $('btn-kill').addEventListener('click', hardStop);
  $('audio-state').addEventListener('click', () => engine.resume());
  $('btn-add-page').addEventListener('click', () => edit((s) => {
    s.pages.push(S.createPage(`ページ ${s.pages.length + 1}`));
    s.currentPage = s.pages.length - 1;
  }, { what: 'tabs' }));
  $('btn-add-row').addEventListener('click', () => {
    const pads = show.pages[show.currentPage].pads;
    if (pads.length >= S.MAX_PADS) return;
    edit(() => {
      for (let i = 0; i < S.PADS_PER_ROW; i++) pads.push(S.createPad(pads.length));
    }, { what: 'grid' });
  });
  $('btn-rename-page').addEventListener('click', renamePage);
  $('btn-delete-page').addEventListener('click', async () => {
    if (show.pages.length < 2) return;
    const page = show.pages[show.currentPage];
    if (!(await ask(`ページ「${page.name}」を削除しますか？（Ctrl+Z で戻せます）`, '削除する'))) return;
    const at = show.pages.indexOf(page);
    if (at < 0) return;
    for (const pad of page.pads) engine.stopPad(pad);
    edit((s) => {
      s.pages.splice(at, 1);
      s.currentPage = Math.min(s.currentPage, s.pages.length - 1);
    }, { what: 'all' });
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
  $('grid').addEventListener('keydown', (e) => {
    const el = e.target.closest('.pad');
    if (e.key !== 'Enter' || !el || e.target !== el || composingKey(e)) return;
    const at = S.padAt(show, Number(el.dataset.index));
    if (!at) return;
    e.preventDefault();
    if (!at.pad.path) openEditor(at.page, at.slot);
    else if (engine.trigger(at.pad)) lightPad(at.pad);
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
    edit((s) => (s.bgm.shuffle = e.target.checked), { what: 'none' });
    bgm.setShuffle(show.bgm.shuffle);
  });
  $('bgm-xfade').addEventListener('input', (e) => {
    edit((s) => (s.bgm.crossfade = Number(e.target.value)), { what: 'none', merge: 'xfade' });
    bgm.crossfade = show.bgm.crossfade;
    $('bgm-xfade-out').textContent = `${show.bgm.crossfade}秒`;
  });
  window.addEventListener('keydown', onKeyDown, true);
  window.addEventListener('keyup', onKeyUp, true);
  installPointerRules();
  // Outside the shell a browser may hold audio back until the first gesture.
  for (const type of ['pointerdown', 'keydown']) document.addEventListener(type, () => engine.resume(), { capture: true });
  window.addEventListener('pagehide', () => {
    persist();
    savePlaying();
  });
  engine.addEventListener('filestate', (e) => {
    for (const pad of padElements.keys()) if (pad.path === e.detail) updatePad(pad);
    if (editingPad()?.path === e.detail) fillEditor();
  });
  // Pads are redrawn on the next frame, never inside a trigger.
  engine.addEventListener('voices', onVoices);
  engine.addEventListener('duck', (e) => ($('duck-indicator').hidden = !e.detail));
  engine.addEventListener('statechange', renderAudioState);
  bgm.addEventListener('change', () => {
    renderBgm();
    onVoices();
  });
}

// --- start ---------------------------------------------------------------------------

setupEditor();
setupControls();
server.start();
const restored = restore();
if (restored) applyShow(restored, { undo: false });
else renderAll();
resumePlaying();
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
