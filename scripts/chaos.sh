#!/usr/bin/env bash
# Chaos run: simulated cameras under an ipc::Fleet taken away and brought back at random while
# host threads run commands; checks every camera online at the end, descriptors and threads
# back, resident memory flat within 5 % over the last 80 % of the run.
#   scripts/chaos.sh [seconds] [cameras]              (default 600 64)
#   IPCSDK_SANITIZE=thread scripts/chaos.sh 60 16     the same under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
san="${IPCSDK_SANITIZE:-}"
args=(-DIPCSDK_BUILD_BENCH=ON)
if [ -n "$san" ]; then
  # The same configuration as scripts/test.sh, so its sanitizer build is reused.
  build="${BUILD_DIR:-build-${san//,/-}}"
  args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DIPCSDK_SANITIZE="$san")
  if command -v clang++ >/dev/null; then args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++); fi
else
  build="${BUILD_DIR:-build-bench}"
  args+=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF)
fi
cmake -S . -B "$build" "${args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target chaos >/dev/null
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
mkdir -p "$build/run" && cd "$build/run"
# The library's own progress lines go to standard output and standard error; keep the verdict.
../bench/chaos "${1:-600}" "${2:-64}" 2>/dev/null | grep '^chaos:'
