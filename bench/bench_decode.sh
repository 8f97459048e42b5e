#!/usr/bin/env bash
# MP3 decoding through the engine, the way the program's decode loop does it, against
# `mpg123 -w` on the same file; and peak memory for a short and a long input.
#   bench/bench_decode.sh BUILD_DIR     (BUILD_DIR configured with -DBLENDORA_BENCH=ON)
# Goals: CPU time ratio <= 1.05; peak RSS for 20 minutes within 4 MiB of 1 minute.
set -euo pipefail

build=${1:-build-bench}
tool="$build/bench/decode_to_wav"
[ -x "$tool" ] || { echo "bench_decode: $tool not built" >&2; exit 1; }
runs=${BENCH_RUNS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tone on the left and pink noise on the right, so the encoder has real work to do.
make_mp3() { # seconds output
  sox -n -r 44100 -c 2 -b 16 -t wav - synth "$1" sine 440 pinknoise vol 0.5 2>/dev/null |
    lame --quiet -b 128 - "$2"
}

# Best of $runs: user+system seconds (bash's own timer, millisecond resolution) and peak
# RSS in KiB of one command.
measure() {
  local best="" times cpu kib TIMEFORMAT='%3U %3S'
  for _ in $(seq "$runs"); do
    times=$({ time "$@" >/dev/null 2>&1; } 2>&1)
    cpu=$(awk '{ print $1 + $2 }' <<<"$times")
    if [ -z "$best" ] || awk -v c="$cpu" -v b="$best" 'BEGIN { exit !(c < b) }'; then best=$cpu; fi
  done
  kib=$(/usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -1)
  echo "$best $kib"
}

echo "Preparing inputs (5, 1 and 20 minutes, 128 kbps stereo)..."
make_mp3 300 "$work/five.mp3"
make_mp3 60 "$work/one.mp3"
make_mp3 1200 "$work/twenty.mp3"

read -r engine _ < <(measure "$tool" "$work/five.mp3" "$work/engine.wav")
read -r reference _ < <(measure mpg123 -q -w "$work/reference.wav" "$work/five.mp3")
ratio=$(awk -v e="$engine" -v r="$reference" 'BEGIN { printf "%.3f", e / (r > 0 ? r : 0.01) }')
same=no
if cmp -s <(tail -c +45 "$work/engine.wav") <(tail -c +45 "$work/reference.wav"); then same=yes; fi

read -r _ rssOne < <(measure "$tool" "$work/one.mp3" "$work/out.wav")
read -r _ rssTwenty < <(measure "$tool" "$work/twenty.mp3" "$work/out.wav")
growth=$((rssTwenty - rssOne))

verdict() { if [ "$1" = 1 ]; then echo "met"; else echo "MISSED"; fi; }
ratioMet=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.05) ? 1 : 0 }')
printf '5-minute MP3 decode: engine %ss, mpg123 -w %ss, ratio %s (goal <= 1.05: %s)\n' \
  "$engine" "$reference" "$ratio" "$(verdict "$ratioMet")"
printf 'Same PCM as mpg123 -w: %s\n' "$same"
printf 'Peak RSS: 1 minute %d KiB, 20 minutes %d KiB, difference %d KiB (goal <= 4096: %s)\n' \
  "$rssOne" "$rssTwenty" "$growth" "$(verdict "$([ "$growth" -le 4096 ] && echo 1 || echo 0)")"
[ "$same" = yes ]
