'use strict';
// The show's pure logic without a browser: relinking a moved show, the show keys' routing,
// and undo steps.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { pageModule } = require('./helpers/page-modules.js');

test('relink: by path under the old base first, by unique name next, and the rest listed by page', async () => {
  const S = await pageModule('show.js');
  const { planRelink, applyRelink } = await pageModule('relink.js');
  const show = S.createShow();
  const old = '/old/大会';
  const page = (name, files) => ({ name, pads: S.padsFromFiles(files.map((f) => ({ path: f, name: S.baseName(f) }))) });
  show.pages = [
    page('予選', [`${old}/予選/start.wav`, `${old}/予選/end.wav`, `${old}/予選/only-here.wav`, `${old}/予選/fin.wav`]),
    page('決勝', [`${old}/決勝/start.wav`, `${old}/決勝/end.wav`, `${old}/決勝/gone.wav`, `${old}/決勝/twice.wav`, '/elsewhere/keep.wav', '/elsewhere/lost.wav', `${old}/決勝/fin.wav`]),
  ];
  show.baseFolder = old;
  show.bgm.folder = `${old}/bgm`;
  const now = '/new/大会 2';
  // 決勝/fin.wav is gone: 予選's file of that name is 予選's, not a match for it.
  const files = ['予選/start.wav', '予選/end.wav', '予選/fin.wav', '予選/sub/only-here.wav', '決勝/start.wav', '決勝/end.wav', 'a/twice.wav', 'b/twice.wav', 'bgm/1.wav', 'x/lost.wav']
    .map((rel) => ({ path: `${now}/${rel}` }));
  const plan = planRelink(show, { oldBase: old, newBase: now, files, isMissing: (p) => p !== '/elsewhere/keep.wav' });
  applyRelink(show, plan, now);
  assert.deepEqual(show.pages.map((p) => p.pads.filter((pad) => pad.path).map((pad) => pad.path)), [
    [`${now}/予選/start.wav`, `${now}/予選/end.wav`, `${now}/予選/sub/only-here.wav`, `${now}/予選/fin.wav`],
    [`${now}/決勝/start.wav`, `${now}/決勝/end.wav`, `${old}/決勝/gone.wav`, `${old}/決勝/twice.wav`, '/elsewhere/keep.wav', `${now}/x/lost.wav`, `${old}/決勝/fin.wav`],
  ]);
  assert.deepEqual([plan.ambiguous, plan.missing], [[{ page: 1, slot: 3, name: 'twice.wav' }], [{ page: 1, slot: 2, name: 'gone.wav' }, { page: 1, slot: 6, name: 'fin.wav' }]]);
  assert.deepEqual([show.baseFolder, show.bgm.folder, plan.bgmLost], [now, `${now}/bgm`, false]);
  // Saved again, the paths are relative to the new base.
  const saved = JSON.parse(S.toSettingsText(show));
  assert.deepEqual([saved.bgm.folder, saved.pages[0].pads[0].file], ['bgm', '予選/start.wav']);

  // A BGM folder found nowhere (or under two names alike) is flagged, not guessed.
  show.bgm.folder = `${now}/音楽`;
  assert.equal(planRelink(show, { oldBase: now, newBase: '/n', files: [{ path: '/n/x/音楽/1.wav' }, { path: '/n/y/音楽/2.wav' }] }).bgmLost, true);
  assert.equal(planRelink(show, { oldBase: now, newBase: '/n', files: [{ path: '/n/y/音楽/2.wav' }] }).bgmFolder, '/n/y/音楽');
});

test('show keys: Esc always, pad keys and Space unless typing or composing, held keys once', async () => {
  const { route, focusKind } = await pageModule('keys.js');
  const el = (tagName, type, extra = {}) => ({ tagName, type, dataset: {}, isContentEditable: false, ...extra });
  const focus = {
    none: null, range: el('INPUT', 'range'), checkbox: el('INPUT', 'checkbox'), button: el('BUTTON', 'submit'), select: el('SELECT', ''),
    text: el('INPUT', 'text'), number: el('INPUT', 'number'), textarea: el('TEXTAREA', ''), editable: el('DIV', '', { isContentEditable: true }),
    hotkey: el('INPUT', 'text', { dataset: { keys: 'own' } }),
  };
  const keys = {
    esc: { key: 'Escape', code: 'Escape' }, one: { key: '1', code: 'Digit1' }, q: { key: 'q', code: 'KeyQ' }, kana: { key: 'た', code: 'KeyQ' },
    space: { key: ' ', code: 'Space' }, pgdn: { key: 'PageDown', code: 'PageDown' }, undo: { key: 'z', code: 'KeyZ', ctrlKey: true },
    held: { key: '1', code: 'Digit1', repeat: true }, ctrl1: { key: '1', code: 'Digit1', ctrlKey: true },
    imeEnter: { key: 'Enter', code: 'Enter', isComposing: true }, ime229: { key: 'Process', code: 'KeyA', keyCode: 229 },
    imeEsc: { key: 'Escape', code: 'Escape', isComposing: true },
  };
  const table = Object.fromEntries(Object.entries(focus).map(([f, target]) => [f, Object.entries(keys).map(([k, e]) => {
    const r = route(e, focusKind(target));
    return `${k}:${r ? r.action + (r.key ? `=${r.key}` : '') + (r.step ? `${r.step}` : '') : '-'}`;
  }).join(' ')]));
  const controls = 'esc:stop one:pad=1 q:pad=Q kana:pad=Q space:bgm pgdn:page1 undo:undo held:- ctrl1:- imeEnter:- ime229:- imeEsc:-';
  const typing = 'esc:stop one:- q:- kana:- space:- pgdn:- undo:- held:- ctrl1:- imeEnter:- ime229:- imeEsc:-';
  assert.deepEqual(table, {
    none: controls, range: controls, checkbox: controls, button: controls, select: controls,
    text: typing, number: typing, textarea: typing, editable: typing, hotkey: typing,
  });
});

test('undo: each commit that changes the show is a step, a dragged fader is one, and pads keep who they are', async () => {
  const S = await pageModule('show.js');
  const { Store, UNDO_STEPS } = await pageModule('store.js');
  let clock = 0;
  const seen = [];
  const store = new Store(S.createShow(), { onCommit: (what) => seen.push(what), now: () => clock });
  const pad = store.show.pages[0].pads[0];
  pad.path = '/a.wav';
  for (let i = 0; i < 25; i++) store.commit((s) => (s.pages[0].pads[1].label = `L${i}`), { what: 'grid' });
  store.commit(() => {}); // nothing changed: no step
  for (let v = 0.5; v < 0.6; v += 0.01, clock += 100) store.commit((s) => (s.volumes.master = v), { merge: 'master' });
  clock += 5000;
  store.commit((s) => (s.volumes.master = 0.1), { merge: 'master' });
  store.commit((s) => (s.currentPage = 0), { undo: false });
  assert.equal(store.undoStack.length, 27);
  assert.ok(store.undo() && store.show.volumes.master > 0.59 && store.show.volumes.master < 0.6, 'back to the end of the drag');
  assert.ok(store.undo() && store.show.volumes.master === 0.9, 'the drag as one step');
  for (let i = 24; i > 4; i--) assert.equal((store.undo(), store.show.pages[0].pads[1].label), `L${i - 1}`);
  assert.equal(store.show.pages[0].pads[0], pad, 'the pad object is the same one');
  while (store.undo());
  assert.equal(store.show.pages[0].pads[1].label, '');
  assert.ok(UNDO_STEPS >= 20);
  assert.deepEqual([seen[0], seen.at(-1)], ['grid', 'undo']);
});

test('pre-flight: green only when every file is fine; each problem named by page and pad; streamed pads counted apart', async () => {
  const S = await pageModule('show.js');
  const { preflight } = await pageModule('preflight.js');
  const show = S.createShow();
  show.pages = [{ name: '予選', pads: S.padsFromFiles(['a', 'b', 'c'].map((n) => ({ path: `/s/${n}.wav`, name: `${n}.wav` }))) }];
  show.bgm.tracks = [{ path: '/s/bgm/1.wav', name: '1.wav' }, { path: '/s/bgm/2.wav', name: '2.wav' }];
  const run = (pads, tracks = {}) => preflight(show, (p) => pads[p.name[0]], (t) => tracks[t.name] || null);
  const fine = run({ a: 'ready', b: 'stream', c: 'ready' });
  assert.deepEqual([fine.text, fine.good], ['3/3 パッド準備完了（うち直接再生 1） · BGM 2曲 · 見つからない 0', true]);
  assert.equal(run({ a: 'ready', b: 'ready', c: 'loading' }).good, false);
  const bad = run({ a: 'gone', b: 'empty', c: 'ready' }, { '2.wav': 'broken' });
  assert.deepEqual([bad.text, bad.good], ['1/3 パッド準備完了 · BGM 1曲 · 見つからない 1 · 読めない 1 · BGMの問題 1', false]);
  assert.deepEqual(bad.problems.map((p) => [p.page, p.slot, p.text.split(':')[0]]), [[0, 0, '予選 1「a」'], [0, 1, '予選 2「b」'], [-1, 1, 'BGM 2「2.wav」']]);
});

test('a crossfade is never longer than half the shorter track', async () => {
  const { crossfadeSeconds } = await pageModule('engine.js');
  assert.deepEqual([crossfadeSeconds(3, 60, 180), crossfadeSeconds(3, 60, 2), crossfadeSeconds(3, 1, NaN), crossfadeSeconds(3, NaN), crossfadeSeconds(0, 1, 1)], [3, 1, 0.5, 3, 0]);
});
