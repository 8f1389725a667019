// The pre-flight: every pad file and BGM track checked, each problem named by page and pad,
// and a summary that is green only when nothing is wrong.

// What each pad state means to the operator.
export const PAD_PROBLEMS = {
  missing: 'ファイルが見つかりません',
  gone: 'ファイルが移動か削除されています（読み込み済みの音は鳴ります）',
  unsupported: '音声として読めません',
  empty: 'ファイルが空です',
  offline: 'サーバーが応答しないため読み込めていません',
};
export const TRACK_PROBLEMS = { missing: 'ファイルが見つかりません', broken: '音声として読めません' };

// padState(pad): 'ready' | 'stream' | 'loading' | a key of PAD_PROBLEMS; trackState(track): null
// when it plays, else a key of TRACK_PROBLEMS. Returns {text, good, problems}, the problems as
// {page, slot, text} (slot -1 for a BGM track) in page order.
export function preflight(show, padState, trackState = () => null) {
  let assigned = 0;
  let ready = 0;
  let streamed = 0;
  let loading = 0;
  const problems = [];
  const count = {};
  show.pages.forEach((page, p) => {
    page.pads.forEach((pad, slot) => {
      if (!pad.path) return;
      assigned++;
      const state = padState(pad);
      if (state === 'ready' || state === 'stream') ready++;
      if (state === 'stream') streamed++;
      else if (state === 'loading') loading++;
      else if (PAD_PROBLEMS[state]) {
        count[state] = (count[state] || 0) + 1;
        problems.push({ page: p, slot, text: `${page.name} ${slot + 1}「${pad.label || pad.name}」: ${PAD_PROBLEMS[state]}` });
      }
    });
  });
  let badTracks = 0;
  show.bgm.tracks.forEach((track, i) => {
    const state = trackState(track);
    if (!state) return;
    badTracks++;
    problems.push({ page: -1, slot: i, text: `BGM ${i + 1}「${track.name}」: ${TRACK_PROBLEMS[state]}` });
  });
  let text = `${ready}/${assigned} パッド準備完了`;
  if (streamed) text += `（うち直接再生 ${streamed}）`;
  text += ` · BGM ${show.bgm.tracks.length - badTracks}曲`;
  const skipped = show.bgm.tracks.filter((t) => t.skip).length;
  if (skipped) text += `（飛ばす ${skipped}）`;
  text += ` · 見つからない ${(count.missing || 0) + (count.gone || 0)}`;
  if (count.unsupported || count.empty) text += ` · 読めない ${(count.unsupported || 0) + (count.empty || 0)}`;
  if (badTracks) text += ` · BGMの問題 ${badTracks}`;
  if (count.offline) text += ` · 未読込 ${count.offline}`;
  return { text, problems, good: assigned + show.bgm.tracks.length > 0 && problems.length === 0 && loading === 0 };
}
