'use strict';
// Takes a screenshot of the deck with a generated show loaded: node tools/screenshot.js OUT.png
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createDeckServer } = require('../server.js');
const { writeShowFolder } = require('../test/helpers/wav.js');
const { launchBrowser, openDeck } = require('../test/helpers/browser.js');

(async () => {
  const out = path.resolve(process.argv[2] || 'deck.png');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-show-'));
  const show = path.join(dir, '春季大会 2025');
  writeShowFolder(show);
  const deck = createDeckServer({ port: 0 });
  const { port } = await deck.start();
  const browser = await launchBrowser();
  try {
    const { page, errors } = await openDeck(browser, `http://localhost:${port}/`);
    await page.setViewportSize({ width: 1920, height: 1080 });
    await page.evaluate((p) => window.setThemeFolderFromNative(p), show);
    await page.waitForFunction(() => /準備完了/.test(document.getElementById('preflight').textContent) &&
      !document.querySelector('.pad[data-state="loading"]'));
    await page.fill('#show-name', '春季オープン大会 2025');
    await page.keyboard.press('Enter');
    if (process.argv.includes('--playing')) {
      await page.keyboard.press('PageDown');
      await page.keyboard.press('3');
      await page.keyboard.press('Space');
      await page.waitForFunction(() => document.querySelector('.pad.playing'));
    }
    await page.screenshot({ path: out });
    if (errors.length) console.error(errors.join('\n'));
    console.log(out);
  } finally {
    await browser.close();
    await deck.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
})();
