#!/usr/bin/env bash
# Builds the gateway and the replay benchmark, then replays pre-sealed datagrams into the
# gateway at increasing rates for 1, 10 and 100 streams and prints, for each stream count, every
# rate tried and the highest rate at which no datagram was lost (a few minutes).
#   scripts/replay-benchmark.sh [--gateway PATH] [--receive-buffer BYTES] [--count N]
# --gateway runs another build of the gateway (for example one built at an older commit) in
# place of the one built here. The sealed datagrams are kept in the build directory.
# BUILD_DIR (default build) and JOBS (default 2) choose where and how wide it builds; RATES and
# STREAMS override the rates (datagrams/s) and stream counts tried.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}" --target replay_bench
rates="${RATES:-5000,10000,20000,30000,40000,50000,60000,70000,80000,100000}"

summary=""
for streams in ${STREAMS:-1 10 100}; do
  out=$("$build_dir/bench/replay_bench" --streams "$streams" --rates "$rates" --stop-at-loss \
    --dir "$build_dir" "$@")
  echo "$out"
  # Rows: streams rate sent accepted lost cpu_us; the rates are tried in increasing order.
  best=$(echo "$out" | awk 'NR > 1 && $5 == 0 { best = $2; cpu = $6 } NR > 1 && $5 > 0 { exit }
    END { if (best == "") print "none"; else print best " datagrams/s at " cpu " us CPU each" }')
  summary+="streams ${streams}: highest lossless rate ${best}"$'\n'
done
echo
printf '%s' "$summary"
