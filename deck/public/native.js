// The eight callbacks the shell answers with (see boot.js and bridge.js).

import { show, edit, notify } from './deck.js';
import * as S from './show.js';
import { loadShowAudio } from './files.js';
import { updatePreflight } from './view-preflight.js';
import { isEditing, fillEditor } from './view-editor.js';
import { setBaseFolder } from './action-base.js';
import { loadBgmFolder } from './action-bgm.js';
import { pourFolder } from './action-pour.js';
import { applyShow } from './action-show.js';

const isText = (v) => typeof v === 'string' && v.length > 0;

export const callbacks = {
  setThemeFolderFromNative(path) {
    if (isText(path)) return setBaseFolder(path);
  },
  importBgmFolderFromNative(path) {
    if (isText(path)) return loadBgmFolder(path);
  },
  importSamplerPageFolderFromNative(path) {
    if (isText(path)) return pourFolder(path);
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
    if (isEditing(at.page, at.slot)) fillEditor();
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
