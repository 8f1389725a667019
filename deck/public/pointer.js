// Pointer use of the controls: buttons, checkboxes and faders give the focus back once the
// pointer is done with them (the show keys must keep working), and faders move by dragging
// from where they are, never jumping to the point clicked. Keyboard users still Tab to them.

const GIVES_FOCUS_BACK = 'button, input[type="checkbox"], input[type="radio"], input[type="range"], input[type="color"], summary';

// Calls release() once the pointer that went down (e) comes up, is cancelled or the window
// loses it: a hold-mode pad sounds only while it is held.
export function untilReleased(e, release) {
  const done = new AbortController();
  const end = () => {
    done.abort();
    release();
  };
  for (const type of ['pointerup', 'pointercancel']) {
    window.addEventListener(type, (u) => u.pointerId === e.pointerId && end(), { capture: true, signal: done.signal });
  }
  window.addEventListener('blur', end, { signal: done.signal });
}

export function installPointerRules(root = document) {
  root.addEventListener('pointerup', (e) => {
    const el = e.target.closest?.(GIVES_FOCUS_BACK);
    if (!el) return;
    // After the click that follows this pointerup has done its work.
    setTimeout(() => document.activeElement === el && el.blur(), 0);
  }, true);

  root.addEventListener('pointerdown', (e) => {
    const el = e.target;
    if (!(el instanceof HTMLInputElement) || el.type !== 'range' || e.button !== 0 || el.disabled) return;
    e.preventDefault(); // no jump, no focus
    const min = Number(el.min || 0);
    const max = Number(el.max || 100);
    const step = Number(el.step) || 1;
    const places = (String(step).split('.')[1] || '').length;
    const width = el.getBoundingClientRect().width || 1;
    const from = Number(el.value);
    const x0 = e.clientX;
    let moved = false;
    const move = (m) => {
      const raw = from + ((m.clientX - x0) / width) * (max - min);
      const value = Number(Math.min(max, Math.max(min, Math.round(raw / step) * step)).toFixed(places));
      if (Number(el.value) === value) return;
      el.value = String(value);
      moved = true;
      el.dispatchEvent(new Event('input', { bubbles: true }));
    };
    const end = () => {
      el.removeEventListener('pointermove', move);
      el.removeEventListener('pointerup', end);
      el.removeEventListener('pointercancel', end);
      if (moved) el.dispatchEvent(new Event('change', { bubbles: true }));
    };
    try {
      el.setPointerCapture(e.pointerId);
    } catch {
      // a synthetic pointer: the moves still reach the fader while over it
    }
    el.addEventListener('pointermove', move);
    el.addEventListener('pointerup', end);
    el.addEventListener('pointercancel', end);
  }, true);
}
