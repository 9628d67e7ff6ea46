#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite twice: once in a normal
# build and once (unit tests) under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)

cmake -S . -B build -G Ninja -DNORVANE_WERROR=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-asan -G Ninja -DNORVANE_SANITIZE=ON -DNORVANE_WERROR=ON -DNORVANE_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Debug
cmake --build build-asan -j "$jobs" --target norvane_unit_tests
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -L unit)

# Every fuzz target for 30 s on its seed corpus.
scripts/fuzz.sh 30
