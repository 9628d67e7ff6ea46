#!/usr/bin/env bash
# Builds the gateway, the sender simulator, the loss relay and the loss benchmark, then prints
# frames released, frames decodable and the delay the gateway adds, for 0/5/10/20 % loss each way
# at 50 and 200 ms round trip (about four minutes). Arguments go to loss_bench, e.g.
#   scripts/loss-benchmark.sh --config-extra '"latency_ms": 200'
# The test stream is encoded once and kept in the build directory for later runs.
# BUILD_DIR (default build, as scripts/run.sh) and JOBS (default 2) choose where and how wide it
# builds; a fresh build directory adds the whole build to the time.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}" --target loss_bench
exec "$build_dir/bench/loss_bench" --ivf "$build_dir/loss-bench-640x480-vp8.ivf" "$@"
