#!/usr/bin/env bash
# Times the merge of a 5-minute and a 4.5-minute stereo 44100 Hz WAV against a plain cp of the
# longer one, and compares the merge's peak memory for 5-minute and 30-minute inputs.
#
#   bench/bench_merge.sh BUILD_DIR     (BUILD_DIR configured with -DBLENDORA_BENCH=ON)
set -euo pipefail

build=${1:-build-bench}
merge="$build/bench/bench_merge"
[ -x "$merge" ] || { echo "bench_merge: $merge not built" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/bench_merge.XXXXXX")
trap 'rm -rf "$work"' EXIT

tone() { # seconds frequency file
  sox -q -n -r 44100 -c 2 -b 16 -e signed-integer "$3" synth "$1" sine "$2" sine "$(($2 * 3 / 2))" vol 0.5
}
now() { date +%s.%N; }
# Best of three, in seconds: the first run of anything pays for cold caches.
best() {
  local best=
  for _ in 1 2 3; do
    rm -f "$work/out.wav"
    local t0 t1
    t0=$(now)
    "$@" >/dev/null
    t1=$(now)
    best=$(awk -v a="$best" -v b="$(awk -v x="$t0" -v y="$t1" 'BEGIN{print y-x}')" \
      'BEGIN{print (a=="" || b<a) ? b : a}')
  done
  echo "$best"
}
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

tone 300 440 "$work/a5.wav"
tone 270 660 "$work/b45.wav"
merge_s=$(best "$merge" "$work/a5.wav" "$work/b45.wav" "$work/out.wav")
cp_s=$(best cp "$work/a5.wav" "$work/out.wav")
awk -v m="$merge_s" -v c="$cp_s" 'BEGIN {
  printf "merge 5 min + 4.5 min: %.3f s, cp of the longer: %.3f s, ratio %.2f (goal <= 3)\n", m, c, m / c }'

rm -f "$work/out.wav"
rss5=$(peak_kib "$merge" "$work/a5.wav" "$work/b45.wav" "$work/out.wav")
rm -f "$work"/*.wav
tone 1800 440 "$work/a30.wav"
tone 1620 660 "$work/b27.wav"
rss30=$(peak_kib "$merge" "$work/a30.wav" "$work/b27.wav" "$work/out.wav")
awk -v a="$rss5" -v b="$rss30" 'BEGIN {
  d = b - a; if (d < 0) d = -d
  printf "peak RSS: %.1f MiB for 5 min, %.1f MiB for 30 min, apart %.1f MiB (goal <= 4)\n",
    a / 1024, b / 1024, d / 1024 }'
