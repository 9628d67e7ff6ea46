"""Starts a headless Chromium of its own and drives one page through the DevTools protocol."""

import base64
import itertools
import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.request

import websocket  # Debian's python3-websocket

CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-quic", "--allow-loopback-in-peer-connection",
    # Tiles must keep painting frames although nobody looks at the headless window.
    "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
    "--autoplay-policy=no-user-gesture-required", "--window-size=1280,900",
    "--remote-debugging-port=0",
]


class Chromium:
    def __init__(self, extra_flags=()):
        self.profile = tempfile.mkdtemp(prefix="norvane-chromium-")
        self.log = open(os.path.join(self.profile, "chromium.log"), "w")
        self.process = subprocess.Popen(
            [CHROMIUM, *FLAGS, *extra_flags, f"--user-data-dir={self.profile}", "about:blank"],
            stdout=self.log, stderr=subprocess.STDOUT)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + 30
        while not (os.path.exists(port_file) and open(port_file).read().count("\n") >= 1):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("chromium did not start: " + self.log_text())
            time.sleep(0.1)
        port = int(open(port_file).read().split()[0])
        pages = []
        while not pages:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list") as r:
                pages = [t for t in json.load(r) if t["type"] == "page"]
            time.sleep(0.1)
        self.ws = websocket.create_connection(pages[0]["webSocketDebuggerUrl"], timeout=60,
                                              suppress_origin=True)
        self.ids = itertools.count(1)
        self.console = []
        self.exceptions = []  # uncaught in the page
        # Without camera permission a page gathers candidates only on the default route's
        # interface, and a loopback-only namespace has no default route: the peer connection
        # would never get a candidate. Granting it lets the loopback candidates through.
        self.call("Browser.grantPermissions", permissions=["videoCapture", "audioCapture"])
        self.call("Runtime.enable")
        self.call("Page.enable")

    def log_text(self):
        self.log.flush()
        with open(os.path.join(self.profile, "chromium.log")) as f:
            return f.read()[-4000:]

    def call(self, method, **params):
        ident = next(self.ids)
        self.ws.send(json.dumps({"id": ident, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == ident:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]
            if message.get("method") == "Runtime.consoleAPICalled":
                args = message["params"]["args"]
                self.console.append(" ".join(str(a.get("value", a.get("description", ""))) for a in args))
            elif message.get("method") == "Runtime.exceptionThrown":
                details = message["params"]["exceptionDetails"]
                text = details.get("exception", {}).get("description", details["text"])
                self.console.append(text)
                self.exceptions.append(text)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def navigate(self, url):
        self.call("Page.navigate", url=url)

    def wait_for(self, expression, timeout, what):
        """Polls a JS expression until it is truthy; returns its value."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = self.evaluate(expression)
            except RuntimeError:
                value = None
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for {what}; tiles: "
                                     f"{self.tiles()}; console: {self.console[-10:]}")
            time.sleep(0.2)

    def pick_files(self, selector, paths):
        """What a person does in the file picker of the input at `selector`."""
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        node = self.call("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        self.call("DOM.setFileInputFiles", nodeId=node, files=paths)

    def tiles(self):
        try:
            return self.evaluate("window.norvaneViewer ? norvaneViewer.tiles() : null")
        except RuntimeError:
            return None

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.ws.close()
        except Exception:
            pass
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)
