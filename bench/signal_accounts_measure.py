"""Measures what accounts cost the signalling server: the time of one password log-in (the
scrypt hash dominates), and the server's memory with many idle logged-in WebSocket viewers.
Prints figures, not a verdict.

  signal_accounts_measure.py --signal BIN [--logins 10] [--viewers 1000]
"""

import argparse
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import tempfile
import time
import urllib.request

import websocket  # python3-websocket


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def login(port, user, password):
    request = urllib.request.Request(
        f"http://127.0.0.1:{port}/api/login", method="POST",
        data=json.dumps({"user": user, "password": password}).encode(),
        headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request) as reply:
        return re.search(r"norvane_session=([0-9a-f]+)", reply.headers["Set-Cookie"]).group(1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--signal", required=True)
    parser.add_argument("--logins", type=int, default=10)
    parser.add_argument("--viewers", type=int, default=1000)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="norvane-accounts-measure-")
    port = free_port()
    config = os.path.join(work, "signal.json")
    with open(config, "w") as f:
        json.dump({"http_address": "127.0.0.1", "http_port": port, "web_root": work,
                   "state_dir": os.path.join(work, "state"),
                   "gateways": [{"name": "gw1", "listen_port": free_port(),
                                 "manet_addr": "0A0B0C0D",
                                 "manet_key": "000102030405060708090a0b0c0d0e0f"}],
                   "streams": [{"gateway": "gw1", "manet_addr": "0000BEEF", "camera": 1,
                                "key": "1032547698badcfe0123456789abcdef"}]}, f)
    subprocess.run([args.signal, "-c", config, "user", "add", "bench", "--grant", "gw1/*"],
                   input="bench-password\n", text=True, check=True, capture_output=True)
    server = subprocess.Popen([args.signal, "-c", config], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    sockets = []
    try:
        while "norvane-signal ready" not in server.stdout.readline():
            pass
        times = []
        for _ in range(args.logins):
            start = time.monotonic()
            cookie = login(port, "bench", "bench-password")
            times.append(time.monotonic() - start)
        print(f"log-in: median {statistics.median(times) * 1000:.0f} ms,"
              f" max {max(times) * 1000:.0f} ms over {args.logins}")

        before = rss_kib(server.pid)
        for _ in range(args.viewers):
            ws = websocket.create_connection(f"ws://127.0.0.1:{port}/ws",
                                             cookie=f"norvane_session={cookie}")
            ws.recv()  # the stream list: the viewer is registered
            sockets.append(ws)
        time.sleep(1)
        after = rss_kib(server.pid)
        print(f"server RSS: {before} KiB idle, {after} KiB with {args.viewers} logged-in"
              f" viewers ({(after - before) / args.viewers:.1f} KiB each)")
    finally:
        for ws in sockets:
            ws.close()
        server.terminate()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
