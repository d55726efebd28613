#!/usr/bin/env bash
# Installs the Debian packages a command needs and the machine lacks:
#   bash scripts/setup.sh host|test|ci
# host: the host program (compiler, CMake, pkg-config, libsndfile); test: the
# tests and benchmarks as well (GoogleTest, GoogleMock, Google Benchmark and
# the libraries the benchmarks compare against); ci: the fuzz targets' clang
# as well. dpkg says what is installed; apt-get installs the rest, nothing
# when all is there. Without root it prints the one command to run and stops.
set -euo pipefail

host=(g++ make cmake pkg-config libsndfile1-dev)
test=("${host[@]}" libgtest-dev libgmock-dev googletest libbenchmark-dev
      libfftw3-dev libkissfft-dev libsamplerate0-dev libsoxr-dev)
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

need=()
for p in "${wanted[@]}"; do
  dpkg -s "$p" 2>/dev/null | grep -x 'Status: install ok installed' >/dev/null || need+=("$p")
done
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
apt-get update
$install
