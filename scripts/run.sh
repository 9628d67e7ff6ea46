#!/usr/bin/env bash
# Sets up the machine, builds the gateway and runs it on the shipped example configuration
# (video on 127.0.0.1:30000, signalling server expected on 127.0.0.1:5466). Stop with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc)" --target norvane
exec build/norvane -c "${1:-config/norvane-example.json}"
