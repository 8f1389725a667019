'use strict';
// Headless Debian chromium with the shell's bridge replaced by a recorder.
const { chromium } = require('playwright-core');

// playwright gives every launch a new, empty profile of its own and removes it on close. The
// shell lets the page start audio without a gesture; so must the test browser.
const launchBrowser = () => chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
});

// Stands in for WebKit's window.webkit.messageHandlers: each post lands in window.__posted as
// [channel, value], the value copied the way the shell receives it.
function recorder() {
  const posted = (window.__posted = []);
  const channel = (name) => ({ postMessage: (v) => posted.push([name, v === undefined ? v : JSON.parse(JSON.stringify(v))]) });
  window.webkit = { messageHandlers: Object.fromEntries(['folderPicker', 'filePicker', 'configSaver', 'configPicker'].map((n) => [n, channel(n)])) };
}

// Opens the deck in a fresh context (empty storage); errors collects the page's errors.
async function openDeck(browser, url, { bridge = true } = {}) {
  const context = await browser.newContext({ viewport: { width: 1600, height: 900 }, locale: 'ja-JP' });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (err) => errors.push(err.message));
  page.on('console', (msg) => msg.type() === 'error' && errors.push(msg.text()));
  if (bridge) await page.addInitScript(recorder);
  await page.goto(url);
  await page.waitForFunction(() => window.jaunvelDeck !== undefined);
  return { context, page, errors };
}

module.exports = { launchBrowser, openDeck };
