#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (address and undefined-behaviour sanitizers) and
# runs each for the given number of seconds (default 60), starting from its seed corpus.
#   scripts/fuzz.sh 600        ten minutes each
#   IPCSDK_FUZZERS="record_json" scripts/fuzz.sh 300    one harness only
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
IPCSDK_NEED_CLANG=1 scripts/deps.sh
build="${BUILD_DIR:-build-fuzz}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DIPCSDK_SANITIZE=address,undefined -DIPCSDK_BUILD_FUZZ=ON -DBUILD_TESTING=ON >/dev/null
names="${IPCSDK_FUZZERS:-video_scanner report_scanner unpack answer sim_request record_json gw_request}"
# shellcheck disable=SC2046
cmake --build "$build" -j"$(nproc)" --target $(for n in $names; do printf 'fuzz_%s ' "$n"; done)
for name in $names; do
  work="$build/fuzz-$name"
  mkdir -p "$work/corpus"
  echo "== fuzz_$name for ${seconds}s"
  (cd "$work" && "../fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 -max_len=65536 \
      corpus "$PWD/../../fuzz/corpus/$name" 2>&1 | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==ERROR|SUMMARY)' || true)
  if ls "$work"/crash-* >/dev/null 2>&1; then echo "fuzz_$name found a crash: $(ls "$work"/crash-*)"; exit 1; fi
done
