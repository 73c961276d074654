#!/usr/bin/env bash
# Builds the library, the simulator and the test suites, then runs the whole suite in parallel.
#   IPCSDK_SANITIZE=address,undefined scripts/test.sh   the same under the sanitizers
#   BUILD_DIR=...                                      where to build (default: build or build-<sanitizer>)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
san="${IPCSDK_SANITIZE:-}"
build="${BUILD_DIR:-build${san:+-${san//,/-}}}"
args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON)
if [ -n "$san" ]; then
  args+=(-DIPCSDK_SANITIZE="$san")
  if command -v clang++ >/dev/null; then args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++); fi
fi
cmake -S . -B "$build" "${args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
cd "$build"
ctest --output-on-failure -j"${IPCSDK_TEST_JOBS:-8}" ${IPCSDK_CTEST_ARGS:-}
