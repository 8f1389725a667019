'use strict';
// Loudness levelling and the record of what was played in headless chromium, where only the page
// itself can show that they work; and with countdown timers, in WebKitGTK.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createDeckServer } = require('../server.js');
const { writeTree, sineWav } = require('./helpers/wav.js');
const { launchBrowser, openDeck } = require('./helpers/browser.js');
const { noWebKit, inWebKit } = require('./helpers/webkit.js');

let dir, deck, url, browser;
// Two seconds of silence with a click at 0.9 every tenth of a second.
function clicks() {
  const wav = sineWav({ seconds: 2, rate: 48000, gain: 0 });
  for (let i = 0; i < 20; i++) wav.writeInt16LE(Math.round(0.9 * 32767), 44 + 2 * 4800 * i);
  return wav;
}
before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'deck-features-'));
  // Stereo noise, and a tone with another chunk before its samples: quiet, so anything else read as samples is loud.
  const [noise, tone] = [sineWav({ seconds: 4.3, rate: 44100, channels: 2 }), sineWav({ seconds: 2.6, rate: 48000, freq: 3001, gain: 0.002 })];
  for (let at = 44, x = 1; at < noise.length; at += 2) noise.writeInt16LE(((x = (Math.imul(x, 1103515245) + 12345) >>> 0) >>> 23) - 256, at);
  // 1 kHz tones whose loudness is known: a sine at gain g on one channel is 20·log10(g) − 3.01 LUFS.
  writeTree(dir, {
    'show/loud.wav': { seconds: 20, freq: 1000, gain: 0.5, rate: 48000 }, // −9.03 LUFS, peak −6.02
    'show/quiet.wav': { seconds: 1, freq: 1000, gain: 0.01, rate: 48000 }, // −43.01 LUFS, peak −40
    'show/clicks.wav': clicks(), // quiet, but with peaks near full scale
    'show/fanfare\ttab.wav': { seconds: 3.5, freq: 660, gain: 0.3, rate: 22050 },
    'show/bgm/曲 A.wav': { seconds: 3, freq: 1000, gain: 0.1, rate: 44100 }, // −23.01 LUFS
    'ranges/bgm/noise.wav': noise, 'ranges/bgm/listed.wav': Buffer.concat([tone.subarray(0, 36), Buffer.from('LIST\x04\x00\x00\x00abcd', 'latin1'), tone.subarray(36)]),
  });
  deck = createDeckServer({ port: 0 });
  url = `http://localhost:${(await deck.start()).port}/`;
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await deck?.close();
  fs.rmSync(dir, { recursive: true, force: true });
});

async function openShow() {
  const session = await openDeck(browser, url);
  await session.page.evaluate((d) => window.setThemeFolderFromNative(d), path.join(dir, 'show'));
  await session.page.waitForFunction(() => !document.querySelector('.pad[data-state="loading"]') && jaunvelDeck.show.bgm.tracks.length === 1);
  return session;
}

// The gain a pad's voice plays at, in dB, and whether it sounds.
const padGainDb = (page, name) => page.evaluate((n) => {
  const { engine, show } = jaunvelDeck;
  const pad = show.pages[0].pads.find((p) => p.name === n);
  const v = engine.voices.get(pad);
  return v ? 20 * Math.log10(v.gain.gain.value) : null;
}, name);
const trigger = (page, name) => page.evaluate((n) => jaunvelDeck.engine.trigger(jaunvelDeck.show.pages[0].pads.find((p) => p.name === n)), name);
// Waits for a sounding pad's gain to glide to expected dB (a change is heard within 50 ms).
async function gainBecomes(page, name, expected, what) {
  const ok = await page.waitForFunction(([n, e]) => {
    const pad = jaunvelDeck.show.pages[0].pads.find((p) => p.name === n);
    const v = jaunvelDeck.engine.voices.get(pad);
    return v && Math.abs(20 * Math.log10(v.gain.gain.value) - e) < 0.1;
  }, [name, expected], { timeout: 2000 }).then(() => true, () => false);
  if (!ok) near(await padGainDb(page, name), expected, 0.1, what);
}
const near = (actual, expected, within, what) => assert.ok(Math.abs(actual - expected) <= within, `${what}: ${actual} (expected ${expected} ± ${within})`);

test('levelling: pads and the BGM play at the show\'s targets under −1 dBTP, the pad volume trims on top, the switches turn it off', async () => {
  const { context, page, errors } = await openShow();
  await page.evaluate(() => jaunvelDeck.levellingIdle());
  const trim = 20 * Math.log10(0.9 * 0.9); // the default pad volume, through the fader taper
  await trigger(page, 'loud.wav');
  near(await padGainDb(page, 'loud.wav'), -16 - -9.03 + trim, 0.1, 'a loud pad is turned down to −16 LUFS');
  await trigger(page, 'quiet.wav');
  near(await padGainDb(page, 'quiet.wav'), -16 - -43.01 + trim, 0.1, 'a quiet pad is turned up to −16 LUFS');
  // Quiet clicks would need more than the peak allows: up only until the true peak is at −1 dBTP.
  await page.click('#grid .pad:nth-child(1) .edit');
  const [, lufs, peak, gain] = (await page.textContent('#ed-level-note')).replace(/−/g, '-').match(/^(\S+) LUFS・ピーク (\S+) dBTP → (\S+) dB$/).map(Number);
  assert.ok(peak > -3 && lufs + (-1 - peak) < -16, `${lufs} LUFS, ${peak} dBTP`);
  near(gain, -1 - peak, 0.051, 'the clicks\' gain');
  await page.click('#pad-editor button[value="close"]'); // Esc would stop every pad as well
  await trigger(page, 'clicks.wav');
  near(await padGainDb(page, 'clicks.wav'), -1 - peak + trim, 0.06, 'the clicks as they play');
  // The BGM track is measured too (read from the file only for that) and levelled to −20 LUFS.
  await page.click('#bgm-play');
  await page.waitForFunction(() => jaunvelDeck.bgm.playing && jaunvelDeck.bgm.decks[jaunvelDeck.bgm.active].level.gain.value !== 1);
  near(await page.evaluate(() => 20 * Math.log10(jaunvelDeck.bgm.decks[jaunvelDeck.bgm.active].level.gain.value)), -20 - -23.01, 0.1, 'BGM');

  // The pad's own switch, in its editor: off plays the file as it is.
  await page.click('#grid .pad:nth-child(3) .edit');
  assert.match(await page.textContent('#ed-level-note'), /^−9\.0 LUFS・ピーク −6\.0 dBTP → −7\.0 dB$/);
  await page.uncheck('#ed-level');
  await gainBecomes(page, 'loud.wav', trim, 'a pad switched off, heard at once');
  await page.click('#pad-editor button[value="close"]');
  // The show's switch: off, nothing is levelled.
  await page.click('#btn-loudness');
  assert.match(await page.textContent('#ld-status'), /^測定済み 4\/4$/);
  await page.uncheck('#ld-on');
  await trigger(page, 'quiet.wav');
  near(await padGainDb(page, 'quiet.wav'), trim, 0.1, 'levelling off for the show');
  assert.deepEqual(errors, []);
  await context.close();
});

test('levelling reads a WAV track it does not keep decoded as byte ranges of a second at most, and measures it as its decoded samples', async () => {
  const [{ context, page, errors }, asked] = [await openDeck(browser, url), []]; // asked: the ranges the files' bytes came in
  page.on('request', (r) => r.resourceType() === 'fetch' && /media.*ranges/.test(r.url()) && asked.push(r.headers().range));
  await page.evaluate((d) => window.setThemeFolderFromNative(d), path.join(dir, 'ranges'));
  await page.waitForFunction(() => jaunvelDeck.show.bgm.tracks.length === 2).then(() => page.evaluate(() => jaunvelDeck.levellingIdle()));
  assert.ok(asked.length > 8 && asked.every((r) => r && (([a, b]) => b - a < 176400)(r.match(/\d+/g))), asked.join());
  const figures = await page.evaluate(() => Promise.all([import('/levelling.js'), import('/loudness.js')]).then(([{ measured }, { measure }]) => Promise.all(jaunvelDeck.show.bgm.tracks.map(async ({ path }) => {
    const b = await fetch(`/media?path=${encodeURIComponent(path)}`).then((r) => r.arrayBuffer()).then((data) => new OfflineAudioContext(1, 1, new DataView(data).getUint32(24, true)).decodeAudioData(data));
    return [measured.get(path), measure(Array.from({ length: b.numberOfChannels }, (_, c) => b.getChannelData(c)), b.sampleRate)];
  }))));
  // Chromium's decoder reads a 16-bit sample over zero as n / 32767: up to 0.0003 dB apart.
  for (const [ours, decoded] of figures) for (const [k, within] of [['integrated', 3e-4], ['truePeak', 3e-4], ['samplePeak', 3e-4], ['seconds', 1e-9]]) near(ours[k], decoded[k], within, k);
  assert.deepEqual([errors, page.workers().length], [[], 1]); // measured in the worker, not on the page
  await context.close();
});

test('the record of what was played: pads over 3 s and BGM tracks, copied as text, cleared only on a yes', async () => {
  const { context, page, errors } = await openShow();
  await context.grantPermissions(['clipboard-read', 'clipboard-write']);
  const entries = () => page.evaluate(() => jaunvelDeck.recordEntries().map((e) => [e.kind, e.file, e.folder, e.page, Math.round(e.seconds * 10) / 10]));
  await page.click('#bgm-play');
  await page.waitForFunction(() => jaunvelDeck.bgm.element.currentTime > 1);
  await page.click('#bgm-play'); // pause: the track's entry closes
  await trigger(page, 'quiet.wav'); // 1 s: not recorded
  await trigger(page, 'fanfare\ttab.wav'); // 3.5 s, to its end
  await page.waitForFunction(() => jaunvelDeck.recordEntries().length === 2, null, { timeout: 10000 });
  const recorded = await entries();
  assert.deepEqual(recorded.map((e) => e.slice(0, 4)), [['bgm', '曲 A.wav', 'bgm', 'BGM'], ['pad', 'fanfare\ttab.wav', '.', 'show']]);
  assert.ok(recorded[0][4] >= 1 && recorded[0][4] < 3, `BGM ${recorded[0][4]} s`);
  near(recorded[1][4], 3.5, 0.3, 'the pad, to its end');

  await page.click('#btn-record');
  assert.deepEqual((await page.$$eval('#record-sums tr', (rows) => rows.map((r) => r.cells[0].textContent))), ['曲 A.wav', 'fanfare\ttab.wav']);
  await page.click('#record-copy');
  const copied = await page.evaluate(() => navigator.clipboard.readText());
  assert.match(copied, /^開始\t再生時間\t種類\tファイル名\tフォルダ\tページ\r\n.*\tBGM\t曲 A\.wav\tbgm\tBGM\r\n.*\t0:00:0[34]\tパッド\t"fanfare\ttab\.wav"\t\.\tshow\r\n$/);
  await page.click('#record-clear');
  await page.click('#ask-no');
  assert.equal((await entries()).length, 2);
  await page.click('#record-clear');
  await page.click('#ask-yes');
  await page.waitForFunction(() => jaunvelDeck.recordEntries().length === 0); // answered on the dialog's close event
  assert.deepEqual(errors, []);
  await context.close();
});

// In WebKitGTK, the shell's engine: the meter runs in its module worker, a timer fires its pad,
// a pad played through is recorded, and all of it is still there after a reload.
const WEBKIT_BEFORE = `
const frame = () => new Promise((r) => requestAnimationFrame(r));
while (!window.jaunvelDeck) await frame();
window.setThemeFolderFromNative(show);
while (!jaunvelDeck.show.pages[0].pads[0].path || document.querySelector('.pad[data-state="loading"]')) await frame();
await jaunvelDeck.levellingIdle();
const pad = (n) => jaunvelDeck.show.pages[0].pads.find((p) => p.name === n);
const { engine } = jaunvelDeck;
engine.trigger(pad('loud.wav'));
const gain = 20 * Math.log10(engine.voices.get(pad('loud.wav')).gain.gain.value);
engine.stopPad(pad('loud.wav'));
document.getElementById('btn-timer-add').click();
const length = document.getElementById('tm-length');
length.value = '0:08';
length.dispatchEvent(new Event('change'));
const choose = (id, value) => Object.assign(document.getElementById(id), { value }).dispatchEvent(new Event('change'));
const option = (id, text) => [...document.getElementById(id).options].find((o) => o.text.includes(text)).value;
[['tm-pad', option('tm-pad', 'loud')], ['tm-warn-pad', option('tm-warn-pad', 'quiet')], ['tm-warn', '2']].forEach(([id, value]) => choose(id, value));
document.getElementById('timer-editor').close();
document.querySelector('#timers .go').click();
const endsAt = Date.now() + 8000;
// A pad played through (3.5 s) is recorded once it ends.
engine.trigger(pad('fanfare\\ttab.wav'));
while (engine.voices.size) await new Promise((r) => engine.addEventListener('voices', r, { once: true }));
for (let i = 0; i < 100 && !jaunvelDeck.recordEntries().length; i++) await frame(); // the record follows a moment later
return JSON.stringify({ gain, endsAt, record: jaunvelDeck.recordEntries().map((e) => e.file), errors: __errors, reload: true });
`;
const WEBKIT_AFTER = `
const frame = () => new Promise((r) => requestAnimationFrame(r));
while (!window.jaunvelDeck) await frame();
const playing = (name) => [...jaunvelDeck.engine.voices.keys()].some((p) => p.name === name);
let warnedAt = null;
for (let i = 0; i < 2000 && !playing('loud.wav'); i++) await frame(), (warnedAt ??= playing('quiet.wav') ? Date.now() : null);
return JSON.stringify({ warnedAt, firedAt: playing('loud.wav') ? Date.now() : null, left: document.querySelector('#timers .left')?.textContent,
  done: document.querySelector('#timers .timer').dataset.state, record: jaunvelDeck.recordEntries().map((e) => e.file), errors: __errors });
`;

test('in WebKitGTK: levelling measures in its worker, a timer fires its warning and its pad on time across a reload, the record keeps a pad played through', { skip: noWebKit, timeout: 90000 }, async () => {
  const [before, after] = (await inWebKit({ url, show: path.join(dir, 'show'), dir, steps: [WEBKIT_BEFORE, WEBKIT_AFTER], name: 'features' })).results;
  near(before.gain, -16 - -9.03 + 20 * Math.log10(0.81), 0.1, 'the loud pad, levelled');
  assert.deepEqual([before.record, before.errors], [['fanfare\ttab.wav'], []]);
  assert.ok(after.firedAt !== null && after.warnedAt !== null, 'the timer fired its pads after the reload');
  near(after.warnedAt, before.endsAt - 2000, 500, 'the warning pad, 2 s before zero');
  near(after.firedAt, before.endsAt, 500, 'the timer\'s pad, on time');
  assert.deepEqual([after.left, after.done, after.record, after.errors], ['0:00', 'done', ['fanfare\ttab.wav'], []]);
});
