"""The viewer page in a headless Chromium that can reach the gateway only through a TURN server.

Three network namespaces joined by veth pairs:

  browser (this script's own)  10.77.1.2 --- 10.77.1.1  relay: turnserver, norvane-signal
  gateway: norvane, sender     10.77.2.2 --- 10.77.2.1  (same namespace, does not forward)

The browser and the gateway each reach every address of the relay's namespace, never each
other, so video and detections can only take a TURN allocation. First the gateway's `turn_url`
is the path (the page has no ICE servers); then the page's `ice_servers` from the signalling
server's configuration are, while the gateway's TURN credentials are wrong. Each time the page
must decode video, receive detections and report a selected candidate pair through the relay.

Run it inside a loopback-only network namespace (tests/run_in_netns.sh; without root that
namespace comes with a user namespace in which the test may create its own):
  turn_test.py --signal BIN --gateway BIN --sender BIN [--screenshot PATH]
  [--wrong-gateway-credentials]  (the first part must then fail: to check that it can)
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ in the source tree

from viewer_test import (FRONT, ProcessChain, click_stream_button, expect_live_tile,  # noqa: E402
                         find_tile, free_port, stream, wait_available, with_chain)

BROWSER_IP, RELAY_BROWSER_SIDE = "10.77.1.2", "10.77.1.1"
GATEWAY_IP, RELAY_GATEWAY_SIDE = "10.77.2.2", "10.77.2.1"
TURN_USER, TURN_PASSWORD = "norvane", "relay-secret"


def ip(*args, ns=None):
    subprocess.run([*(ns.enter() if ns else []), "ip", *args], check=True)


class Namespace:
    """A network namespace of the test's own. Its first process waits on a pipe from this
    script: when the script ends, however it ends, the namespace goes with its last process,
    and with it its end of every veth pair."""

    def __init__(self):
        self.holder = subprocess.Popen(
            ["unshare", "--net", "sh", "-c", "ip link set lo up && echo up && read _"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if self.holder.stdout.readline().strip() != b"up":
            raise RuntimeError("cannot create a network namespace")

    def enter(self):
        return ["nsenter", f"--net=/proc/{self.holder.pid}/ns/net", "--"]

    def close(self):
        self.holder.stdin.close()
        self.holder.wait(10)


def link(near_ns, near, near_ip, far_ns, far, far_ip):
    """A veth pair between two namespaces (near_ns None: this script's); the near end routes
    everything through the far end."""
    ip("link", "add", near, "type", "veth", "peer", "name", far, "netns", str(far_ns.holder.pid),
       ns=near_ns)
    for ns, device, address in ((far_ns, far, far_ip), (near_ns, near, near_ip)):
        ip("addr", "add", f"{address}/24", "dev", device, ns=ns)
        ip("link", "set", device, "up", ns=ns)
    ip("route", "add", "default", "via", far_ip, ns=near_ns)


class Topology:
    def __init__(self):
        self.gateway = Namespace()
        self.relay = Namespace()
        link(None, "b0", BROWSER_IP, self.relay, "r1", RELAY_BROWSER_SIDE)
        link(self.gateway, "g0", GATEWAY_IP, self.relay, "r2", RELAY_GATEWAY_SIDE)
        # A new namespace may inherit forwarding from the host's; the relay's must never pass
        # packets between browser and gateway.
        subprocess.run([*self.relay.enter(), "sh", "-c",
                        "echo 0 > /proc/sys/net/ipv4/ip_forward"], check=True)

    def close(self):
        self.relay.close()
        self.gateway.close()


class Chain(ProcessChain):
    """turnserver and norvane-signal in the relay's namespace, the gateway and a sender
    simulator in the gateway's; each with its log in a temporary directory. The namespaces are
    the test's own and empty: any port is free in them."""

    def __init__(self, args, topology):
        super().__init__(args, "norvane-turn-")
        self.topology = topology
        self.turn_port = free_port(socket.SOCK_DGRAM)

    def start_turn(self):
        # -n: none of the host's /etc/turnserver.conf; the user database, the pid file and the
        # log stay in the test's directory.
        self.start("turnserver", [
            "turnserver", "-n", "--no-cli", "--no-tls", "--no-dtls", "--fingerprint",
            "--listening-ip", RELAY_BROWSER_SIDE, "--listening-ip", RELAY_GATEWAY_SIDE,
            "--listening-port", str(self.turn_port), "--lt-cred-mech", "--realm", "norvane.test",
            "--user", f"{TURN_USER}:{TURN_PASSWORD}", "--allowed-peer-ip", "10.77.0.0-10.77.255.255",
            "--userdb", os.path.join(self.dir, "turndb"),
            "--pidfile", os.path.join(self.dir, "turnserver.pid"), "--log-file", "stdout",
            "--simple-log"], self.topology.relay)

    def start_signal(self, ice_servers):
        # Plain HTTP on the relay's address: the namespaces are the test's own.
        more = {"ice_servers": ice_servers} if ice_servers else {}
        self.write("signal.json", self.signal_config(
            [stream("0000BEEF", "Front camera")], http_address=RELAY_BROWSER_SIDE,
            allow_insecure_http=True, **more, gateway={
                "listen_address": RELAY_GATEWAY_SIDE, "allowed_sources": [GATEWAY_IP]}))
        return super().start_signal(self.topology.relay)

    def start_gateway(self, turn_password):
        relay = f"{RELAY_GATEWAY_SIDE}:{self.turn_port}"
        super().start_gateway(self.topology.gateway, utm_host=RELAY_GATEWAY_SIDE, stun_url=relay,
                              turn_url=f"turn://{TURN_USER}:{turn_password}@{relay}")

    def start_sender(self):
        super().start_sender(ns=self.topology.gateway)

    def close(self):
        super().close()
        self.topology.close()


def expect_relayed(browser, relayed_end, offers):
    """Live video with boxes on the front tile of the given offer, over a selected pair whose
    candidate at `relayed_end` (0 the browser's, 1 the gateway's) is a TURN relay."""
    browser.wait_for(f"{find_tile(FRONT)}.offers === {offers}", 30, f"offer {offers}")
    live = expect_live_tile(browser, FRONT)
    assert live["framesDecoded"] > 0 and live["detectionMessages"] > 0, live
    route = browser.wait_for(f"{find_tile(FRONT)}.route", 10, "the selected candidate pair")
    assert route[relayed_end] == "relay", route
    print(f"offer {offers}: {live['framesDecoded']} frames decoded, "
          f"{live['detectionMessages']} detection messages over {route[0]}-{route[1]}")
    return live


def run(browser, chain, args):
    chain.start_turn()
    login_link = chain.start_signal(ice_servers=None)
    chain.start_gateway("wrong" if args.wrong_gateway_credentials else TURN_PASSWORD)
    chain.start_sender()

    # The page has no ICE servers: only the gateway's relay candidate can carry the media.
    # The page trades the link for a session cookie; the cookie outlives the restart below.
    browser.navigate(login_link)
    wait_available(browser, FRONT)
    click_stream_button(browser, FRONT)
    expect_relayed(browser, relayed_end=1, offers=1)
    if args.screenshot:
        time.sleep(0.5)
        browser.screenshot(args.screenshot)

    # The gateway's TURN credentials go wrong and the server names a relay to the page: the
    # browser's own allocation is now the path. The open tile comes back by itself.
    chain.stop("signal")  # first: the page keeps the tile to open again
    chain.stop("gateway")
    chain.start_signal(ice_servers=[{
        "urls": f"turn:{RELAY_BROWSER_SIDE}:{chain.turn_port}", "username": TURN_USER,
        "credential": TURN_PASSWORD}])
    chain.start_gateway("wrong")
    expect_relayed(browser, relayed_end=0, offers=2)
    assert not browser.exceptions, browser.exceptions


def main():
    parser = argparse.ArgumentParser()
    for name in ("--signal", "--gateway", "--sender"):
        parser.add_argument(name, required=True)
    parser.add_argument("--screenshot")
    parser.add_argument("--wrong-gateway-credentials", action="store_true")
    args = parser.parse_args()
    if not shutil.which("turnserver"):
        sys.exit("turnserver not found: scripts/setup.sh installs coturn")

    with_chain(Chain(args, Topology()), lambda browser, chain: run(browser, chain, args))


if __name__ == "__main__":
    main()
