#!/usr/bin/python3
"""Opens the deck in WebKitGTK (the shell's engine) with the four channels registered as the
shell registers them and autoplay allowed, runs a short scenario in the page and prints its
outcome as JSON. Usage, under X (xvfb-run): webkit_page.py URL SHOW_FOLDER [STEP.js ...]

With step files, each is run in turn instead of the scenario (an async function body with
`show` in scope, returning a JSON text), and after each one the web process's memory is read:
{"steps": [{"result", "webProcess"}], "posted"}."""
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("WebKit2", "4.1")
from gi.repository import GLib, Gtk, WebKit2  # noqa: E402

URL, SHOW, STEPS = sys.argv[1], sys.argv[2], sys.argv[3:]
CHANNELS = ["folderPicker", "filePicker", "configSaver", "configPicker"]

# Errors anywhere in the page, including a module that fails to parse.
CATCH_ERRORS = """
window.__errors = [];
addEventListener('error', (e) => __errors.push(String(e.message || e.target && e.target.src)), true);
addEventListener('unhandledrejection', (e) => __errors.push('rejection: ' + (e.reason && e.reason.message || e.reason)));
"""

SCENARIO = """
const frame = () => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
const until = async (test) => {
  for (let i = 0; i < 600 && !test(); i++) await frame();
  return test();
};
// The shell may answer before the deck's modules have run: the call must wait for them.
window.setThemeFolderFromNative(show);
if (document.readyState !== 'complete') await new Promise((r) => addEventListener('load', r, { once: true }));
const out = { deck: typeof window.jaunvelDeck };
if (!window.jaunvelDeck) return JSON.stringify({ ...out, errors: __errors });
await until(() => /BGM 3曲/.test(document.getElementById('preflight').textContent) && !document.querySelector('.pad[data-state="loading"]'));
out.preflight = document.getElementById('preflight').textContent;
out.tabs = [...document.querySelectorAll('#tabs .tab')].map((t) => t.textContent);
document.querySelector('#tabs .tab:nth-child(2)').click();
document.dispatchEvent(new KeyboardEvent('keydown', { key: '1', code: 'Digit1', bubbles: true, cancelable: true }));
await frame();
out.padPlaying = document.querySelector('#grid .pad:nth-child(1)').dataset.playing;
out.audio = jaunvelDeck.engine.ctx.state;
document.getElementById('bgm-play').click();
const bgm = jaunvelDeck.bgm.element;
await new Promise((r) => bgm.addEventListener('timeupdate', r, { once: true }));
out.bgmTitle = document.getElementById('bgm-title').textContent;
out.bgmAdvancing = bgm.currentTime > 0;
document.getElementById('btn-save').click();
document.getElementById('btn-theme').click();
window.importSamplerConfigFromNative({ path: '/x/a.json', name: 'a.json', content: 'not json' });
out.message = document.querySelector('#messages .message:last-child span').textContent;
out.errors = __errors;
return JSON.stringify(out);
"""


def web_process_memory():
    """RSS and PSS in KiB of our WebKitWebProcess (a child of this process)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/comm") as f:
                comm = f.read().strip()
            if int(fields[1]) != os.getpid() or not comm.startswith("WebKitWebProces"):
                continue
            with open(f"/proc/{pid}/smaps_rollup") as f:
                rollup = dict(line.split(":", 1) for line in f if line[0].isupper())
            return {name: int(rollup[name].split()[0]) for name in ("Rss", "Pss")}
        except (OSError, ValueError, KeyError, IndexError):
            continue
    return None


def main():
    posted = []
    result = {}
    manager = WebKit2.UserContentManager()
    for name in CHANNELS:
        # connect before registering, as the shell does
        manager.connect(f"script-message-received::{name}",
                        lambda _m, result, n=name: posted.append([n, json.loads(result.get_js_value().to_json(0))]))
        manager.register_script_message_handler(name)
    manager.add_script(WebKit2.UserScript.new(
        CATCH_ERRORS, WebKit2.UserContentInjectedFrames.TOP_FRAME,
        WebKit2.UserScriptInjectionTime.START, None, None))
    policies = WebKit2.WebsitePolicies(autoplay=WebKit2.AutoplayPolicy.ALLOW)
    view = WebKit2.WebView(user_content_manager=manager, website_policies=policies)
    window = Gtk.Window(default_width=1600, default_height=900)
    window.add(view)
    window.show_all()

    def finish(value):
        result.update(value)
        Gtk.main_quit()

    args = GLib.Variant("a{sv}", {"show": GLib.Variant("s", SHOW)})
    steps = [open(name, encoding="utf-8").read() for name in STEPS]
    done = []

    def ran(v, res):
        try:
            value = json.loads(v.call_async_javascript_function_finish(res).to_string())
        except GLib.Error as err:
            return finish({"error": err.message, "steps": done})
        if not steps:
            return finish(value)
        next_step(v, value)

    def next_step(v, value=None):
        if value is not None:
            done.append({"result": value, "webProcess": web_process_memory()})
        if len(done) == len(steps):
            return finish({"steps": done})
        v.call_async_javascript_function(steps[len(done)], -1, args, None, None, None, ran)

    def changed(v, event):
        if event == WebKit2.LoadEvent.FINISHED:
            if steps:
                next_step(v)
            else:
                v.call_async_javascript_function(SCENARIO, -1, args, None, None, None, ran)

    view.connect("load-changed", changed)
    view.connect("load-failed", lambda *_: finish({"error": "load failed"}) or True)
    GLib.timeout_add(30000 * max(1, len(STEPS)), lambda: finish({"error": "timed out", "steps": done}))
    view.load_uri(URL)
    Gtk.main()
    result["posted"] = posted
    print(json.dumps(result, ensure_ascii=False))


main()
