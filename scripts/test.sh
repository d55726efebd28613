#!/usr/bin/env bash
# Installs what the tests need and the machine lacks (scripts/setup.sh), then
# builds both flavours (Debug with AddressSanitizer and
# UndefinedBehaviorSanitizer, and Release -O2) and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for flavour in debug-asan release; do
  dir=build/$flavour
  if [ "$flavour" = debug-asan ]; then
    options=(-DCMAKE_BUILD_TYPE=Debug -DLT_SANITIZE=ON -DLT_BUILD_BENCH=OFF)
  else
    options=(-DCMAKE_BUILD_TYPE=Release -DLT_SANITIZE=OFF -DLT_BUILD_BENCH=ON)
  fi
  # The configure step says much when it works and what is missing when not.
  if ! cmake -S . -B "$dir" "${options[@]}" -DLT_BUILD_TESTS=ON >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
  cmake --build "$dir" -j "$jobs"
  if [ "$flavour" = release ] && [ -x "$dir/bench/lt_bench" ]; then
    echo "=== benchmarks (short run, Release)"
    "$dir/bench/lt_bench" --benchmark_min_time=0.01 --benchmark_color=false
  fi
  echo "=== tests: $flavour"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
done
