"""Measures how a browser viewer fares behind a lossy, slow link: a loss relay stands between the
session child and headless Chromium, and every media, RTCP and ICE packet of the viewer crosses
it. For each loss rate (each way) and round trip it reports the frames decoded as share of the
frames sent, the browser's freezes (over the whole cell from the first frame, and over its first
seconds, before the page has seen any loss), the average playout delay, its NACKs and the
retransmissions it got, and the session child's memory and CPU. Prints a table, not a verdict.

The page's own playout adaptation (tools/signal/web/playout.js) sets the receiver's jitter
buffer target as it would for any viewer; --jitter-target-ms pins it instead, for comparison.

The browser is handed the child's UDP candidate rewritten to the relay's address and keeps its
own candidates to itself, so the child learns the browser's address only from the checks the
relay forwards.

Run it inside a loopback-only network namespace (tests/run_in_netns.sh):
  viewer_loss_measure.py --signal BIN --gateway BIN --sender BIN --lossrelay BIN
      [--loss 0,2,5] [--rtt 50,100,200] [--seconds 20] [--jitter-target-ms N]
"""

import argparse
import os
import re
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "browser"))
sys.path.insert(0, HERE)

from browser_measure import TICK, memory_kb, pre_encode, ticks  # noqa: E402
from viewer_test import FRONT, STREAM_KEY, click_stream_button, wait_available, with_chain  # noqa: E402

FPS = 30
PROBE = """(() => {
  const Native = window.RTCPeerConnection, pcs = window.lossPcs = [];
  window.childPorts = []; window.relayPort = null;
  // window.pinnedTarget (set per cell): undefined lets the page choose the jitter buffer
  // target, a number or null holds it there whatever the page asks for.
  const target = Object.getOwnPropertyDescriptor(RTCRtpReceiver.prototype, 'jitterBufferTarget');
  Object.defineProperty(RTCRtpReceiver.prototype, 'jitterBufferTarget', {
    configurable: true, get() { return target.get.call(this); },
    set(v) {
      if (window.pinnedTarget !== undefined) return;
      if (v !== null && window.firstTargetAt === undefined) window.firstTargetAt = performance.now();
      target.set.call(this, v);
    } });
  window.RTCPeerConnection = class extends Native {
    constructor(...args) {
      super(...args); pcs.push(this);
      this.addEventListener('track', (e) => {
        if (window.pinnedTarget !== undefined) target.set.call(e.receiver, window.pinnedTarget);
      });
    }
    set onicecandidate(handler) {
      super.onicecandidate = (e) => { if (!e.candidate || !e.candidate.candidate) handler(e); };
    }
    get onicecandidate() { return super.onicecandidate; }
    async addIceCandidate(init) {
      const text = init?.candidate ?? '';
      const m = / udp \\d+ 127\\.0\\.0\\.1 (\\d+) typ host/i.exec(text);
      if (!m || window.childPorts.length > 0) return;  // would bypass the relay
      window.childPorts.push(Number(m[1]));
      while (window.relayPort === null) await new Promise((r) => setTimeout(r, 20));
      return super.addIceCandidate({ ...init,
        candidate: text.replace(` 127.0.0.1 ${m[1]} `, ` 127.0.0.1 ${window.relayPort} `) });
    }
  };
  window.lossStats = async () => {
    const pc = pcs[pcs.length - 1];
    let out = null;
    if (pc) (await pc.getStats()).forEach((s) => {
      if (s.type === 'inbound-rtp' && s.kind === 'video') out = {
        decoded: s.framesDecoded ?? 0, freezes: s.freezeCount ?? 0,
        frozen: s.totalFreezesDuration ?? 0, nacks: s.nackCount ?? 0, plis: s.pliCount ?? 0,
        rtx: s.retransmittedPacketsReceived ?? 0, lost: s.packetsLost ?? 0,
        packets: s.packetsReceived ?? 0,
        jbDelay: s.jitterBufferDelay ?? 0, jbCount: s.jitterBufferEmittedCount ?? 0 };
    });
    const receiver = pc?.getReceivers().find((r) => r.track?.kind === 'video');
    if (out) out.target = receiver?.jitterBufferTarget ?? null;
    if (out) out.at = performance.now();
    return out;
  };
})();"""


class Relay:
    def __init__(self, binary, child_port, loss, rtt_ms, log_path):
        self.log = open(log_path, "w")
        self.process = subprocess.Popen(
            [binary, "--listen", "127.0.0.1:0", "--gateway", f"127.0.0.1:{child_port}",
             "--loss-up", str(loss / 100), "--loss-down", str(loss / 100),
             "--delay-ms", str(rtt_ms / 2), "--seed", "7"],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        found = re.search(r"relaying 127\.0\.0\.1:(\d+)", line)
        if not found:
            raise RuntimeError(f"relay did not start: {line!r}")
        self.port = int(found.group(1))

    def close(self):
        self.process.terminate()
        counters = self.process.communicate(timeout=10)[0]
        self.log.write(counters)
        self.log.close()
        return counters


def session_pid(chain, before):
    with open(os.path.join(chain.dir, "gateway.log")) as f:
        pids = [int(p) for p in re.findall(r"Spawned session with pid (\d+)", f.read())]
    return pids[-1] if len(pids) > before else None


def spawned(chain):
    with open(os.path.join(chain.dir, "gateway.log")) as f:
        return len(re.findall(r"Spawned session with pid", f.read()))


def cell(args, browser, chain, loss, rtt):
    before = spawned(chain)
    browser.navigate(f"http://127.0.0.1:{chain.http_port}/")
    wait_available(browser, FRONT)
    pinned = {None: "undefined", 0: "null", -1: rtt + 100}.get(args.jitter_target_ms,
                                                            args.jitter_target_ms)
    browser.evaluate(f"window.pinnedTarget = {pinned}; window.firstTargetAt = undefined")
    click_stream_button(browser, FRONT)
    port = browser.wait_for("window.childPorts[0]", 20, "the child's candidate")
    relay = Relay(args.lossrelay, port, loss, rtt, os.path.join(chain.dir, f"relay-{loss}-{rtt}.log"))
    try:
        browser.evaluate(f"window.relayPort = {relay.port}")
        # From the first frame on: the freezes before the page has seen a loss count too.
        s0 = browser.wait_for("lossStats().then((s) => s && s.decoded > 0 && s)", 30,
                              "the first frame")
        answer = browser.evaluate("lossPcs.at(-1).localDescription.sdp")
        pid = session_pid(chain, before)
        c0, t0 = ticks(pid), time.monotonic()
        time.sleep(args.early)
        early = browser.evaluate("lossStats()")
        time.sleep(max(0.0, args.seconds - (time.monotonic() - t0)))
        s1, c1, t1 = browser.evaluate("lossStats()"), ticks(pid), time.monotonic()
        first_target = browser.evaluate("window.firstTargetAt ?? null")
        rss = memory_kb(pid, "VmRSS")
        anon = memory_kb(pid, "RssAnon")
        pss = memory_kb(pid, "Pss", "smaps_rollup")
    finally:
        counters = relay.close()
    click_stream_button(browser, FRONT)
    browser.wait_for("norvaneViewer.tiles().length === 0", 5, "the tile to go")
    deadline = time.monotonic() + 10
    while session_alive(pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    dt = t1 - t0
    d = {k: s1[k] - s0[k] for k in s0 if k != "target"}
    return {"loss": loss, "rtt": rtt, "decoded": 100 * d["decoded"] / (FPS * dt),
            "freezes": d["freezes"], "frozen": 100 * d["frozen"] / dt, "nacks": d["nacks"],
            "plis": d["plis"], "rtx": d["rtx"], "lost": d["lost"], "packets": d["packets"],
            "jb_ms": 1000 * d["jbDelay"] / max(d["jbCount"], 1),
            "early_ms": 1000 * (early["frozen"] - s0["frozen"]),
            "target": s1["target"],
            "target_after": None if first_target is None else (first_target - s0["at"]) / 1000,
            "cpu": 100 * ((c1 or 0) - (c0 or 0)) / TICK / dt, "rss": rss / 1024,
            "anon": anon / 1024, "pss": pss / 1024,
            "relay": counters.strip().splitlines()[0] if counters.strip() else "",
            "answer": answer_keeps(answer)}


def target_text(ms):
    return {None: "as the page adapts it", 0: "the browser's own",
            -1: "pinned to RTT + 100 ms"}.get(ms, f"pinned to {ms} ms")


def answer_keeps(sdp):
    """Whether the browser's answer kept generic NACK and an RTX payload for the video."""
    nack = re.search(r"a=rtcp-fb:(\d+) nack\r\n", sdp)
    rtx = nack and re.search(rf"a=fmtp:\d+ apt={nack.group(1)}\r\n", sdp)
    return f"nack {'yes' if nack else 'no'}, rtx {'yes' if rtx else 'no'}"


def session_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, TypeError):
        return False


def measure(args, browser, chain):
    ivf = os.path.join(chain.dir, "stream.ivf")
    pre_encode(args, ivf)
    browser.call("Page.addScriptToEvaluateOnNewDocument", source=PROBE)
    chain.start_signal()
    chain.start_gateway()
    chain.start("sender", [args.sender, "--gateway", f"127.0.0.1:{chain.udp_port}",
                           "--manet-addr", "0000BEEF", "--camera", "1", "--key", STREAM_KEY,
                           "--ivf", ivf, "--loop", "--fps", str(FPS), "--detections", "2"])
    rows = []
    print(f"VP8 640x480 {FPS} fps 2 Mbit/s, keyframe every {args.keyframe_interval} frames,"
          f" {args.seconds:.0f} s per cell; loss is each way, RTT the relay's delay both ways;"
          f" jitter buffer target {target_text(args.jitter_target_ms)}")
    print(" loss  RTT  decoded  freezes  frozen  first    NACKs  PLIs  RTX pkts  lost/recv pkts"
          "  jb ms  target  child CPU  child RSS (anon, PSS)")
    for loss in args.loss:
        for rtt in args.rtt:
            r = cell(args, browser, chain, loss, rtt)
            rows.append(r)
            print(f" {loss:3}% {rtt:4} {r['decoded']:7.1f}% {r['freezes']:8} {r['frozen']:6.2f}%"
                  f" {r['early_ms']:4.0f}ms {r['nacks']:8} {r['plis']:5} {r['rtx']:9}"
                  f" {r['lost']:7}/{r['packets']:<7} {r['jb_ms']:6.0f} {str(r['target']):>7}"
                  f" {r['cpu']:9.1f}% {r['rss']:7.1f} MB ({r['anon']:.1f}, {r['pss']:.1f})",
                  flush=True)
            # Negative: the page saw losses while the browser still waited for a keyframe.
            after = ("never" if r["target_after"] is None
                     else f"{r['target_after']:.1f} s after the first frame")
            print(f"        answer keeps {r['answer']}; first target set {after};"
                  f" relay: {r['relay']}", flush=True)
    return rows


def main():
    parser = argparse.ArgumentParser()
    for name in ("--signal", "--gateway", "--sender", "--lossrelay"):
        parser.add_argument(name, required=True)
    parser.add_argument("--loss", type=lambda t: [int(v) for v in t.split(",")], default=[0, 2, 5])
    parser.add_argument("--rtt", type=lambda t: [int(v) for v in t.split(",")],
                        default=[50, 100, 200])
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--early", type=float, default=3,
                        help="seconds from the first frame whose frozen time is shown apart")
    parser.add_argument("--keyframe-interval", type=int, default=300)
    parser.add_argument("--jitter-target-ms", type=int, default=None,
                        help="pins the receiver's jitterBufferTarget, whatever the page asks:"
                        " 0 the browser's own choice, -1 the round trip plus 100 ms; absent:"
                        " the page adapts it")
    args = parser.parse_args()
    with_chain(args, lambda browser, chain: measure(args, browser, chain))


if __name__ == "__main__":
    main()
