"""A recording opened from disk in the viewer page in a headless Chromium, not logged in: a VP8
WebM made here and a sidecar whose box differs per frame are set on the page's file picker.
Every frame drawn, while playing and after seeking back, shows its own box; without the sidecar
the video plays with a note. Saves a screenshot.

Run it inside a loopback-only network namespace (tests/run_in_netns.sh):
  recording_test.py --signal BIN [--screenshot PATH]
"""

import argparse
import json
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from viewer_test import with_chain  # noqa: E402

FRAMES = 50
TICKS = 90000 // 25  # a frame every 40 ms: whole milliseconds, as WebM keeps times
FIND = "norvaneViewer.recordings().find(r => r.stem === 'flight')"
VIDEO = "document.querySelector('[data-recording=flight] video')"


def make_recording(directory):
    webm, sidecar = (os.path.join(directory, f"flight.{ext}") for ext in ("webm", "jsonl"))
    subprocess.run(["gst-launch-1.0", "-q", "videotestsrc", f"num-buffers={FRAMES}",
                    "pattern=ball", "!", "video/x-raw,width=320,height=240,framerate=25/1", "!",
                    "vp8enc", "deadline=1", "!", "webmmux", "!", "filesink",
                    f"location={webm}"],
                   check=True)
    with open(sidecar, "w") as f:
        for k in range(FRAMES):
            # Frame k's box has id k and lies further right the later the frame.
            box = {"h": 40, "i": k, "t": k % 6, "w": 40, "x": 10 + 4 * k, "y": 100}
            f.write(json.dumps({"det": [box], "t": k * TICKS}) + "\n")
            if k == 20:
                f.write('{"det":[{"x":"hostile"}],"t":1}\nnot json\n')
    return webm, sidecar


def pick(browser, paths):
    root = browser.call("DOM.getDocument")["root"]["nodeId"]
    node = browser.call("DOM.querySelector", nodeId=root, selector="#recording-files")["nodeId"]
    browser.call("DOM.setFileInputFiles", nodeId=node, files=paths)


def run(browser, chain, screenshot):
    chain.start_signal()  # its log-in link goes unused
    browser.navigate(f"http://127.0.0.1:{chain.http_port}/")
    browser.wait_for("window.norvaneViewer && !document.querySelector('#login').hidden", 10,
                     "the log-in form")
    webm, sidecar = make_recording(chain.dir)
    pick(browser, [webm, sidecar])
    played = browser.wait_for(f"(r => r?.framesPainted >= 30 && r)({FIND})", 30, "playback")
    assert (played["lines"], played["skipped"]) == (FRAMES, 2), played
    assert all(ids == [tick // TICKS] and tick % TICKS == 0 for tick, ids in played["recent"]), played
    assert browser.evaluate(f"{VIDEO}.currentSrc.startsWith('blob:')")

    # Back to frame 10 while paused: its own box, not one of the frames played last.
    browser.evaluate(f"(v => {{ v.pause(); v.currentTime = 0.4; }})({VIDEO})")
    browser.wait_for(f"{FIND}.recent.at(-1)[0] === {10 * TICKS}", 10, "the frame sought")
    assert browser.evaluate(f"{FIND}.recent.at(-1)")[1] == [10]
    if screenshot:
        browser.screenshot(screenshot)

    pick(browser, [webm])
    browser.wait_for("[...document.querySelectorAll('.recording .note')]"
                     ".some(n => n.textContent.includes('plays without boxes'))", 10, "the note")
    assert not browser.exceptions, browser.exceptions


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--signal", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    args.https = False
    with_chain(args, lambda browser, chain: run(browser, chain, args.screenshot))


if __name__ == "__main__":
    main()
