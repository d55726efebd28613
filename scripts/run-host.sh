#!/usr/bin/env bash
# Installs what the host program needs and the machine lacks
# (scripts/setup.sh), builds it (Release) and runs it: it plays the operating
# system around the driver. Arguments are passed to it (--help lists them),
# relative paths meaning the caller's folder; without any, it plays a 1 s
# stereo sine to the class 1.0 reference speaker and records 2 s from its
# microphone, leaving the files in build/host/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/setup.sh" host
build=$repo/build/release
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# A first configure leaves the tests out (they need packages the host program
# does not); one made by scripts/test.sh is kept as it is.
options=(-DCMAKE_BUILD_TYPE=Release)
[ -f "$build/CMakeCache.txt" ] || options+=(-DLT_BUILD_TESTS=OFF -DLT_BUILD_BENCH=OFF)
if ! cmake -S "$repo" -B "$build" "${options[@]}" >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
# The build's progress, on one line on a terminal (a first build takes a
# while); its whole output when it fails.
[ -t 1 ] && terminal=1 || terminal=0
if ! cmake --build "$build" -j "$(nproc)" --target lthost 2>&1 | tee "$log" |
     awk -v terminal=$terminal '
       match($0, /^\[ *[0-9]+%\] (Building|Linking)/) {
         p = substr($0, 2, index($0, "%") - 2) + 0
         if (terminal) { printf "\rbuilding the host program: %3d%%", p; open = 1 }
         else if (p >= shown + 10 || !started) { printf "building the host program: %d%%\n", p; shown = p }
         started = 1; fflush()
       }
       END { if (open) printf "\n" }'; then
  cat "$log" >&2
  exit 1
fi
host=$build/sim/host/lthost
[ $# -gt 0 ] && exec "$host" "$@"

# The file to play: 48 kHz 16-bit stereo, a 997 Hz sine at about -4 dB, the
# right channel the left's negative (a WAV header, then the frames).
out=$repo/build/host
mkdir -p "$out"
LC_ALL=C awk -v rate=48000 -v frames=48000 '
function le(v, n,   i) { for (i = 0; i < n; i++) { printf "%c", v % 256; v = int(v / 256) } }
function word(v) { le(v < 0 ? v + 65536 : v, 2) }
BEGIN {
  data = frames * 4
  printf "RIFF"; le(36 + data, 4); printf "WAVEfmt "; le(16, 4); le(1, 2); le(2, 2)
  le(rate, 4); le(rate * 4, 4); le(4, 2); le(16, 2); printf "data"; le(data, 4)
  for (i = 0; i < frames; i++) {
    s = 20000 * sin(2 * 3.14159265358979 * 997 * i / rate)
    v = int(s < 0 ? s - 0.5 : s + 0.5)
    word(v); word(-v)
  }
}' >"$out/sine-997Hz.wav"

status=0
echo "=== play build/host/sine-997Hz.wav to the speaker"
"$host" --play "$out/sine-997Hz.wav" --device-out "$out/speaker-received.wav" || status=1
echo "=== record 2 s from the microphone"
"$host" --record "$out/microphone.wav" --seconds 2 || status=1
exit $status
