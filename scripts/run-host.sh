#!/usr/bin/env bash
# Builds the host program (Release) and runs it: it plays the operating system
# around the driver. Arguments are passed to it (--help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release &&
       cmake --build build/release -j "$(nproc)" --target lthost; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
exec build/release/sim/host/lthost "$@"
