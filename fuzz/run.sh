#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (ASan + UBSan) and runs each for
# FUZZ_SECONDS (default 30). A finding fails the run.
#   fuzz/seeds/<name>/        small minimised seed set, in git (read only while fuzzing)
#   build/fuzz-corpus/<name>/ grown corpus, outside git: new inputs land here
#   FUZZ_RUNS=N     stop each harness after N executions instead (no time limit)
#   FUZZ_ONLY=name  run only fuzz/fuzz_<name>.cpp
# `fuzz/run.sh minimise` instead rewrites each seed set as at most FUZZ_SEEDS_MAX (64)
# inputs chosen from the seeds and the grown corpus to keep the most coverage, and prints
# libFuzzer's cov/ft for both before and for the new seeds after.
# fuzz/<harness>.options, when present, holds extra libFuzzer flags (one line).
set -euo pipefail
cd "$(dirname "$0")/.."
MODE=${1:-fuzz}
case "$MODE" in fuzz | minimise) ;; *) echo "usage: fuzz/run.sh [minimise]" >&2; exit 2 ;; esac
CXX=${CXX:-clang++-16}
SECONDS_EACH=${FUZZ_SECONDS:-30}
BUILD=build/fuzz
GROWN=build/fuzz-corpus
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  .venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZM_FUZZ=ON -DZM_PYTHON_MODULE=OFF -DZM_NATIVE_TESTS=OFF -DZM_WERROR=OFF
fi
.venv/bin/cmake --build "$BUILD" -j"${FUZZ_JOBS:-2}"

# Prints the coverage libFuzzer reports after loading the given directories.
coverage() {
  "$BUILD/$name" -runs=0 "${extra[@]}" "$@" 2>&1 |
    grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+' | tail -1
}

for src in fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  if [ -n "${FUZZ_ONLY:-}" ] && [ "$name" != "fuzz_$FUZZ_ONLY" ]; then continue; fi
  seeds=fuzz/seeds/${name#fuzz_}
  work=$GROWN/${name#fuzz_}
  mkdir -p "$seeds" "$work"
  extra=()
  if [ -f "fuzz/$name.options" ]; then read -r -a extra < "fuzz/$name.options"; fi
  if [ "$MODE" = minimise ]; then
    echo "== $name: before (seeds + grown) $(coverage "$seeds" "$work")"
    tmp=$(mktemp -d)
    mkdir "$tmp/merged"
    # The set-cover merge writes every feature of every input to the control file.
    "$BUILD/$name" -set_cover_merge=1 -merge_control_file="$tmp/control" "${extra[@]}" \
      "$tmp/merged" "$seeds" "$work" 2>&1 | grep -E 'MERGE-OUTER: [0-9]+ new files' || true
    .venv/bin/python fuzz/minimise.py "$tmp/control" "$tmp/seeds" "${FUZZ_SEEDS_MAX:-64}" "$seeds"
    rm -rf "$seeds" && mv "$tmp/seeds" "$seeds" && rm -rf "$tmp"
    echo "== $name: after (seeds)          $(coverage "$seeds")"
    continue
  fi
  limit=(-max_total_time="$SECONDS_EACH")
  if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$FUZZ_RUNS"); fi
  echo "== $name (${limit[*]} ${extra[*]})"
  "$BUILD/$name" "${limit[@]}" "${extra[@]}" -print_final_stats=1 -artifact_prefix="$BUILD/$name-" \
    "$work" "$seeds" 2>&1 | grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|Done' || true
  if ls "$BUILD/$name"-crash-* "$BUILD/$name"-leak-* "$BUILD/$name"-timeout-* "$BUILD/$name"-oom-* >/dev/null 2>&1; then
    echo "finding in $name: see $BUILD/$name-*"; exit 1
  fi
done
