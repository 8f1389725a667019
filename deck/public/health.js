// Whether the deck's server answers. Checked every few seconds, and at once when a request
// fails; while it is away the checks come more often, so the deck recovers soon after it returns.

const UP_EVERY_MS = 5000;
const DOWN_EVERY_MS = 1000;
const PROBE_LIMIT_MS = 3000;

export class ServerWatch extends EventTarget {
  constructor(probe = () => fetch('/', { method: 'HEAD', cache: 'no-store', signal: AbortSignal.timeout(PROBE_LIMIT_MS) })) {
    super();
    this.probe = probe;
    this.up = true;
    this.timer = 0;
    this.running = null;
  }

  start() {
    this.#next(UP_EVERY_MS);
  }

  // Checks now (once, however many ask meanwhile); resolves to whether the server answers.
  check() {
    this.running ??= (async () => {
      let ok;
      try {
        ok = (await this.probe()).ok;
      } catch {
        ok = false;
      }
      this.running = null;
      if (ok !== this.up) {
        this.up = ok;
        this.dispatchEvent(new Event('change'));
      }
      this.#next(ok ? UP_EVERY_MS : DOWN_EVERY_MS);
      return ok;
    })();
    return this.running;
  }

  #next(ms) {
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.check(), ms);
  }
}
