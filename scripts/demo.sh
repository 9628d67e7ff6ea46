#!/usr/bin/env bash
# The whole system on this machine: the signalling server with its viewer page, a gateway, and
# a simulated drone sending a moving test picture with moving detection boxes. Prints the URL to
# open; Ctrl-C stops all three and leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "demo: checking packages and the kernel's pipe limits for viewer sessions" \
  "(the gateway needs two 10 MiB pipes per viewer; this may ask for your sudo password)"
scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target norvane norvane-sender norvane-signal

work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-demo-XXXXXX")
pids=()
stopped=0
stop_all() {
  [ "$stopped" -eq 1 ] && return
  stopped=1
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  echo "demo: stopped"
}
trap 'stop_all; exit 0' INT TERM
trap stop_all EXIT

free_port() {  # $1: tcp or udp
  python3 - "$1" <<'PY'
import socket, sys
kind = socket.SOCK_STREAM if sys.argv[1] == "tcp" else socket.SOCK_DGRAM
with socket.socket(socket.AF_INET, kind) as s:
    s.bind(("127.0.0.1", 0))
    print(s.getsockname()[1])
PY
}
http_port=$(free_port tcp)
gateway_port=$(free_port tcp)
video_port=$(free_port udp)
manet_key=000102030405060708090a0b0c0d0e0f
stream_key=1032547698badcfe0123456789abcdef

cat > "$work/signal.json" <<JSON
{
  "http_address": "127.0.0.1",
  "http_port": $http_port,
  "web_root": "$PWD/tools/signal/web",
  "state_dir": "$work/state",
  "gateways": [{"name": "gw1", "listen_address": "127.0.0.1", "listen_port": $gateway_port,
                "manet_addr": "0A0B0C0D", "manet_key": "$manet_key"}],
  "streams": [{"gateway": "gw1", "manet_addr": "0000BEEF", "camera": 1,
               "key": "$stream_key", "name": "Demo drone, front camera"}]
}
JSON
cat > "$work/gateway.json" <<JSON
{
  "listen_ip": "127.0.0.1", "listen_port": $video_port,
  "utm_host": "127.0.0.1", "utm_port": $gateway_port,
  "stun_url": "", "turn_url": "",
  "log_statistics": false, "log_level": 2, "save_dir": "$work/flights",
  "show_local_video": false,
  "manet_addr": "0A0B0C0D", "manet_key": "$manet_key",
  "ice_local_addresses": ["127.0.0.1"],
  "latency_ms": 400,
  "signalling_encryption_required": true,
  "record": true, "record_segment_s": 60, "record_keep_bytes": 1073741824
}
JSON

build/norvane-signal -c "$work/signal.json" > "$work/signal.log" 2>&1 &
pids+=($!)
build/norvane -c "$work/gateway.json" > "$work/gateway.log" 2>&1 &
pids+=($!)
# A drone that sends before its stream is announced is taken for a stranger and ignored for a
# minute, so it starts once the gateway has the stream.
for _ in $(seq 1 100); do
  grep -q "Add new stream with manet address beef" "$work/gateway.log" && break
  sleep 0.1
done
build/norvane-sender --gateway "127.0.0.1:$video_port" --manet-addr 0000BEEF --camera 1 \
  --key "$stream_key" --encode vp8 --pattern ball --width 640 --height 480 --fps 30 \
  --bitrate-kbps 1500 --detections 3 > "$work/sender.log" 2>&1 &
pids+=($!)

# Up when the server reports video on the stream (the metrics page needs no log-in on loopback).
up=0
for _ in $(seq 1 100); do
  if python3 - "$http_port" <<'PY' 2>/dev/null; then up=1; break; fi
import sys, urllib.request
page = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics", timeout=1).read().decode()
sys.exit(0 if any(line.startswith("norvane_stream_video_available{") and line.endswith(" 1")
                  for line in page.splitlines()) else 1)
PY
  for pid in "${pids[@]}"; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "demo: a program ended early; its log:" >&2
      tail -n 20 "$work"/*.log >&2
      exit 1
    fi
  done
  sleep 0.2
done

if [ "$up" -ne 1 ]; then
  echo "demo: no video reached the server within 20 s; logs:" >&2
  tail -n 20 "$work"/*.log >&2
  exit 1
fi
# The server's one-time log-in link: whoever opens it first is logged in, with no account made.
login_link=$(grep -o 'Log in at [^ ]*' "$work/signal.log" | head -n 1 | cut -d' ' -f4)
echo "demo: open $login_link (logs in $work; Ctrl-C stops everything)"
wait -n "${pids[@]}" || true
echo "demo: a program ended by itself; logs:" >&2
tail -n 20 "$work"/*.log >&2
exit 1
