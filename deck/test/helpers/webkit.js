'use strict';
// The deck in WebKitGTK, the shell's own engine: step scripts run one after the other in one page
// under Xvfb (see webkit_page.py), skipped where WebKitGTK's introspection data or Xvfb is missing.
const fs = require('node:fs');
const path = require('node:path');
const { execFile, spawnSync } = require('node:child_process');

const gi = spawnSync('/usr/bin/python3', ['-c', "import gi; gi.require_version('WebKit2', '4.1'); gi.require_version('Gtk', '3.0')"]);
const noWebKit = gi.status !== 0 ? 'python3-gi and gir1.2-webkit2-4.1 are not installed' : spawnSync('xvfb-run', ['--help']).error && 'xvfb-run is not installed';

// Runs `steps` (async function bodies with `show` in scope, returning JSON text) on the deck at
// `url`; `dir` takes the step files and the engine's data. Resolves with each step's result, the
// web process's memory after it, and what the page posted to the shell's channels. Past `timeout` - 15 s (Xvfb's start and the
// engine's shutdown take the rest) the error says which step was under way and what it left in
// window.__progress.
async function inWebKit({ url, show, dir, steps, name = 'webkit', timeout = 80000 }) {
  const files = steps.map((body, i) => {
    const file = path.join(dir, `${name}-step-${i}.js`);
    fs.writeFileSync(file, body);
    return file;
  });
  // GStreamer looks for no sound card; audio still runs on a fake sink.
  const quiet = ['pulsesink', 'jackaudiosink', 'oss4sink', 'openalsink', 'osssink', 'alsasink', 'pipewiresink'].map((s) => `${s}:NONE`).join();
  // xvfb-run -a takes the first free display from where it starts looking; two runs starting
  // together from the same number can both take it, so each process starts from its own.
  const stdout = await new Promise((resolve, reject) => execFile('xvfb-run',
    ['-a', '-n', String(100 + (process.pid % 400)), '-s', '-screen 0 1920x1080x24', '/usr/bin/python3', path.join(__dirname, 'webkit_page.py'), url, show, ...files],
    { env: { ...process.env, XDG_DATA_HOME: dir, XDG_CACHE_HOME: dir, GSETTINGS_BACKEND: 'memory', NO_AT_BRIDGE: '1', GST_PLUGIN_FEATURE_RANK: quiet, WEBKIT_PAGE_LIMIT_MS: String(timeout - 15000) }, timeout, maxBuffer: 64 << 20 },
    (err, out, stderr) => (err ? reject(new Error(`${err.message}\n${stderr}`)) : resolve(out))));
  const { error, steps: done, posted } = JSON.parse(stdout.trim().split('\n').pop());
  if (error !== undefined) throw new Error(`in WebKitGTK: ${error}`);
  return { results: done.map((s) => s.result), memory: done.map((s) => s.webProcess), posted };
}

module.exports = { noWebKit, inWebKit };
