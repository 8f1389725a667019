'use strict';
// The record of what was played: what is kept, the tab-separated text (names holding tabs, line
// breaks and quotes), the sums per file, and the record as stored across a reload.
process.env.TZ = 'Asia/Tokyo';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { pageModule } = require('./helpers/page-modules.js');

const at = (hms) => Date.parse(`2026-12-07T${hms}+09:00`);

test('the record keeps pads over 3 s and BGM tracks, copies as text a spreadsheet splits into the right cells, and sums per file', async () => {
  const R = await pageModule('record.js');
  const base = '/m/大会';
  const e = (kind, from, to, path, page) => R.makeEntry({ kind, start: at(from), end: at(to), path, page, base });
  assert.deepEqual([R.kept('pad', 3), R.kept('pad', 3.01), R.kept('bgm', 0.4), R.kept('bgm', 1)], [false, true, false, true]);
  const entries = [
    e('bgm', '18:00:00', '18:03:30', `${base}/bgm/01 待機.mp3`, 'BGM'),
    e('pad', '18:03:31', '18:03:45.4', `${base}/SE/入場\t"決勝".wav`, '決勝'),
    e('pad', '18:10:00', '18:10:05', `${base}/SE/入場\t"決勝".wav`, '決勝'),
    e('pad', '18:11:00', '18:11:04', `${base}/予選/入場\t"決勝".wav`, '予\n選'),
    e('pad', '18:12:00', '18:12:09', '/other/fan fare.wav', 'SE'),
    e('bgm', '18:20:00', '18:21:00', `${base}/bgm/01 待機.mp3`, 'BGM'),
  ];
  const text = R.toTSV(entries);
  // What a spreadsheet reads from it: rows on line breaks outside quotes, cells on tabs outside quotes.
  const parse = (t) => {
    const rows = [[]];
    let cell = '';
    let quoted = false;
    for (let i = 0; i < t.length; i++) {
      const c = t[i];
      if (quoted) {
        if (c === '"' && t[i + 1] === '"') (cell += '"'), i++;
        else if (c === '"') quoted = false;
        else cell += c;
      } else if (c === '"' && cell === '') quoted = true;
      else if (c === '\t') rows.at(-1).push(cell), (cell = '');
      else if (c === '\n' || c === '\r') rows.at(-1).push(cell), (cell = ''), rows.push([]), (i += c === '\r' && t[i + 1] === '\n' ? 1 : 0);
      else cell += c;
    }
    return rows.filter((r) => r.length);
  };
  assert.deepEqual(parse(text), [
    ['開始', '再生時間', '種類', 'ファイル名', 'フォルダ', 'ページ'],
    ['2026-12-07 18:00:00', '0:03:30', 'BGM', '01 待機.mp3', 'bgm', 'BGM'],
    ['2026-12-07 18:03:31', '0:00:14', 'パッド', '入場\t"決勝".wav', 'SE', '決勝'],
    ['2026-12-07 18:10:00', '0:00:05', 'パッド', '入場\t"決勝".wav', 'SE', '決勝'],
    ['2026-12-07 18:11:00', '0:00:04', 'パッド', '入場\t"決勝".wav', '予選', '予\n選'],
    ['2026-12-07 18:12:00', '0:00:09', 'パッド', 'fan fare.wav', '/other', 'SE'],
    ['2026-12-07 18:20:00', '0:01:00', 'BGM', '01 待機.mp3', 'bgm', 'BGM'],
  ]);
  assert.equal(text.split('\r\n').length, 8, 'one line a row, the line break inside a name quoted');

  // Per file: the same name in another folder is another file.
  assert.deepEqual(parse(R.sumsToTSV(R.sumByFile(entries))), [
    ['ファイル名', 'フォルダ', '種類', '回数', '合計時間'],
    ['01 待機.mp3', 'bgm', 'BGM', '2', '0:04:30'],
    ['入場\t"決勝".wav', 'SE', 'パッド', '2', '0:00:19'],
    ['入場\t"決勝".wav', '予選', 'パッド', '1', '0:00:04'],
    ['fan fare.wav', '/other', 'パッド', '1', '0:00:09'],
  ]);

  // Stored and read back after a reload: the same record; anything malformed is left out.
  const stored = JSON.stringify([...entries, { kind: 'pad', start: 'x' }, null, { kind: 'song', start: 1, seconds: 1, file: 'a' }]);
  assert.deepEqual(R.entriesFromText(stored), entries);
  assert.deepEqual([R.entriesFromText('not json'), R.entriesFromText('{}')], [[], []]);
});
