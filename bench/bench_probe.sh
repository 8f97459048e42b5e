#!/usr/bin/env bash
# The stream attempt's probe on 1 MB and 4 MB of one repeated pattern (flat colours whose bytes
# read as MPEG frames, raw) and of real MP3, each as the ratio of the 4 MB time to the 1 MB time.
#   bench/bench_probe.sh BUILD_DIR     (BUILD_DIR configured with -DBLENDORA_BENCH=ON)
# Goals: every ratio <= 5 (in proportion to the size: 4); every 1 MB file under a second.
set -euo pipefail

build=${1:-build-bench}
tool="$build/bench/probe_time"
[ -x "$tool" ] || { echo "bench_probe: $tool not built" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pattern() { # three bytes, MB, output
  python3 -c "import sys; sys.stdout.buffer.write(bytes.fromhex('$1') * ($2 * 1048576 // 3))" >"$3"
}
song() { # seconds, output: about 1 MB a minute at 128 kb/s
  sox -R -n -r 44100 -c 2 -b 16 -t wav - synth "$1" sine 440 pinknoise vol 0.5 2>/dev/null |
    lame --quiet -b 128 - "$2"
}
pattern fffd04 1 "$work/free1"
pattern fffd04 4 "$work/free4"
pattern fffb90 1 "$work/frames1"
pattern fffb90 4 "$work/frames4"
song 65 "$work/song1.mp3"
song 262 "$work/song4.mp3"

status=0
for kind in "free:free-format look-alikes (FF FD 04)" "frames:frames of silence (FF FB 90)" \
  "song:real MP3, 128 kb/s"; do
  name=${kind%%:*} label=${kind#*:}
  [ "$name" = song ] && ext=.mp3 || ext=
  read -r one verdictOne < <("$tool" "$work/${name}1$ext")
  read -r four _ < <("$tool" "$work/${name}4$ext")
  ratio=$(awk -v a="$four" -v b="$one" 'BEGIN { printf "%.2f", a / (b > 0.0005 ? b : 0.0005) }')
  met=$(awk -v r="$ratio" -v o="$one" 'BEGIN { print (r <= 5 && o < 1) ? "met" : "MISSED" }')
  printf '%s: 1 MB %ss (%s), 4 MB %ss, ratio %s (goal <= 5, 1 MB < 1 s: %s)\n' \
    "$label" "$one" "$verdictOne" "$four" "$ratio" "$met"
  [ "$met" = met ] || status=1
done
exit $status
