'use strict';
// Headless Debian chromium with the shell's bridge replaced by a recorder.
const { chromium } = require('playwright-core');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync',
  // The shell lets the page start audio without a gesture; so must the test browser.
  '--autoplay-policy=no-user-gesture-required',
];

// playwright gives every launch a new, empty profile folder of its own and removes it on close.
function launchBrowser() {
  return chromium.launch({ executablePath: CHROMIUM, headless: true, args: ARGS });
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

// Opens the deck in a fresh context (empty storage); errors collects the page's errors.
async function openDeck(browser, url, { bridge = true, beforeLoad } = {}) {
  const context = await browser.newContext({ viewport: { width: 1600, height: 900 }, locale: 'ja-JP' });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (err) => errors.push(err.message));
  page.on('console', (msg) => msg.type() === 'error' && errors.push(msg.text()));
  if (bridge) await page.addInitScript(recorder);
  if (beforeLoad) await beforeLoad(page);
  await page.goto(url);
  await page.waitForFunction(() => window.jaunvelDeck !== undefined);
  return { context, page, errors };
}

module.exports = { launchBrowser, openDeck, CHROMIUM };
