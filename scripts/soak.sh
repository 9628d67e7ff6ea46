#!/usr/bin/env bash
# A soak of the gateway: several lossy streams, viewers joining and leaving, the signalling
# server restarting, for the given number of minutes (default 10). Checks that no frame is
# released twice or out of order, that memory and descriptors stay flat and that every session
# child is reaped; exits non-zero when a check fails. Not part of the default test run; CI runs
# the two-minute variant (scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
case "$minutes" in
  ''|*[!0-9]*) echo "usage: $0 [minutes]" >&2; exit 2 ;;
esac

jobs=${NORVANE_BUILD_JOBS:-$(nproc)}
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja
cmake --build build -j "$jobs" --target norvane norvane-sender gateway_soak

# Sessions gather ICE candidates: only in a namespace that has nothing but loopback.
exec sh tests/run_in_netns.sh build/bench/gateway_soak $((minutes * 60)) build/soak-gateway.log
