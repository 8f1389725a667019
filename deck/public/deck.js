// What every part of the page shares: the show (through its store), the audio engine, the BGM
// player, the server watch and the messages. The show changes only through edit().

import { Engine, BgmPlayer } from './engine.js';
import { createShow } from './show.js';
import { Store } from './store.js';
import { Messages } from './messages.js';
import { ServerWatch } from './health.js';

export const $ = (id) => document.getElementById(id);

export const engine = new Engine();
export const server = new ServerWatch();
export const bgm = new BgmPlayer(engine, { serverUp: () => server.check() });

// The show as the store last committed it; what a commit redraws is up to the page (onCommit).
export let show = null;
let redraw = () => {};
export const store = new Store(createShow(), {
  onCommit(what, next) {
    show = next;
    redraw(what);
  },
});
show = store.show;
export const onCommit = (fn) => (redraw = fn);

// After a reload the BGM plays again before the show's files and listings load: they wait for
// this (session.js holds them until the music plays, a second at most).
export let loadsAfter = Promise.resolve();
export const holdLoads = (until) => (loadsAfter = until);
export const edit = (change, options) => store.commit(change, options);

export const messages = new Messages($('messages'));
export const notify = (text, kind = 'info', options) => messages.show(text, kind, options);

// Messages whose cause is the server's absence share a key: they go when it answers again.
export const serverKey = (err) => (err && err.status ? null : 'server');

export function folderProblem(err) {
  if (!err.status) server.check();
  if (err.status === 404) return 'フォルダが見つかりません';
  if (err.status === 400) return 'フォルダではありません';
  return 'サーバーに接続できません';
}

// Something sounds: a pad on any page, or the BGM.
export const sounding = () => bgm.playing || [...engine.voices.keys()].some((p) => engine.isPlaying(p));
