'use strict';
// The deck in WebKitGTK, the shell's own engine, under Xvfb; skipped where WebKitGTK's
// introspection data or Xvfb is not installed.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFile, spawnSync } = require('node:child_process');
const { createDeckServer } = require('../server.js');
const { writeShowFolder } = require('./helpers/wav.js');

const gi = spawnSync('/usr/bin/python3', ['-c', "import gi; gi.require_version('WebKit2', '4.1'); gi.require_version('Gtk', '3.0')"]);
const missing = gi.status !== 0 ? 'python3-gi and gir1.2-webkit2-4.1 are not installed' : spawnSync('xvfb-run', ['--help']).error && 'xvfb-run is not installed';

// Run once the page has loaded: the callback may still come before the deck's modules have run.
const SCENARIO = `
const frame = () => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
const text = (id) => document.getElementById(id).textContent;
window.setThemeFolderFromNative(show);
if (document.readyState !== 'complete') await new Promise((r) => addEventListener('load', r, { once: true }));
if (!window.jaunvelDeck) return JSON.stringify({ errors: __errors });
for (let i = 0; i < 600 && !(/BGM 3曲/.test(text('preflight')) && !document.querySelector('.pad[data-state="loading"]')); i++) await frame();
const out = { preflight: text('preflight'), tabs: [...document.querySelectorAll('#tabs .tab')].map((t) => t.textContent) };
document.querySelector('#tabs .tab:nth-child(2)').click();
document.dispatchEvent(new KeyboardEvent('keydown', { key: '1', code: 'Digit1', bubbles: true, cancelable: true }));
await frame();
Object.assign(out, { padPlaying: document.querySelector('#grid .pad').dataset.playing, audio: jaunvelDeck.engine.ctx.state });
document.getElementById('bgm-play').click();
await new Promise((r) => jaunvelDeck.bgm.element.addEventListener('timeupdate', r, { once: true }));
Object.assign(out, { bgmTitle: text('bgm-title'), bgmAdvancing: jaunvelDeck.bgm.element.currentTime > 0 });
document.getElementById('btn-save').click();
document.getElementById('btn-theme').click();
return JSON.stringify({ ...out, errors: __errors });
`;

test('in WebKitGTK the deck takes an early callback, plays pads and BGM, and posts to the shell', { skip: missing, timeout: 90000 }, async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-webkit-'));
  writeShowFolder(dir);
  fs.writeFileSync(path.join(dir, 'scenario.js'), SCENARIO);
  const deck = createDeckServer({ port: 0 });
  const { port } = await deck.start();
  // GStreamer looks for no sound card; audio still runs on a fake sink.
  const quiet = ['pulsesink', 'jackaudiosink', 'oss4sink', 'openalsink', 'osssink', 'alsasink', 'pipewiresink'].map((s) => `${s}:NONE`).join();
  try {
    const stdout = await new Promise((resolve, reject) => execFile('xvfb-run',
      ['-a', '-s', '-screen 0 1920x1080x24', '/usr/bin/python3', path.join(__dirname, 'helpers', 'webkit_page.py'), `http://localhost:${port}/`, dir, path.join(dir, 'scenario.js')],
      { env: { ...process.env, GSETTINGS_BACKEND: 'memory', NO_AT_BRIDGE: '1', GST_PLUGIN_FEATURE_RANK: quiet }, timeout: 80000 },
      (err, out, stderr) => (err ? reject(new Error(`${err.message}\n${stderr}`)) : resolve(out))));
    const { error, steps, posted } = JSON.parse(stdout.trim().split('\n').pop());
    assert.equal(error, undefined);
    assert.deepEqual(steps[0].result, {
      preflight: '10/10 パッド準備完了 · BGM 3曲 · 欠落 0', tabs: [path.basename(dir), 'SE', 'オープニング'], padPlaying: 'true', audio: 'running',
      bgmTitle: 'bgm1 待機', bgmAdvancing: true, errors: [],
    });
    assert.deepEqual(posted.map(([channel, body]) => [channel, channel === 'configSaver' ? JSON.parse(body.content).baseFolder : body]), [['configSaver', dir], ['folderPicker', 'theme']]);
  } finally {
    await deck.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
