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
  // After a reload the BGM plays on before anything else has loaded (resume.js): the audio
  // context and the requests for the track's next seconds start here, as the page begins.
  try {
    var saved = JSON.parse(localStorage.getItem('jaunvel.deck.playing') || 'null');
    var music = saved && Date.now() - saved.at < 60000 && saved.bgm;
    if (music && (music.wav || music.mpeg) && Array.isArray(music.parts)) {
      var Ctx = window.AudioContext || window.webkitAudioContext;
      var url = '/media?path=' + encodeURIComponent(music.path);
      window.__jaunvelResume = {
        path: music.path,
        ranges: music.parts,
        context: new Ctx({ latencyHint: 'interactive' }),
        parts: music.parts.map(function (r) {
          var asked = fetch(url, { headers: { Range: 'bytes=' + r[0] + '-' + r[1] }, cache: 'no-store', priority: 'high' });
          asked.catch(function () {}); // resume.js reads the answer, or the failure
          return asked;
        }),
      };
    }
  } catch (e) {
    // nothing saved, or no audio: resume.js does without
  }
  // A file dropped anywhere must never replace the deck.
  ['dragover', 'drop'].forEach(function (type) {
    window.addEventListener(type, function (e) {
      e.preventDefault();
    });
  });
})();
