#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them against simulated cameras on loopback.
#   scripts/bench.sh [seconds-per-step]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build="${BUILD_DIR:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DIPCSDK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_commands bench_channels bench_fleet >/dev/null
mkdir -p "$build/run" && cd "$build/run"
../bench/bench_commands "${1:-5}"
../bench/bench_channels "${1:-4}"
for mode in "64" "restart 64 udp" "restart 64 tcp" "frozen 64 tcp" "frozen 64 udp" "teardown 256 tcp" "teardown 64 udp"; do
  # shellcheck disable=SC2086
  ../bench/bench_fleet $mode 2> >(grep -v -E "^(nRet=|recv |ERROR:|AlarmMsg|VideoMsg)" >&2) >/dev/null
done
