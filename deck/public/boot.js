// Loaded as a classic script before the modules: the shell may call back at any moment,
// even before the deck's modules have run, so every callback exists from the start and
// holds its calls until the deck takes them over (see bridge.js).
(function () {
  'use strict';
  var names = [
    'setThemeFolderFromNative',
    'importBgmFolderFromNative',
    'importSamplerPageFolderFromNative',
    'setSamplerFileFromNative',
    'samplerConfigSavedFromNative',
    'samplerConfigSaveFailedFromNative',
    'importSamplerConfigFromNative',
    'samplerConfigImportFailedFromNative',
  ];
  var queue = [];
  window.__jaunvelCallbackNames = names;
  window.__jaunvelEarlyCalls = queue;
  names.forEach(function (name) {
    window[name] = function (value) {
      queue.push([name, value]);
    };
  });
  // A file dropped anywhere must never replace the deck.
  ['dragover', 'drop'].forEach(function (type) {
    window.addEventListener(type, function (e) {
      e.preventDefault();
    });
  });
})();
