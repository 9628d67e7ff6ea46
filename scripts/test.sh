#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite twice: once in a normal
# build and once (unit and end-to-end tests) under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)

cmake -S . -B build -G Ninja -DNORVANE_WERROR=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

# The sanitizer build uses the other crypto library, so CI builds and tests both.
cmake -S . -B build-asan -G Ninja -DNORVANE_SANITIZE=ON -DNORVANE_WERROR=ON -DNORVANE_BUILD_BENCH=OFF \
  -DNORVANE_CRYPTO=wolfssl \
  -DCMAKE_BUILD_TYPE=Debug
# The end-to-end tests run the sanitized gateway, sender and relay as separate processes.
cmake --build build-asan -j "$jobs" --target norvane_unit_tests norvane_process_tests norvane \
  norvane-sender norvane-lossrelay
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -L 'unit|process')

# Two minutes of churn against the real gateway (streams with loss, viewers coming and going,
# signalling restarts).
scripts/soak.sh 2

# Every fuzz target for 30 s on its seed corpus.
scripts/fuzz.sh 30
