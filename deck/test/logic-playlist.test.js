'use strict';
// The BGM playlist's rules without a browser: play order, a listing folded in, the settings fields.
const [{ test }, assert, { pageModule }] = ['node:test', 'node:assert/strict', './helpers/page-modules.js'].map(require);

const list = (dir, names, skipped = '') => [...names].map((n) => ({ path: `${dir}/${n}.wav`, name: `${n}.wav`, ...(skipped.includes(n) && { skip: true }) }));
const names = (tracks, order = tracks.keys()) => [...order].map((i) => tracks[i].name[0] + (tracks[i].skip ? '-' : '')).join('');

test('play order: skips passed over, "next" after a reorder follows it, shuffle keeps its draw; a listing after a relink keeps the order', async () => {
  const [P, S, { applyRelink }] = await Promise.all(['playlist.js', 'show.js', 'relink.js'].map(pageModule));
  const t = list('/m', 'abcde', 'c');
  const [up, swap] = [P.moveTrack(t, 4, 2), P.skipTrack(P.skipTrack(t, 2, false), 4, true)];
  for (const [what, got, want] of [
    ['from d, round to the top, c skipped', names(t, P.playOrder(t, { first: 3 })), 'deab'],
    ['b plays, e moved up: e is next', names(up, P.carryOrder(t, [1, 3], 0, up)), 'beda'],
    ['shuffle draws among tracks not skipped', [...names(t, P.playOrder(t, { shuffle: true }))].sort().join(''), 'abde'],
    ['shuffle: d plays, a b queued; c unskipped comes after, e skipped drops', names(swap, P.carryOrder(t, [4, 3, 0, 1], 1, swap, { shuffle: true, random: () => 0.99 })), 'dabc'],
  ]) assert.equal(got, want, what);

  const show = S.createShow();
  Object.assign(show.bgm, { folder: '/old/bgm', tracks: list('/old/bgm', 'dbca', 'b') });
  applyRelink(show, { moves: [], bgmFolder: '/new/bgm' }, '/new'); // there c is gone, e and f are new
  const { tracks, gone } = P.mergeListing(show.bgm.tracks, '/new/bgm', list('/new/bgm', 'abdef'));
  show.bgm.tracks = tracks;
  const doc = JSON.parse(S.toSettingsText(show));
  const bgm = { folder: 'bgm', shuffle: false, crossfade: 3 }; // the fields an older deck reads, as before
  assert.deepEqual([names(tracks), names(gone), doc.bgm], ['db-aef', 'c', { ...bgm, order: ['d.wav', 'b.wav', 'a.wav', 'e.wav', 'f.wav'], skip: ['b.wav'] }]);
  assert.equal(names(S.fromSettingsText(JSON.stringify(doc)).bgm.tracks), 'db-aef');
  assert.deepEqual(S.fromSettingsText(JSON.stringify({ ...doc, bgm })).bgm, { ...bgm, folder: '/new/bgm', tracks: [] }); // from before: folder order
});
