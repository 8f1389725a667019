// Writing to the page only what changed: an unchanged clock costs no layout and no paint
// (repainting is not free where the page is drawn without a GPU).

export const setText = (el, text) => el.textContent !== text && (el.textContent = text);
export const setWidth = (el, percent) => {
  const w = `${Math.round(percent)}%`;
  if (el.style.width !== w) el.style.width = w;
};

// A pad's time in tenths (1:02.5), a track's in seconds (3:07).
export const fmtPad = (s) => `${Math.floor(s / 60)}:${(s % 60).toFixed(1).padStart(4, '0')}`;
export const fmtTrack = (s) => (Number.isFinite(s) ? `${Math.floor(s / 60)}:${String(Math.floor(s % 60)).padStart(2, '0')}` : '0:00');
