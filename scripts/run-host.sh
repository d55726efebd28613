#!/usr/bin/env bash
# Builds the host program (Release) and runs it: it plays the operating system
# around the driver. Arguments are passed to it (--help lists them); without
# any, it plays a 1 s stereo sine to the class 1.0 reference speaker and
# records 2 s from its microphone, leaving the files in build/host/.
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release &&
       cmake --build build/release -j "$(nproc)" --target lthost; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
host=build/release/sim/host/lthost
[ $# -gt 0 ] && exec "$host" "$@"

# The file to play: 48 kHz 16-bit stereo, a 997 Hz sine at about -4 dB, the
# right channel the left's negative (a WAV header, then the frames).
out=build/host
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
echo "=== play $out/sine-997Hz.wav to the speaker"
"$host" --play "$out/sine-997Hz.wav" --device-out "$out/speaker-received.wav" || status=1
echo "=== record 2 s from the microphone"
"$host" --record "$out/microphone.wav" --seconds 2 || status=1
exit $status
