#!/usr/bin/env bash
# Builds both flavours (Debug with AddressSanitizer and UndefinedBehaviorSanitizer,
# and Release -O2) and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
for flavour in debug-asan release; do
  dir=build/$flavour
  if [ "$flavour" = debug-asan ]; then
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DLT_SANITIZE=ON -DLT_BUILD_BENCH=OFF >/dev/null
  else
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DLT_SANITIZE=OFF -DLT_BUILD_BENCH=ON >/dev/null
  fi
  cmake --build "$dir" -j "$jobs"
  if [ "$flavour" = release ] && [ -x "$dir/bench/lt_bench" ]; then
    echo "=== benchmarks (short run, Release)"
    "$dir/bench/lt_bench" --benchmark_min_time=0.01 --benchmark_color=false
  fi
  echo "=== tests: $flavour"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
done
