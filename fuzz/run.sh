#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (ASan + UBSan) and runs each for
# FUZZ_SECONDS (default 30) on its checked-in seed corpus. A finding fails the run.
#   FUZZ_RUNS=N     stop each harness after N executions instead (no time limit)
#   FUZZ_ONLY=name  run only fuzz/fuzz_<name>.cpp
# fuzz/<harness>.options, when present, holds extra libFuzzer flags (one line).
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${CXX:-clang++-16}
SECONDS_EACH=${FUZZ_SECONDS:-30}
BUILD=build/fuzz
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  .venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZM_FUZZ=ON -DZM_PYTHON_MODULE=OFF -DZM_NATIVE_TESTS=OFF -DZM_WERROR=OFF
fi
.venv/bin/cmake --build "$BUILD" -j"${FUZZ_JOBS:-2}"
for src in fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  if [ -n "${FUZZ_ONLY:-}" ] && [ "$name" != "fuzz_$FUZZ_ONLY" ]; then continue; fi
  corpus=fuzz/corpus/${name#fuzz_}
  work=$BUILD/corpus-${name#fuzz_}
  mkdir -p "$corpus" "$work"
  limit=(-max_total_time="$SECONDS_EACH")
  if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$FUZZ_RUNS"); fi
  extra=()
  if [ -f "fuzz/$name.options" ]; then read -r -a extra < "fuzz/$name.options"; fi
  echo "== $name (${limit[*]} ${extra[*]})"
  "$BUILD/$name" "${limit[@]}" "${extra[@]}" -print_final_stats=1 -artifact_prefix="$BUILD/$name-" \
    "$work" "$corpus" 2>&1 | grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|Done' || true
  if ls "$BUILD/$name"-crash-* "$BUILD/$name"-leak-* "$BUILD/$name"-timeout-* "$BUILD/$name"-oom-* >/dev/null 2>&1; then
    echo "finding in $name: see $BUILD/$name-*"; exit 1
  fi
done
