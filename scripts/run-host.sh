#!/usr/bin/env bash
# Builds the host program (Release) and runs it: it plays the operating system
# around the driver. Arguments are passed to it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target lthost
exec build/release/sim/host/lthost "$@"
