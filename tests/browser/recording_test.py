"""A recording opened from disk in the viewer page, not logged in: every frame drawn, while playing
and after seeking back, shows its own box; without its sidecar the video plays with a note.
Run inside tests/run_in_netns.sh: recording_test.py SIGNAL_BIN [SCREENSHOT]"""

import json
import os
import subprocess
import sys
import types

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from viewer_test import Chain, with_chain  # noqa: E402

TICKS = 90000 // 25  # a frame every 40 ms: whole milliseconds, as WebM keeps times
FIND = "norvaneViewer.recordings().find(r => r.stem === 'flight')"
VIDEO = "document.querySelector('[data-recording=flight] video')"


def make_recording(directory):
    webm, sidecar = (os.path.join(directory, f"flight.{ext}") for ext in ("webm", "jsonl"))
    # Streamable, as the gateway's recorder writes it: no index and no duration to seek by.
    subprocess.run(["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=50", "pattern=ball", "!",
                    "video/x-raw,width=320,height=240,framerate=25/1", "!", "vp8enc", "!",
                    "webmmux", "streamable=true", "!", "filesink", f"location={webm}"], check=True)
    with open(sidecar, "w") as f:
        for k in range(50):  # frame k's box has id k and lies further right the later the frame
            box = {"h": 40, "i": k, "t": k % 6, "w": 40, "x": 10 + 4 * k, "y": 100}
            f.write(json.dumps({"det": [box], "t": k * TICKS}) + ("\n{\"det\":[1],\"t\":1}\n"
                                                                 "not json\n" if k == 20 else "\n"))
    return webm, sidecar


def run(browser, chain):
    chain.start_signal()  # its log-in link goes unused
    browser.navigate(f"http://127.0.0.1:{chain.http_port}/")
    browser.wait_for("window.norvaneViewer && !document.querySelector('#login').hidden", 10, "log-in")
    webm, sidecar = make_recording(chain.dir)
    browser.pick_files("#recording-files", [webm, sidecar])
    played = browser.wait_for(f"(r => r?.framesPainted >= 30 && r)({FIND})", 30, "playback")
    assert (played["lines"], played["skipped"]) == (50, 2), played
    assert all(ids == [tick // TICKS] and tick % TICKS == 0 for tick, ids in played["recent"]), played
    assert browser.evaluate(f"{VIDEO}.currentSrc.startsWith('blob:')")
    # Back to frame 10 while paused: its own box, not one of the frames played last.
    browser.evaluate(f"(v => {{ v.pause(); v.currentTime = 0.4; }})({VIDEO})")
    browser.wait_for(f"{FIND}.recent.at(-1)[0] === {10 * TICKS}", 10, "the frame sought")
    assert browser.evaluate(f"{FIND}.recent.at(-1)")[1] == [10]
    if len(sys.argv) > 2:
        browser.screenshot(sys.argv[2])
    browser.pick_files("#recording-files", [webm])
    browser.wait_for("document.querySelector('.recording:last-child .note').textContent"
                     ".includes('plays without boxes')", 10, "the note")
    assert not browser.exceptions, browser.exceptions


if __name__ == "__main__":
    with_chain(Chain(types.SimpleNamespace(signal=sys.argv[1], https=False)), run)
