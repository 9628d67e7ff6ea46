"""The viewer page in a headless Chromium against the whole chain: the signalling server serves
the page, the gateway offers the video of two sender simulators. Checks that video decodes and
boxes are drawn in two tiles at once, a new offer after a codec change, a refused stream, the
page's reconnection when the signalling server restarts, and the gateway's recordings playing
in the page. Saves a screenshot. With --https the server has a throw-away certificate that only
this Chromium trusts, and the session cookie must be Secure.

Run it inside a loopback-only network namespace (tests/run_in_netns.sh):
  viewer_test.py --signal BIN --gateway BIN --sender BIN [--https] [--screenshot PATH]
"""

import argparse
import base64
import glob
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WEB_ROOT = os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools", "signal", "web")
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ in the source tree

from chromium import Chromium  # noqa: E402

MANET_KEY = "000102030405060708090a0b0c0d0e0f"
STREAM_KEY = "1032547698badcfe0123456789abcdef"
FRONT = "gw1/0000BEEF/1"
REAR = "gw1/0000BEF0/1"


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stream(manet_addr, name):
    return {"gateway": "gw1", "manet_addr": manet_addr, "camera": 1, "key": STREAM_KEY,
            "name": name}


class ProcessChain:
    """What every chain of processes offers its test: configuration files and logs in `dir`,
    the processes started in `processes` (in the network namespace `ns` when given), stopped
    one by one or all in reverse order."""

    tls = {}

    def __init__(self, args, prefix):
        self.args = args
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self.processes = {}
        self.http_port = free_port(socket.SOCK_STREAM)
        self.gateway_port = free_port(socket.SOCK_STREAM)
        self.udp_port = free_port(socket.SOCK_DGRAM)

    def write(self, name, config):
        with open(os.path.join(self.dir, name), "w") as f:
            json.dump(config, f, indent=2)

    def signal_config(self, streams, gateway=None, **more):
        """The server's configuration: gateway gw1, with `gateway`'s entries, and `streams`."""
        return {**more, "http_port": self.http_port, "web_root": WEB_ROOT,
                "state_dir": os.path.join(self.dir, "state"), "streams": streams,
                "gateways": [{"name": "gw1", "listen_port": self.gateway_port,
                              "manet_addr": "0000ABCD", "manet_key": MANET_KEY, **(gateway or {})}]}

    def start(self, name, command, ns=None):
        log = open(os.path.join(self.dir, f"{name}.log"), "a")
        self.processes[name] = subprocess.Popen([*(ns.enter() if ns else []), *command],
                                                stdout=log, stderr=subprocess.STDOUT)

    def start_signal(self, ns=None):
        """Starts the server; returns the one-time log-in link it prints."""
        log = os.path.join(self.dir, "signal.log")
        seen = os.path.getsize(log) if os.path.exists(log) else 0
        self.start("signal", [self.args.signal, "-c", os.path.join(self.dir, "signal.json")], ns)
        deadline = time.monotonic() + 10
        while True:
            if self.processes["signal"].poll() is not None:
                raise RuntimeError("norvane-signal exited")
            with open(log) as f:
                f.seek(seen)
                found = re.search(r"Log in at (\S+)", f.read())
            if found:
                return found.group(1)
            if time.monotonic() > deadline:
                raise RuntimeError("norvane-signal printed no log-in link")
            time.sleep(0.1)

    def start_gateway(self, ns=None, **config):
        self.write("norvane.json", {
            "listen_ip": "127.0.0.1", "listen_port": self.udp_port, "utm_port": self.gateway_port,
            "log_statistics": False, "log_level": 2, "save_dir": os.path.join(self.dir, "flights"),
            "show_local_video": False, "manet_addr": "0000ABCD", "manet_key": MANET_KEY, **config})
        self.start("gateway", [self.args.gateway, "-c", os.path.join(self.dir, "norvane.json")], ns)

    def start_sender(self, manet_addr="0000BEEF", codec="vp8", ns=None):
        self.start(f"sender-{manet_addr}", [
            self.args.sender, "--gateway", f"127.0.0.1:{self.udp_port}", "--manet-addr",
            manet_addr, "--camera", "1", "--key", STREAM_KEY, "--encode", codec,
            "--frames", "100000", "--fps", "30", "--detections", "2"], ns)

    def stop(self, name):
        process = self.processes.pop(name)
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def print_logs(self):
        for name in sorted(os.listdir(self.dir)):
            if name.endswith(".log"):
                with open(os.path.join(self.dir, name)) as f:
                    print(f"---- {name} (tail) ----\n{f.read()[-3000:]}")

    def close(self):
        for name in reversed(list(self.processes)):
            self.stop(name)


class Chain(ProcessChain):
    """The server-side processes on loopback, each with its log in a temporary directory."""

    def __init__(self, args):
        super().__init__(args, "norvane-browser-")
        self.tls = self.make_certificate() if args.https else {}
        self.write("signal.json", self.signal_config(
            [stream("0000BEEF", "Front camera"), stream("0000BEF0", "Rear camera")],
            http_address="127.0.0.1", **self.tls))

    def make_certificate(self):
        """A self-signed certificate for 127.0.0.1; its key's files for the server's config."""
        files = {"tls_cert": os.path.join(self.dir, "cert.pem"),
                 "tls_key": os.path.join(self.dir, "key.pem")}
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                        files["tls_key"], "-out", files["tls_cert"]],
                       check=True, capture_output=True)
        return files

    def spki_pin(self):
        """The certificate's public key as Chromium pins it: base64 of its SHA-256."""
        key = subprocess.run(["openssl", "x509", "-in", self.tls["tls_cert"], "-pubkey",
                              "-noout"], check=True, capture_output=True).stdout
        der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=key,
                             check=True, capture_output=True).stdout
        return base64.b64encode(hashlib.sha256(der).digest()).decode()

    def start_gateway(self):
        super().start_gateway(
            utm_host="127.0.0.1", stun_url="stun.invalid:3478", turn_url="u:p@turn.invalid:3478",
            save_statistics_to_file=False, ice_local_addresses=["127.0.0.1"], record=True)


def tile(browser, stream):
    return next((t for t in browser.tiles() or [] if t["stream"] == stream), None)


def find_tile(stream):
    return f"norvaneViewer.tiles().find(t => t.stream === {json.dumps(stream)})"


def click_stream_button(browser, stream):
    browser.evaluate(
        f"document.querySelector('#streams tr[data-stream=\"{stream}\"] button').click()")


def wait_available(browser, stream, timeout=30):
    browser.wait_for(
        f"[...document.querySelectorAll('#streams tr[data-stream=\"{stream}\"] td')]"
        f".some(td => td.textContent === 'available')", timeout, f"video available on {stream}")


def expect_live_tile(browser, stream, timeout=60):
    """Waits until the tile has decoded 30 more frames, had 30 more messages and drawn boxes."""
    since = tile(browser, stream) or {"framesDecoded": 0, "detectionMessages": 0, "boxesDrawn": 0}
    return browser.wait_for(
        f"(() => {{ const t = {find_tile(stream)};"
        f" return t && t.framesDecoded >= {since['framesDecoded'] + 30}"
        f" && t.detectionMessages >= {since['detectionMessages'] + 30}"
        f" && t.boxesDrawn >= {since['boxesDrawn'] + 20} && t; }})()",
        timeout, f"live video with boxes on {stream}")


def run(browser, chain, screenshot):
    login_link = chain.start_signal()
    chain.start_gateway()
    chain.start_sender("0000BEEF", "vp8")
    chain.start_sender("0000BEF0", "vp9")

    # Like a person given the link: no account made, no form filled in.
    browser.navigate(login_link)
    for stream in (FRONT, REAR):
        wait_available(browser, stream)
    assert browser.evaluate("location.search") == "", "the log-in link stayed in the address bar"
    if chain.tls:
        assert login_link.startswith("https://"), login_link
        cookies = browser.call("Network.getAllCookies")["cookies"]
        assert cookies and all(c["secure"] and c["httpOnly"] and c["sameSite"] == "Strict"
                               for c in cookies), cookies
        # No plain HTTP beside the TLS port.
        with socket.create_connection(("127.0.0.1", chain.http_port), timeout=5) as plain:
            plain.sendall(b"GET /api/me HTTP/1.0\r\n\r\n")
            try:
                assert not plain.recv(16).startswith(b"HTTP/"), "plain HTTP answered"
            except OSError:
                pass
    click_stream_button(browser, FRONT)
    click_stream_button(browser, REAR)
    front, rear = expect_live_tile(browser, FRONT), expect_live_tile(browser, REAR)
    assert (front["codec"], rear["codec"]) == ("VP8", "VP9"), (front, rear)
    # Boxes come only from messages matched to a displayed frame: at most two a frame. Most
    # frames show their own boxes: those of the message whose t is the frame before, one frame
    # interval back (3000 ticks at 30 fps, give or take the sender's clock). On a busy machine a
    # message now and then arrives after its frame is painted, which then shows the boxes of two
    # intervals back; a matching that is off by a frame would have almost none in the window.
    assert front["boxesDrawn"] <= 2 * front["framesPainted"], front
    for stream in (FRONT, REAR):
        # A loaded machine paints fewer frames than it decodes: wait for 30 matches.
        gaps = browser.wait_for(
            f"(() => {{ const g = norvaneViewer.matchGaps({json.dumps(stream)});"
            f" return g.length >= 30 && g; }})()", 30, f"30 matched frames on {stream}")
        own = [g for g in gaps if 2000 <= g <= 4000]
        assert len(own) >= 0.75 * len(gaps), (stream, gaps)
    if screenshot:
        time.sleep(0.5)
        browser.screenshot(screenshot)

    # The front drone restarts with the other codec: the gateway offers again on the open stream.
    chain.stop("sender-0000BEEF")
    chain.start_sender("0000BEEF", "vp9")
    browser.wait_for(f"{find_tile(FRONT)}.offers === 2", 30, "the offer for VP9")
    expect_live_tile(browser, FRONT)
    browser.wait_for(f"{find_tile(FRONT)}.codec === 'VP9'", 10, "VP9 in the stats")

    # A stream the server does not know is refused: no tile stays, the reason shows.
    browser.evaluate("norvaneViewer.open('gw1/00000000/9')")
    browser.wait_for("document.querySelector('#notice').textContent.includes('No stream found')"
                     " && norvaneViewer.tiles().length === 2", 10, "the refusal")

    # The signalling server restarts: the page reconnects by itself, the tile left open comes
    # back once the gateway has reconnected too, and the other stream can be opened again.
    click_stream_button(browser, REAR)
    browser.wait_for("norvaneViewer.tiles().length === 1", 5, "the rear tile to go")
    chain.stop("signal")
    browser.wait_for("!norvaneViewer.connected()", 10, "the page to notice the lost server")
    chain.start_signal()
    browser.wait_for("norvaneViewer.connected()", 30, "the reconnection")
    wait_available(browser, REAR)
    click_stream_button(browser, REAR)
    expect_live_tile(browser, REAR)
    front = expect_live_tile(browser, FRONT)
    assert front["offers"] == 3, front

    click_stream_button(browser, FRONT)
    click_stream_button(browser, REAR)
    browser.wait_for("norvaneViewer.tiles().length === 0", 5, "the tiles to go")

    # What the gateway recorded plays in the page, every frame with its boxes: the first segment
    # of each stream, the front's VP8 one cut when its drone came back with VP9, the rear's VP9
    # one when the stream was announced anew after the server's restart.
    chain.stop("gateway")
    segments = {addr: sorted(glob.glob(os.path.join(chain.dir, "flights", addr, "1", "1", "*.webm")))
                for addr in ("0000BEEF", "0000BEF0")}
    for webm in (segments["0000BEEF"][0], segments["0000BEF0"][0]):
        stem = os.path.basename(webm).removesuffix(".webm")
        browser.pick_files("#recording-files", [webm, f"{webm.removesuffix('.webm')}.jsonl"])
        find = f"norvaneViewer.recordings().find(r => r.stem === {json.dumps(stem)})"
        played = browser.wait_for(f"(r => r?.framesPainted >= 30 && r)({find})", 30, webm)
        assert played["skipped"] == 0 and all(ids == [0, 1] for _, ids in played["recent"]), played
    assert not browser.exceptions, browser.exceptions


def with_chain(chain, body):
    """Calls body(browser, chain) with a fresh Chromium, and stops both afterwards. On a failure
    their logs are printed and the chain's directory is kept for a look."""
    # Trusts the one key rather than ignoring every certificate error.
    browser = Chromium([f"--ignore-certificate-errors-spki-list={chain.spki_pin()}"]
                       if chain.tls else [])
    try:
        body(browser, chain)
    except BaseException:
        chain.print_logs()
        print(f"---- chromium (tail) ----\n{browser.log_text()}")
        print(f"logs and configurations kept in {chain.dir}")
        raise
    finally:
        browser.close()
        chain.close()
    shutil.rmtree(chain.dir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    for name in ("--signal", "--gateway", "--sender"):
        parser.add_argument(name, required=True)
    parser.add_argument("--https", action="store_true")
    parser.add_argument("--screenshot")
    args = parser.parse_args()

    with_chain(Chain(args), lambda browser, chain: run(browser, chain, args.screenshot))


if __name__ == "__main__":
    main()
