#!/usr/bin/env bash
# Installs the Debian packages a command needs and the machine lacks:
#   bash scripts/setup.sh host|test|ci
# host: the host program (compiler, CMake, pkg-config, libsndfile); test: the
# tests and benchmarks as well (GoogleTest, GoogleMock, Google Benchmark, the
# libraries the benchmarks compare against, and python3, which checks the
# generated tables against their generators); ci: the fuzz targets' clang as
# well. dpkg says what is installed; apt-get installs the rest, nothing when
# all is there. Without root it prints the one command to run and stops; when
# apt-get fails, it names what is still missing.
set -euo pipefail

host=(g++ make cmake pkg-config libsndfile1-dev)
test=("${host[@]}" libgtest-dev libgmock-dev googletest libbenchmark-dev
      libfftw3-dev libkissfft-dev libsamplerate0-dev libsoxr-dev python3)
ci=("${test[@]}" clang libclang-rt-dev)

case "${1:-}" in
  host) wanted=("${host[@]}") ;;
  test) wanted=("${test[@]}") ;;
  ci) wanted=("${ci[@]}") ;;
  *)
    echo "usage: bash scripts/setup.sh host|test|ci" >&2
    exit 2
    ;;
esac

# The packages of those named that dpkg does not have installed, a line each.
missing() {
  for p in "$@"; do
    dpkg -s "$p" 2>/dev/null | grep -x 'Status: install ok installed' >/dev/null || echo "$p"
  done
}
mapfile -t need < <(missing "${wanted[@]}")
[ ${#need[@]} -eq 0 ] && exit 0

install="apt-get install -y --no-install-recommends ${need[*]}"
if [ "$(id -u)" != 0 ]; then
  echo "setup: missing packages: ${need[*]}" >&2
  echo "setup: install them as root, then run this again:" >&2
  echo "  sudo sh -c 'apt-get update && $install'" >&2
  exit 1
fi
echo "setup: installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update && $install; }; then
  mapfile -t left < <(missing "${need[@]}")
  echo "setup: apt-get failed; not installed: ${left[*]:-none}" >&2
  exit 1
fi
