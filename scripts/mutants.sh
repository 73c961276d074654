#!/usr/bin/env bash
# Mutation check of the test suite: applies each hand-made fault of tests/mutants.txt (in src/,
# include/ or tools/) in turn, rebuilds (Release), runs the suite and reverts the fault. A mutant
# is killed when the build or the suite fails (the failing cases are named); survivors point at
# behaviour no test binds.
#   scripts/mutants.sh                        every mutant
#   scripts/mutants.sh 0[1-5]- md5            those whose names match one of these patterns
# IPCSDK_MUTANT_CTEST_ARGS replaces the ctest arguments (default: -j4, no soak or install
# test, 60 s per case so that a fault that hangs a case still ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build-mutants}"
read -r -a ctest_args <<< "${IPCSDK_MUTANT_CTEST_ARGS:--j4 -E ^(soak_brief|install_and_link) --timeout 60}"
mutated=(src include tools)
git diff --quiet -- "${mutated[@]}" || { echo "src/, include/ or tools/ has uncommitted changes: commit or stash them first" >&2; exit 1; }

# Replaces one line of a file: mutate FILE OCCURRENCE OLD NEW|--remove. Fails unless OLD
# stands in FILE (exactly once, or at least OCCURRENCE times when that is given).
mutate() {
  python3 - "$@" <<'EOF'
import sys
path, occurrence, old, new = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
lines = open(path).read().split("\n")
hits = [i for i, line in enumerate(lines) if line == old]
if (occurrence == 0 and len(hits) != 1) or len(hits) < occurrence:
    sys.exit(1)
i = hits[max(occurrence, 1) - 1]
lines[i:i + 1] = [] if new == "--remove" else [new]
open(path, "w").write("\n".join(lines))
EOF
}

# The cases the last ctest run failed; the walk's cases as one count.
failed_cases() {
  cut -d: -f2- "$build/Testing/Temporary/LastTestsFailed.log" | sed 's/  # GetParam.*//' |
    awk '/^Commands\/Walk\./ { walk++; next } { printf "%s ", $0 } END { if (walk) printf "the walk of %d commands", walk }' | sed 's/ $//'
}

selected() {
  [ $# -eq 1 ] && return 0
  local name=$1 pattern
  shift
  for pattern in "$@"; do [[ $name == *$pattern* ]] && return 0; done
  return 1
}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DIPCSDK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && ctest "${ctest_args[@]}" >/dev/null) || { echo "the suite fails without any mutant" >&2; exit 1; }

# On exit: the source restored, and the build again of the restored source.
trap 'git checkout -- "${mutated[@]}"; cmake --build "$build" -j2 >/dev/null 2>&1' EXIT
tried=0 killed=0 survivors=()
while IFS= read -r -u 3 header && IFS= read -r -u 3 old && IFS= read -r -u 3 new; do
  read -r _ name file occurrence <<< "$header"
  selected "$name" "$@" || continue
  [ "$new" = "+" ] && new="--remove" || new="${new#+ }"
  if ! mutate "$file" "${occurrence:-0}" "${old#- }" "$new"; then
    echo "$name: its line is not in $file any more, skipped"
    continue
  fi
  tried=$((tried + 1))
  start=$(date +%s)
  if ! cmake --build "$build" -j2 >/dev/null 2>&1; then
    result="killed (build)"
  elif (cd "$build" && ctest "${ctest_args[@]}" >/dev/null 2>&1); then
    result="survived"
  else
    result="killed by $(failed_cases)"
  fi
  git checkout -- "$file"
  [ "$result" = survived ] && survivors+=("$name") || killed=$((killed + 1))
  echo "$name: $result ($(( $(date +%s) - start )) s)"
done 3< <(grep -v '^#' tests/mutants.txt)
echo "mutants tried: $tried, killed: $killed"
[ ${#survivors[@]} -eq 0 ] || printf 'survivor: %s\n' "${survivors[@]}"
