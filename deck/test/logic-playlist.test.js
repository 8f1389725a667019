'use strict';
// The BGM playlist's rules without a browser: the order tracks play in with skips and a
// reorder, a new listing folded in (after a relink too), the settings fields, undo.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { pageModule } = require('./helpers/page-modules.js');

const list = (folder, names, skipped = '') => names.split('').map((n) => ({ path: `${folder}/${n}.wav`, name: `${n}.wav`, ...(skipped.includes(n) ? { skip: true } : {}) }));
const names = (tracks, order = tracks.keys()) => [...order].map((i) => tracks[i].name[0] + (tracks[i].skip ? '-' : '')).join('');

test('play order: skipped tracks are passed over, a reorder leads "next" the new way, shuffle keeps its draw', async () => {
  const P = await pageModule('playlist.js');
  const t = list('/m', 'abcde', 'c');
  const seq = (random) => () => (random = (random * 7 + 3) % 11) / 11;
  for (const [what, got, want] of [
    ['from the top', names(t, P.playOrder(t)), 'abde'],
    ['from d, round to the top', names(t, P.playOrder(t, { first: 3 })), 'deab'],
    ['a skipped track the operator chose still leads', names(t, P.playOrder(t, { first: 2 })), 'c-deab'],
    ['b plays, e moved up: e is next', names(P.moveTrack(t, 4, 2), P.carryOrder(t, [1, 3], 0, P.moveTrack(t, 4, 2))), 'beda'],
    ['b plays while skipped: it goes on, the rest follow', names(P.skipTrack(t, 1, true), P.carryOrder(t, [1, 3], 0, P.skipTrack(t, 1, true))), 'b-dea'],
    ['shuffle draws among tracks not skipped', names(t, P.playOrder(t, { shuffle: true, random: seq(1) })).split('').sort().join(''), 'abde'],
    // d plays, a and b were drawn next, then c is unskipped and e is skipped: c is drawn in, e drops.
    ['shuffle: the queue stands, c drawn in, e out', names(P.skipTrack(P.skipTrack(t, 2, false), 4, true), P.carryOrder(t, [4, 3, 0, 1], 1, P.skipTrack(P.skipTrack(t, 2, false), 4, true), { shuffle: true, random: () => 0.99 })), 'dabc'],
  ]) assert.equal(got, want, what);
});

test('a new listing keeps the operator\'s order and skips, adds new files in folder order, drops gone ones; relink and settings keep them', async () => {
  const P = await pageModule('playlist.js');
  const S = await pageModule('show.js');
  const { applyRelink } = await pageModule('relink.js');
  const { Store } = await pageModule('store.js');
  const show = S.createShow();
  Object.assign(show, { baseFolder: '/old' });
  show.bgm.folder = '/old/bgm';
  show.bgm.tracks = list('/old/bgm', 'dbca', 'b');
  // Relinked to /new: the tracks move with the folder; the listing there lost c and has e, f.
  applyRelink(show, { moves: [], bgmFolder: '/new/bgm' }, '/new');
  const { tracks, gone } = P.mergeListing(show.bgm.tracks, '/new/bgm', list('/new/bgm', 'abdef'));
  assert.deepEqual([names(tracks), names(gone), tracks[0].path], ['db-aef', 'c', '/new/bgm/d.wav']);
  show.bgm.tracks = tracks;
  const store = new Store(show);
  store.commit((s) => (s.bgm.tracks = P.skipTrack(P.moveTrack(s.bgm.tracks, 3, 0), 0, true)));
  const doc = JSON.parse(S.toSettingsText(store.show));
  assert.deepEqual(doc.bgm, { folder: 'bgm', shuffle: false, crossfade: 3, order: ['e.wav', 'd.wav', 'b.wav', 'a.wav', 'f.wav'], skip: ['e.wav', 'b.wav'] });
  assert.equal(names(S.fromSettingsText(JSON.stringify(doc)).bgm.tracks), 'e-db-af');
  store.undo();
  assert.equal(names(store.show.bgm.tracks), 'db-aef');
  // A file from before these fields opens with an empty list: the folder's order once listed.
  delete doc.bgm.order;
  assert.deepEqual(S.fromSettingsText(JSON.stringify(doc)).bgm, { folder: '/new/bgm', tracks: [], shuffle: false, crossfade: 3 });
});
