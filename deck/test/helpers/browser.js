'use strict';
// Headless Debian chromium with the shell's bridge replaced by a recorder.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync',
  // The shell lets the page start audio without a gesture; so must the test browser.
  '--autoplay-policy=no-user-gesture-required',
];

// Each launch gets a new empty profile folder, removed on close.
async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ARGS,
    viewport: { width: 1600, height: 900 },
    locale: 'ja-JP',
  });
  const close = async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { context, close };
}

// Stands in for WebKit's window.webkit.messageHandlers: every post is recorded as
// [channel, value] with the value copied the way the shell receives it.
function recorder() {
  const posted = [];
  window.__posted = posted;
  const channel = (name) => ({
    postMessage(value) {
      posted.push([name, value === undefined ? undefined : JSON.parse(JSON.stringify(value))]);
    },
  });
  window.webkit = {
    messageHandlers: {
      folderPicker: channel('folderPicker'),
      filePicker: channel('filePicker'),
      configSaver: channel('configSaver'),
      configPicker: channel('configPicker'),
    },
  };
}

// Opens the deck in a fresh page; the returned errors array collects page errors.
async function openDeck(context, url, { bridge = true } = {}) {
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (err) => errors.push(err.message));
  page.on('console', (msg) => msg.type() === 'error' && errors.push(msg.text()));
  if (bridge) await page.addInitScript(recorder);
  await page.goto(url);
  await page.waitForFunction(() => window.jaunvelDeck !== undefined);
  return { page, errors };
}

module.exports = { launchBrowser, openDeck, CHROMIUM };
