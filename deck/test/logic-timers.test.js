'use strict';
// Countdown timers: time left from the wall clock, warnings and zero fired once each, across a
// pause and a reload; and the settings fields added beside the old ones (levelling, timers).
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { pageModule } = require('./helpers/page-modules.js');

test('a timer counts from its end time: warning and zero fire once each, a pause keeps the time left, a reload loses nothing', async () => {
  const T = await pageModule('timers.js');
  const timer = T.createTimer({ name: '休憩', seconds: 600, pad: { page: 0, slot: 3 }, warnPad: { page: 1, slot: 0 }, warnBefore: 60 });
  const t0 = 1_700_000_000_000;
  let run = T.startRun(timer, t0);
  const step = (now) => {
    const due = T.dueEvents(timer, run, now);
    run = due.run;
    return due.events;
  };
  assert.deepEqual([step(t0 + 1000), T.formatLeft(T.leftMs(run, t0 + 1000)), T.nextDue(timer, run)], [[], '9:59', t0 + 540_000]);
  // The page was busy for a minute and a half: what it shows comes from the clock, not from ticks.
  assert.equal(T.formatLeft(T.leftMs(run, t0 + 91_500)), '8:29');
  // Paused at 8:29.5 for an hour, then resumed: 8:29.5 still to go.
  run = T.pauseRun(run, t0 + 90_500);
  assert.deepEqual([step(t0 + 4_000_000), T.leftMs(run, t0 + 4_000_000), T.running(run)], [[], 509_500, false]);
  run = T.resumeRun(run, t0 + 4_000_000);
  const end = t0 + 4_000_000 + 509_500;
  assert.equal(run.endsAt, end);

  // The page reloads 20 s before the warning: the stored run brings it back as it was.
  const stored = JSON.stringify({ [timer.id]: run, gone: { endsAt: 1 }, [`${timer.id}x`]: 'odd' });
  run = T.runsFromText(stored, [timer])[timer.id];
  assert.deepEqual(Object.keys(T.runsFromText(stored, [timer])), [timer.id]);
  assert.deepEqual([step(end - 80_000), step(end - 60_000), step(end - 59_000), step(end - 1), step(end), step(end + 5000)], [[], ['warn'], [], [], ['zero'], []]);
  assert.deepEqual([T.leftMs(run, end + 5000), T.formatLeft(0), T.formatLeft(59_001), T.formatLeft(3_600_000)], [0, '0:00', '1:00', '1:00:00']);

  // Lengths as typed, full-width digits too.
  assert.deepEqual(['10', '1:30', '１：３０', '1:00:00', '0:00', '1:60', 'abc', '25:00:00'].map(T.parseLength), [600, 90, 90, 3600, null, null, null, null]);

  // Away from the page across zero for longer than LATE_MS: nothing fires late, the warning
  // neither (its zero has come), and the timer is done.
  run = T.startRun(timer, t0);
  assert.deepEqual([step(t0 + 600_000 + T.LATE_MS + 1), run.fired, T.nextDue(timer, run)], [[], true, null]);
  // Back within LATE_MS of zero, the zero pad still fires, but not the warning (its zero has come).
  const short = T.createTimer({ seconds: 600, pad: { page: 0, slot: 0 }, warnPad: { page: 0, slot: 1 }, warnBefore: 5 });
  assert.deepEqual(T.dueEvents(short, T.startRun(short, t0), t0 + 602_000).events, ['zero']);
  // A timer without pads fires nothing but still ends.
  const bare = T.createTimer({ seconds: 5 });
  const due = T.dueEvents(bare, T.startRun(bare, t0), t0 + 5000);
  assert.deepEqual([due.events, due.run.fired], [[], true]);
});

test('settings: a file from before opens with levelling off and no timers and saves its fields unchanged; new fields survive a save, an open and an undo', async () => {
  const S = await pageModule('show.js');
  const { Store } = await pageModule('store.js');
  const older = {
    format: 'jaunvel-deck', schemaVersion: 1, name: '春季大会', baseFolder: '/m/大会', volumes: { master: 0.8, pads: 0.9, bgm: 0.6 }, stopFade: 2, currentPage: 0,
    bgm: { folder: 'bgm', shuffle: true, crossfade: 4 },
    pages: [{ name: 'SE', pads: [{ label: 'ゴング', color: '#ef4444', volume: 0.5, mode: 'loop', fadeOut: 2, hotkey: 'G', duck: true, file: 'SE/gong.wav', name: 'gong.wav' }] }],
  };
  const show = S.fromSettingsText(JSON.stringify(older));
  assert.deepEqual([show.loudness.on, show.timers, show.pages[0].pads[0].level], [false, [], undefined]);
  const saved = JSON.parse(S.toSettingsText(show));
  const { pages, ...top } = older;
  for (const [k, v] of Object.entries(top)) assert.deepEqual(saved[k], v, k);
  const { level, ...oldPad } = saved.pages[0].pads[0];
  assert.deepEqual([oldPad, level], [older.pages[0].pads[0], true]);

  // A show made now levels by default; the operator's choices go into the file and come back.
  const fresh = S.createShow();
  assert.deepEqual(fresh.loudness, { on: true, pads: -16, bgm: -20 });
  const T = await pageModule('timers.js');
  Object.assign(show, { loudness: { on: true, pads: -18, bgm: -23 }, timers: [T.createTimer({ name: '試合開始まで', seconds: 300, pad: { page: 0, slot: 0 } })] });
  show.pages[0].pads[0].level = false;
  const text = S.toSettingsText(show);
  const again = S.fromSettingsText(text);
  assert.equal(S.toSettingsText(again), text);
  assert.deepEqual([again.loudness, again.timers[0].name, again.timers[0].pad, again.pages[0].pads[0].level, JSON.parse(text).schemaVersion], [{ on: true, pads: -18, bgm: -23 }, '試合開始まで', { page: 0, slot: 0 }, false, 1]);

  // Undo brings the levelling switch and the timers back too.
  const store = new Store(again);
  store.commit((s) => {
    s.loudness = { ...s.loudness, on: false };
    s.timers = [];
  });
  store.undo();
  assert.deepEqual([store.show.loudness.on, store.show.timers.length], [true, 1]);
});
