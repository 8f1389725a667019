#!/usr/bin/python3
"""Under X (xvfb-run): webkit_page.py URL SHOW_FOLDER STEP.js [STEP.js ...]. Opens the deck in
WebKitGTK with the shell's four channels and autoplay allowed, runs each step (an async function
body with `show` in scope returning JSON text; window.__errors holds the page's errors), and
prints {"steps": [{"result", "webProcess": its memory after the step}], "posted", "error"?}. A
step whose result has "reload": true has the page reloaded (as the shell does) before the next.
Past the time limit (WEBKIT_PAGE_LIMIT_MS, default 60 s) the error says what was under way and
what the page last left in window.__progress (a step may set it as it goes)."""
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
window.__progress = null;
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


# window.__progress: what a step is at, or a function that says it (called then).
PROGRESS = """JSON.stringify({ document: document.readyState, errors: window.__errors,
  progress: typeof window.__progress === 'function' ? window.__progress() : window.__progress })"""


def seen(view, res):
    try:
        return view.evaluate_javascript_finish(res).to_string()
    except GLib.Error as err:
        return f"not readable ({err.message})"


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

    under_way = ["loading the page"]

    def finish(value):
        if not result:
            result.update(value or {"finished": True})
            Gtk.main_quit()

    def next_step(v):
        if len(done) == len(STEPS):
            return finish({})
        under_way[0] = f"step {len(done) + 1} of {len(STEPS)}"
        v.call_async_javascript_function(STEPS[len(done)], -1, args, None, None, None, ran)

    def ran(v, res):
        try:
            value = json.loads(v.call_async_javascript_function_finish(res).to_string())
        except GLib.Error as err:
            return finish({"error": err.message})
        done.append({"result": value, "webProcess": web_process_memory()})
        if isinstance(value, dict) and value.get("reload"):
            under_way[0] = f"reloading after step {len(done)}"
            v.reload()  # the next step runs once the page has loaded again
            return
        next_step(v)

    view.connect("load-changed", lambda v, event: event == WebKit2.LoadEvent.FINISHED and next_step(v))
    view.connect("load-failed", lambda *_: finish({"error": "load failed"}) or True)
    def timed_out():
        said = f"timed out {under_way[0]}"
        view.evaluate_javascript(PROGRESS, -1, None, None, None, lambda v, res: finish({"error": f"{said}; the page: {seen(v, res)}"}))
        GLib.timeout_add(3000, lambda: finish({"error": f"{said}; the page does not answer"}))

    GLib.timeout_add(int(os.environ.get("WEBKIT_PAGE_LIMIT_MS", "60000")), timed_out)
    view.load_uri(URL)
    Gtk.main()
    result.pop("finished", None)
    print(json.dumps({**result, "steps": done, "posted": posted}, ensure_ascii=False))


main()
