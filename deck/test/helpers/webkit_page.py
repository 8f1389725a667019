#!/usr/bin/python3
"""Under X (xvfb-run): webkit_page.py URL SHOW_FOLDER STEP.js [STEP.js ...]. Opens the deck in
WebKitGTK with the shell's four channels and autoplay allowed, runs each step (an async function
body with `show` in scope returning JSON text; window.__errors holds the page's errors), and
prints {"steps": [{"result", "webProcess": its memory after the step}], "posted", "error"?}. A
step whose result has "reload": true has the page reloaded (as the shell does) before the next."""
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("WebKit2", "4.1")
from gi.repository import GLib, Gtk, WebKit2  # noqa: E402

URL, SHOW = sys.argv[1], sys.argv[2]
STEPS = [open(name, encoding="utf-8").read() for name in sys.argv[3:]]

# Errors anywhere in the page, including a module that fails to parse.
CATCH_ERRORS = """
window.__errors = [];
addEventListener('error', (e) => __errors.push(String(e.message || e.target && e.target.src)), true);
addEventListener('unhandledrejection', (e) => __errors.push('rejection: ' + (e.reason && e.reason.message || e.reason)));
"""


def web_process_memory():
    """RSS and PSS in KiB, and CPU seconds so far, of our WebKitWebProcess (a child of this process)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{pid}/comm") as f:
                comm = f.read().strip()
            if ppid != os.getpid() or not comm.startswith("WebKitWebProces"):
                continue
            with open(f"/proc/{pid}/smaps_rollup") as f:
                rollup = dict(line.split(":", 1) for line in f if line[0].isupper())
            with open(f"/proc/{pid}/stat") as f:
                ticks = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])  # utime, stime
            return {**{name: int(rollup[name].split()[0]) for name in ("Rss", "Pss")},
                    "cpuSeconds": ticks / os.sysconf("SC_CLK_TCK")}
        except (OSError, ValueError, KeyError, IndexError):
            continue
    return None


def main():
    posted, done, result = [], [], {}
    manager = WebKit2.UserContentManager()
    for name in ["folderPicker", "filePicker", "configSaver", "configPicker"]:
        # connect before registering, as the shell does
        manager.connect(f"script-message-received::{name}",
                        lambda _m, value, n=name: posted.append([n, json.loads(value.get_js_value().to_json(0))]))
        manager.register_script_message_handler(name)
    manager.add_script(WebKit2.UserScript.new(CATCH_ERRORS, WebKit2.UserContentInjectedFrames.TOP_FRAME,
                                              WebKit2.UserScriptInjectionTime.START, None, None))
    policies = WebKit2.WebsitePolicies(autoplay=WebKit2.AutoplayPolicy.ALLOW)
    view = WebKit2.WebView(user_content_manager=manager, website_policies=policies)
    window = Gtk.Window(default_width=1600, default_height=900)
    window.add(view)
    window.show_all()
    args = GLib.Variant("a{sv}", {"show": GLib.Variant("s", SHOW)})

    def finish(value):
        result.update(value)
        Gtk.main_quit()

    def next_step(v):
        if len(done) == len(STEPS):
            return finish({})
        v.call_async_javascript_function(STEPS[len(done)], -1, args, None, None, None, ran)

    def ran(v, res):
        try:
            value = json.loads(v.call_async_javascript_function_finish(res).to_string())
        except GLib.Error as err:
            return finish({"error": err.message})
        done.append({"result": value, "webProcess": web_process_memory()})
        if isinstance(value, dict) and value.get("reload"):
            v.reload()  # the next step runs once the page has loaded again
            return
        next_step(v)

    view.connect("load-changed", lambda v, event: event == WebKit2.LoadEvent.FINISHED and next_step(v))
    view.connect("load-failed", lambda *_: finish({"error": "load failed"}) or True)
    GLib.timeout_add(30000 * max(1, len(STEPS)), lambda: finish({"error": "timed out"}))
    view.load_uri(URL)
    Gtk.main()
    print(json.dumps({**result, "steps": done, "posted": posted}, ensure_ascii=False))


main()
