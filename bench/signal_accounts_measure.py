"""Measures what accounts cost the signalling server: the time of one password log-in (the
scrypt hash dominates), and the server's memory with many idle logged-in WebSocket viewers.
With --gateway, a real gateway joins and one account floods the server with opens and closes
on every connection it is allowed: the sessions opened and refused, and the server's memory and
descriptors before, during and after. Prints figures, not a verdict.

  signal_accounts_measure.py --signal BIN [--logins 10] [--viewers 1000]
                             [--gateway BIN --flood-seconds 20]
"""

import argparse
import collections
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import tempfile
import threading
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


STREAMS = 12
MANET_KEY = "000102030405060708090a0b0c0d0e0f"


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def children(pid):
    count = 0
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                count += f.read().rsplit(")", 1)[1].split()[1] == str(pid)
        except (OSError, IndexError):
            pass
    return count


def flood(port, cookie, server, gateway, seconds):
    """Every connection the account gets opens every stream and closes them again, without
    waiting for answers, until `seconds` have passed; a thread per connection reads the replies."""
    streams = [f"gw1/{0xBE00 + i:08X}/1" for i in range(STREAMS)]
    replies = collections.Counter()
    lock = threading.Lock()
    connections = []
    while True:
        try:
            connections.append(websocket.create_connection(
                f"ws://127.0.0.1:{port}/ws", cookie=f"norvane_session={cookie}"))
        except websocket.WebSocketBadStatusException as refused:
            replies[f"connection refused: {refused.status_code}"] += 1
            break

    def read(ws):
        while True:
            try:
                message = json.loads(ws.recv())
            except Exception:
                return
            with lock:
                replies[message.get("status", message["type"])] += 1

    readers = [threading.Thread(target=read, args=(ws,), daemon=True) for ws in connections]
    for reader in readers:
        reader.start()
    before = (rss_kib(server.pid), descriptors(server.pid))
    gateway_before = (rss_kib(gateway.pid), descriptors(gateway.pid), children(gateway.pid))
    peak = before
    opens = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for ws in connections:
            for stream in streams:
                ws.send(json.dumps({"type": "open", "stream": stream}))
            opens += len(streams)
        peak = max(peak, (rss_kib(server.pid), descriptors(server.pid)))
        for ws in connections:
            for stream in streams:
                ws.send(json.dumps({"type": "close", "stream": stream}))
    for ws in connections:
        ws.close()
    time.sleep(3)
    after = (rss_kib(server.pid), descriptors(server.pid))
    gateway_after = (rss_kib(gateway.pid), descriptors(gateway.pid), children(gateway.pid))
    time.sleep(12)  # the gateway's children wind down at their own pace
    gateway_later = (rss_kib(gateway.pid), descriptors(gateway.pid), children(gateway.pid))
    print(f"flood: {len(connections)} connections of one account, {opens} opens in {seconds} s")
    print("  replies: " + ", ".join(f"{count} {what}" for what, count in replies.most_common()))
    print(f"  server RSS / descriptors: before {before[0]} KiB / {before[1]},"
          f" highest {peak[0]} KiB / {peak[1]}, 3 s after {after[0]} KiB / {after[1]}")
    print(f"  gateway RSS / descriptors / children: before {gateway_before},"
          f" 3 s after {gateway_after}, 15 s after {gateway_later}")


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
    parser.add_argument("--gateway")
    parser.add_argument("--flood-seconds", type=int, default=20)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="norvane-accounts-measure-")
    port, gateway_port = free_port(), free_port()
    config = os.path.join(work, "signal.json")
    # The idle viewers are one account's, past its default bounds; the flood meets the defaults.
    many = {"websocket_connections": args.viewers + 1,
            "websocket_connections_per_account": args.viewers + 1}
    with open(config, "w") as f:
        json.dump({"http_address": "127.0.0.1", "http_port": port, "web_root": work,
                   "state_dir": os.path.join(work, "state"),
                   "gateways": [{"name": "gw1", "listen_port": gateway_port,
                                 "manet_addr": "0A0B0C0D", "manet_key": MANET_KEY}],
                   "streams": [{"gateway": "gw1", "manet_addr": f"{0xBE00 + i:08X}", "camera": 1,
                                "key": "1032547698badcfe0123456789abcdef"}
                               for i in range(STREAMS)],
                   "limits": {} if args.gateway else many}, f)
    with open(os.path.join(work, "norvane.json"), "w") as f:
        json.dump({"listen_ip": "127.0.0.1", "listen_port": free_port(), "utm_host": "127.0.0.1",
                   "utm_port": gateway_port, "stun_url": "stun.invalid:3478",
                   "turn_url": "u:p@turn.invalid:3478", "log_statistics": False, "log_level": 2,
                   "save_dir": os.path.join(work, "flights"), "show_local_video": False,
                   "manet_addr": "0A0B0C0D", "manet_key": MANET_KEY,
                   "save_statistics_to_file": False, "ice_local_addresses": ["127.0.0.1"]}, f)
    subprocess.run([args.signal, "-c", config, "user", "add", "bench", "--grant", "gw1/*"],
                   input="bench-password\n", text=True, check=True, capture_output=True)
    server = subprocess.Popen([args.signal, "-c", config], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    sockets = []
    gateway = None
    try:
        while "norvane-signal ready" not in server.stdout.readline():
            pass
        logged = collections.Counter()  # sessions requested of the gateway, and ended
        threading.Thread(target=lambda: logged.update(
            found.group(1) for line in server.stdout
            if (found := re.search(r"Session \d+ of stream \S+ (requested|ends)", line))),
            daemon=True).start()
        times = []
        for _ in range(args.logins):
            start = time.monotonic()
            cookie = login(port, "bench", "bench-password")
            times.append(time.monotonic() - start)
        print(f"log-in: median {statistics.median(times) * 1000:.0f} ms,"
              f" max {max(times) * 1000:.0f} ms over {args.logins}")

        if args.gateway:
            gateway = subprocess.Popen([args.gateway, "-c", os.path.join(work, "norvane.json")],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(3)  # connected and told the streams
            flood(port, cookie, server, gateway, args.flood_seconds)
            print(f"  sessions requested of the gateway: {logged['requested']},"
                  f" ended: {logged['ends']}")
            return
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
        for process in (gateway, server) if gateway else (server,):
            process.terminate()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
