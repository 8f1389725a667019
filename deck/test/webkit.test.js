'use strict';
// The deck in WebKitGTK, the shell's own engine, under Xvfb. Skipped where WebKitGTK's
// introspection data or Xvfb is not installed.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFile, spawnSync } = require('node:child_process');
const { createDeckServer } = require('../server.js');
const { writeShowFolder } = require('./helpers/wav.js');

const PYTHON = '/usr/bin/python3';
const probe = spawnSync(PYTHON, ['-c', "import gi; gi.require_version('WebKit2', '4.1'); gi.require_version('Gtk', '3.0')"]);
const xvfb = spawnSync('xvfb-run', ['--help']);
const missing = probe.status !== 0 ? 'python3-gi and gir1.2-webkit2-4.1 are not installed' : xvfb.error ? 'xvfb-run is not installed' : false;

// GStreamer looks for no sound card; audio still runs on a fake sink.
const QUIET_AUDIO = 'pulsesink:NONE,jackaudiosink:NONE,oss4sink:NONE,openalsink:NONE,osssink:NONE,alsasink:NONE,pipewiresink:NONE';

test('in WebKitGTK the deck takes an early callback, plays pads and BGM, and posts to the shell', { skip: missing, timeout: 90000 }, async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-webkit-'));
  writeShowFolder(dir);
  const deck = createDeckServer({ port: 0 });
  const { port } = await deck.start();
  try {
    const stdout = await new Promise((resolve, reject) => {
      execFile('xvfb-run', ['-a', '-s', '-screen 0 1920x1080x24', PYTHON, path.join(__dirname, 'helpers', 'webkit_page.py'), `http://localhost:${port}/`, dir],
        { env: { ...process.env, GSETTINGS_BACKEND: 'memory', NO_AT_BRIDGE: '1', GST_PLUGIN_FEATURE_RANK: QUIET_AUDIO }, timeout: 80000 },
        (err, out, stderr) => (err ? reject(new Error(`${err.message}\n${stderr}`)) : resolve(out)));
    });
    const r = JSON.parse(stdout.trim().split('\n').pop());
    assert.equal(r.error, undefined);
    assert.deepEqual(r.errors, []);
    assert.equal(r.deck, 'object');
    assert.equal(r.preflight, '10/10 パッド準備完了 · BGM 3曲 · 欠落 0');
    assert.deepEqual(r.tabs.slice(1), ['SE', 'オープニング']);
    assert.equal(r.padPlaying, 'true');
    assert.equal(r.audio, 'running');
    assert.equal(r.bgmTitle, 'bgm1 待機');
    assert.equal(r.bgmAdvancing, true);
    assert.match(r.message, /JSONとして読めません/);
    assert.deepEqual(r.posted.map(([channel]) => channel), ['configSaver', 'folderPicker']);
    assert.equal(JSON.parse(r.posted[0][1].content).baseFolder, dir);
    assert.equal(r.posted[1][1], 'theme');
  } finally {
    await deck.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
