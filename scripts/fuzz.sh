#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, in build-fuzz) and runs each for the given
# number of seconds (default 30) on a copy of its seed corpus in fuzz/corpus/. Any crash or
# sanitizer report fails the run; the input that caused it is kept in build-fuzz/artifacts/.
#   scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(video_datagram signalling_stream messages session_input config ivf)
fi

scripts/setup.sh

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DNORVANE_FUZZ=ON -DNORVANE_BUILD_TESTS=OFF \
  -DNORVANE_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "${FUZZ_JOBS:-$(nproc)}" --target norvane_fuzzers

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=build-fuzz/artifacts
mkdir -p "$artifacts"

# A signalling stream may hold one record of the client's whole 16 KiB buffer and more.
max_len() { [ "$1" = signalling_stream ] && echo 20000 || echo 8192; }

passed=0
failed=0
for target in "${targets[@]}"; do
  cp -r "fuzz/corpus/$target" "$work/$target"
  log="$work/$target.log"
  # Output of the code under test is closed (close_fd_mask); sanitizer reports still show.
  if build-fuzz/fuzz/"${target}"_fuzzer "$work/$target" -max_total_time="$seconds" -timeout=25 \
      -rss_limit_mb=4096 -max_len="$(max_len "$target")" -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$target-" >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "fuzz: $target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)"
  else
    failed=$((failed + 1))
    echo "fuzz: $target FAILED; input kept in $artifacts/"
    grep -E -A40 'ERROR:|runtime error|deadly signal' "$log" | head -80 || tail -40 "$log"
  fi
done
echo "fuzz: $passed targets ran clean, $failed crashed"
[ "$failed" -eq 0 ]
