// The show's one way to change: commit(change). Each commit runs the change, records the step
// for undo (when the show did change), and tells the deck what to redraw and save.

import { snapshotShow, restoreShow } from './show.js';

export const UNDO_STEPS = 50;
const MERGE_MS = 1500; // a fader dragged for a while is one step

export class Store {
  constructor(show, { onCommit = () => {}, now = () => Date.now() } = {}) {
    this.show = show;
    this.onCommit = onCommit;
    this.now = now;
    this.undoStack = []; // {text, merge, at}
  }

  // change(show) edits the show in place. Options: what (a hint for redrawing: 'grid', 'tabs',
  // 'bgm', 'all', …), undo (false for changes that are not edits, such as the page shown),
  // merge (a name: commits under the same name in quick succession are one undo step).
  commit(change, { what = 'all', undo = true, merge = null } = {}) {
    const before = undo ? snapshotShow(this.show) : null;
    const result = change(this.show);
    if (undo && snapshotShow(this.show) !== before) {
      const last = this.undoStack.at(-1);
      const at = this.now();
      if (merge && last && last.merge === merge && at - last.at < MERGE_MS) last.at = at;
      else this.undoStack.push({ text: before, merge, at });
      if (this.undoStack.length > UNDO_STEPS) this.undoStack.shift();
    }
    this.onCommit(what, this.show);
    return result;
  }

  // Replaces the whole show (a new layout, a settings file): the old one can be undone to.
  replace(next, { undo = true } = {}) {
    if (undo) this.undoStack.push({ text: snapshotShow(this.show), merge: null, at: this.now() });
    if (this.undoStack.length > UNDO_STEPS) this.undoStack.shift();
    this.show = next;
    this.onCommit('show', this.show);
  }

  get canUndo() {
    return this.undoStack.length > 0;
  }

  // Goes back one step; false when there is none.
  undo() {
    const step = this.undoStack.pop();
    if (!step) return false;
    this.show = restoreShow(step.text, this.show);
    this.onCommit('undo', this.show);
    return true;
  }
}
