#!/usr/bin/env bash
# Builds and runs the gateway benchmark: simulated cameras, a mosquitto broker and ipcgw on
# loopback.
#   scripts/bench-gw.sh [seconds-per-step] [cameras]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build="${BUILD_DIR:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DIPCSDK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target ipcgw_bench ipcgw >/dev/null
"$build/tools/ipcgw/ipcgw_bench" "${1:-5}" "${2:-64}"
