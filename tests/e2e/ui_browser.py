#!/usr/bin/python3
"""Drives one headless chromium through its DevTools protocol for the page
test (tests/e2e/ui_e2e.sh): opens pages, clicks, takes screenshots, and
writes what the browser holds after each page has loaded, for the shell
test to check.

    ui_browser.py STEPS.json OUTDIR [PROFILE]

PROFILE: chromium's profile folder, kept for a later run (its cookies);
default a fresh one, removed at the end.

STEPS.json is a list of steps, run in order in one tab:
  {"auth": "user:password"}    send these basic credentials with every
                               request from now on (null: none), as a
                               browser does once the user has logged in
  {"open": URL, "name": N}     go to URL and wait until the page has loaded
  {"click": CSS, "name": N}    click the element's centre with the mouse and
                               wait for the page it leads to
  {"follow": CSS, "until_text": [ID, TEXT], "max": K, "name": N}
                               click the element (a link to the next page
                               of a list) until the element with id ID
                               shows TEXT, at most K times
  {"shot": FILE, "width": W, "height": H}
                               a PNG of the current page in a W x H window
A step with "until": TEXT waits for a page whose address holds TEXT (a
page that sends the browser on, such as a form that submits itself).

For each named step, OUTDIR/N.html holds the document after load and
OUTDIR/N.json: {"title", "url", "text" (the visible text), "img_x"
(elements <img src="x">), "on_attributes" (elements with an on...
attribute), "scripts" (each script's src, or "inline:" and its text),
"sections" (id -> visible text of each element with an id), "rows" (id ->
rows with data cells, for each table with an id), "links" (text and
address of every link), "titles" (every title attribute), "follows" (clicks
a follow step made), "documents" (every document request of the step:
method, url, status)}.
A step that fails (no load within the time limit, no such element) leaves
OUTDIR/N.json as {"error": why, "documents": ...}, says why on standard
error, and the next step runs; the exit status is then non-zero.
"""

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket

STEP_SECONDS = 20

SNAPSHOT = r"""(() => ({
  title: document.title,
  url: location.href,
  text: document.body ? document.body.innerText : "",
  img_x: document.querySelectorAll('img[src="x"]').length,
  on_attributes: Array.from(document.querySelectorAll("*")).filter(
      e => Array.from(e.attributes).some(a => a.name.toLowerCase().startsWith("on"))).length,
  scripts: Array.from(document.scripts).map(s => s.src || ("inline:" + s.text)),
  sections: Object.fromEntries(Array.from(document.querySelectorAll("[id]")).map(
      e => [e.id, e.innerText])),
  rows: Object.fromEntries(Array.from(document.querySelectorAll("table[id]")).map(
      e => [e.id, Array.from(e.rows).filter(r => r.querySelector("td")).length])),
  links: Array.from(document.querySelectorAll("a[href]")).map(
      a => ({text: a.innerText.trim(), href: a.href, class: a.className})),
  titles: Array.from(document.querySelectorAll("[title]")).map(e => e.title),
  html: document.documentElement.outerHTML,
}))()"""


class Browser:
    def __init__(self, profile):
        self.profile = profile
        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-extensions", "--disable-background-networking", "--disable-sync",
             "--hide-scrollbars", "--remote-debugging-port=0", "--remote-debugging-address=127.0.0.1",
             "--user-data-dir=" + profile, "--window-size=1280,1600", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(profile, "DevToolsActivePort")
        deadline = time.time() + STEP_SECONDS
        while not (os.path.exists(port_file) and open(port_file).read().count("\n") >= 1):
            if time.time() > deadline or self.process.poll() is not None:
                raise RuntimeError("chromium did not open its DevTools port")
            time.sleep(0.05)
        port = open(port_file).read().split("\n")[0].strip()
        # The page target chromium opened with about:blank.
        deadline = time.time() + STEP_SECONDS
        while True:
            try:
                targets = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port))
                pages = [t for t in targets if t.get("type") == "page"]
                if pages:
                    break
            except OSError:
                pass
            if time.time() > deadline:
                raise RuntimeError("chromium opened no page")
            time.sleep(0.05)
        self.ws = websocket.create_connection(pages[0]["webSocketDebuggerUrl"], suppress_origin=True,
                                              timeout=STEP_SECONDS)
        self.next_id = 0
        self.events = []
        self.call("Page.enable")
        self.call("Network.enable")
        self.call("Runtime.enable")

    def close(self):
        try:
            self.ws.close()
        finally:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def receive(self, deadline):
        self.ws.settimeout(max(0.05, deadline - time.time()))
        return json.loads(self.ws.recv())

    def call(self, method, params=None):
        self.next_id += 1
        mine = self.next_id
        self.ws.send(json.dumps({"id": mine, "method": method, "params": params or {}}))
        deadline = time.time() + STEP_SECONDS
        while True:
            message = self.receive(deadline)
            if message.get("id") == mine:
                if "error" in message:
                    raise RuntimeError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError("script failed: %s" % result["exceptionDetails"].get("text"))
        return result["result"].get("value")

    def wait_for_page(self, until, documents):
        """Reads events until a page whose address holds `until` has loaded;
        records every document request on the way."""
        requests = {}
        loaded_url = None
        deadline = time.time() + STEP_SECONDS
        while True:
            while self.events:
                event = self.events.pop(0)
                name, params = event["method"], event.get("params", {})
                if name == "Network.requestWillBeSent" and params.get("type") == "Document":
                    request = params["request"]
                    if "redirectResponse" in params and params["requestId"] in requests:
                        requests[params["requestId"]]["status"] = params["redirectResponse"]["status"]
                        documents.append(requests[params["requestId"]])
                    requests[params["requestId"]] = {"method": request["method"], "url": request["url"],
                                                     "status": None}
                    loaded_url = None
                elif name == "Network.responseReceived" and params.get("type") == "Document":
                    if params["requestId"] in requests:
                        entry = requests.pop(params["requestId"])
                        entry["status"] = params["response"]["status"]
                        documents.append(entry)
                elif name == "Page.frameNavigated" and not params["frame"].get("parentId"):
                    loaded_url = None
                elif name == "Page.loadEventFired":
                    loaded_url = documents[-1]["url"] if documents else ""
                if loaded_url is not None and until in loaded_url and not requests:
                    return
            if time.time() > deadline:
                raise RuntimeError("no page with '%s' in its address loaded within %d s (documents: %s)"
                                   % (until, STEP_SECONDS, documents))
            try:
                message = self.receive(deadline)
            except websocket.WebSocketTimeoutException:
                continue
            if "method" in message:
                self.events.append(message)


def click(browser, selector, until, documents):
    """Clicks the element SELECTOR names; of a list of selectors, the first
    that matches anything, and of its matches the last (a "next" link comes
    after a "previous" one)."""
    selectors = selector if isinstance(selector, list) else [selector]
    box = browser.evaluate(
        "(() => { let e = null; for (const s of %s) { const all = document.querySelectorAll(s);"
        " if (all.length) { e = all[all.length - 1]; break; } } if (!e) return null;"
        " e.scrollIntoView({block: 'center'}); const r = e.getBoundingClientRect();"
        " return {x: r.left + r.width / 2, y: r.top + r.height / 2}; })()" % json.dumps(selectors))
    if not box:
        raise RuntimeError("no element %s on %s" % (selector, browser.evaluate("location.href")))
    browser.events.clear()
    for kind in ("mousePressed", "mouseReleased"):
        browser.call("Input.dispatchMouseEvent", {"type": kind, "x": box["x"], "y": box["y"],
                                                  "button": "left", "clickCount": 1})
    browser.wait_for_page(until, documents)


def run(steps, outdir, browser):
    """Runs every step; a step that fails leaves {"error": why} as its
    record and the next step goes on. Returns the number of failed steps."""
    failed = 0
    for step in steps:
        documents = []
        try:
            run_step(step, outdir, browser, documents)
        except (RuntimeError, websocket.WebSocketTimeoutException) as e:
            failed += 1
            print("ui_browser: %s: %s" % (step.get("name", step), e), file=sys.stderr)
            if "name" in step:
                with open(os.path.join(outdir, step["name"] + ".json"), "w") as f:
                    json.dump({"error": str(e), "documents": documents}, f, indent=1)
    return failed


def run_step(step, outdir, browser, documents):
    if "auth" in step:
        headers = {}
        if step["auth"]:
            headers["Authorization"] = "Basic " + base64.b64encode(step["auth"].encode()).decode()
        browser.call("Network.setExtraHTTPHeaders", {"headers": headers})
        return
    if "shot" in step:
        browser.call("Emulation.setDeviceMetricsOverride",
                     {"width": step["width"], "height": step["height"], "deviceScaleFactor": 1,
                      "mobile": False})
        png = browser.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(step["shot"], "wb") as f:
            f.write(base64.b64decode(png))
        browser.call("Emulation.clearDeviceMetricsOverride")
        return
    browser.events.clear()
    if "open" in step:
        browser.call("Page.navigate", {"url": step["open"]})
        browser.wait_for_page(step.get("until", ""), documents)
    elif "click" in step:
        click(browser, step["click"], step.get("until", ""), documents)
    elif "follow" in step:
        section, text = step["until_text"]
        shows = "(() => { const e = document.getElementById(%s); return !!e && e.innerText.includes(%s); })()" % (
            json.dumps(section), json.dumps(text))
        follows = 0
        while not browser.evaluate(shows) and follows < step["max"]:
            click(browser, step["follow"], "", documents)
            follows += 1
    else:
        raise RuntimeError("unknown step %s" % step)
    snapshot = browser.evaluate(SNAPSHOT)
    snapshot["documents"] = documents
    if "follow" in step:
        snapshot["follows"] = follows
    html = snapshot.pop("html")
    with open(os.path.join(outdir, step["name"] + ".html"), "w") as f:
        f.write(html)
    with open(os.path.join(outdir, step["name"] + ".json"), "w") as f:
        json.dump(snapshot, f, indent=1)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: ui_browser.py STEPS.json OUTDIR [PROFILE]")
    steps = json.load(open(sys.argv[1]))
    if len(sys.argv) == 4:
        profile, keep = sys.argv[3], True
        os.makedirs(profile, exist_ok=True)
        # chromium writes the port file anew at each start.
        if os.path.exists(os.path.join(profile, "DevToolsActivePort")):
            os.remove(os.path.join(profile, "DevToolsActivePort"))
    else:
        profile, keep = tempfile.mkdtemp(prefix="ui-browser."), False
    browser = None
    try:
        browser = Browser(profile)
        failed = run(steps, sys.argv[2], browser)
    except (RuntimeError, OSError, websocket.WebSocketException) as e:
        sys.exit("ui_browser: %s" % e)
    finally:
        if browser:
            browser.close()
        if not keep:
            shutil.rmtree(profile, ignore_errors=True)
    if failed:
        sys.exit("ui_browser: %d step(s) failed" % failed)


if __name__ == "__main__":
    main()
