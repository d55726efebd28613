#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer,
# UndefinedBehaviorSanitizer, libFuzzer's coverage on every library) and runs
# each for SECONDS (default 60) on its corpus under fuzz/corpus; new inputs go
# to build/fuzz-work/<target>, and so does the input of a finding. Exits
# non-zero when any target finds anything: a crash, a sanitizer report, an
# input that leaves pool, threads or requests behind, or one that hangs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=build/fuzz
work=build/fuzz-work
targets=(bare_device device_start asio_control ks_requests ini_file uac1_start)

CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DLT_SANITIZE=ON -DLT_FUZZ=ON \
  -DLT_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

# The emulated kernel abandons its bookkeeping of each input when the next
# resets it, which the leak check at exit would report.
export ASAN_OPTIONS=detect_leaks=0
failed=()
for t in "${targets[@]}"; do
  program=$(find "$dir/tests" -type f -name "fuzz_$t" -perm -u+x | head -n 1)
  mkdir -p "$work/$t"
  echo "=== fuzz_$t: ${seconds} s"
  # Leaks are the targets' own check (the emulated pool and objects); an
  # input runs for at most 30 s.
  if "$program" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$work/$t/" "$work/$t" "fuzz/corpus/$t" \
      >"$work/$t.log" 2>&1; then
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$work/$t.log" || true
  else
    tail -n 40 "$work/$t.log"
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz findings in: ${failed[*]} (inputs under $work)"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds} s each without a finding"
