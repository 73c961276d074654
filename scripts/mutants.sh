#!/usr/bin/env bash
# Mutation check of the test suite: applies each hand-made fault of tests/mutants/ to src/ in
# turn, rebuilds (Release), runs the suite and reverts the fault. A mutant is killed when the
# build or the suite fails; survivors point at behaviour no test binds.
#   scripts/mutants.sh                                   every mutant
#   scripts/mutants.sh tests/mutants/0[1-5]-*.patch      some of them
# IPCSDK_MUTANT_CTEST_ARGS replaces the ctest arguments (default: -j4, no soak or install
# test, 60 s per case so that a fault that hangs a case still ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build-mutants}"
read -r -a ctest_args <<< "${IPCSDK_MUTANT_CTEST_ARGS:--j4 -E ^(soak_brief|install_and_link) --timeout 60}"
patches=("$@")
[ ${#patches[@]} -gt 0 ] || patches=(tests/mutants/*.patch)
git diff --quiet -- src || { echo "src/ has uncommitted changes: commit or stash them first" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DIPCSDK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && ctest "${ctest_args[@]}" >/dev/null) || { echo "the suite fails without any mutant" >&2; exit 1; }

trap 'git checkout -- src' EXIT
tried=0 killed=0 survivors=()
for patch in "${patches[@]}"; do
  name=$(basename "$patch" .patch)
  if ! git apply "$patch" 2>/dev/null; then
    echo "$name: does not apply to this src/, skipped"
    continue
  fi
  tried=$((tried + 1))
  start=$(date +%s)
  if ! cmake --build "$build" -j2 >/dev/null 2>&1; then
    result="killed (build)"
  elif (cd "$build" && ctest "${ctest_args[@]}" >/dev/null 2>&1); then
    result="survived"
  else
    result="killed"
  fi
  git apply -R "$patch"
  [ "$result" = survived ] && survivors+=("$name") || killed=$((killed + 1))
  echo "$name: $result ($(( $(date +%s) - start )) s)"
done
echo "mutants tried: $tried, killed: $killed"
[ ${#survivors[@]} -eq 0 ] || printf 'survivor: %s\n' "${survivors[@]}"
