// The wire to the desktop shell: four channels out, eight callbacks in.

// The eight callback names, as boot.js defined them before any module ran.
const CALLBACKS = window.__jaunvelCallbackNames;

const handlers = () => window.webkit && window.webkit.messageHandlers;

export function hasBridge() {
  const h = handlers();
  return Boolean(h && h.folderPicker && h.filePicker && h.configSaver && h.configPicker);
}

// Posts one value on a channel; false when the shell is not there.
function post(channel, body) {
  const h = handlers();
  if (!h || !h[channel]) return false;
  h[channel].postMessage(body);
  return true;
}

export const pickFolder = (mode) => post('folderPicker', mode); // "theme" | "bgmImport" | "samplerPageImport"
export const pickPadFile = (index) => post('filePicker', index);
export const saveSettings = (name, content) => post('configSaver', { name, content });
export const openSettings = () => post('configPicker', null);

// Installs the deck's callbacks, then replays whatever arrived before the deck was ready.
export function installCallbacks(impl) {
  for (const name of CALLBACKS) {
    const fn = impl[name];
    window[name] = (value) => {
      try {
        return fn(value);
      } catch (err) {
        impl.onError?.(name, err);
      }
    };
  }
  const early = window.__jaunvelEarlyCalls || [];
  window.__jaunvelEarlyCalls = [];
  for (const [name, value] of early.splice(0)) window[name](value);
}
