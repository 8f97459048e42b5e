#!/usr/bin/env bash
# Times a whole headless mix job of a 5-minute and a 4.5-minute 128 kbps stereo MP3 against
# the floor this design allows (mpg123 -w on each input plus lame -h on the mixed WAV) and
# against sox mixing the same files, and compares the job's peak memory for 5 and 30 minutes.
#
#   bench/bench_job.sh BUILD_DIR     (BUILD_DIR configured with -DBLENDORA_BENCH=ON)
set -euo pipefail

build=${1:-build-bench}
job="$build/bench/bench_job"
[ -x "$job" ] || { echo "bench_job: $job not built" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/bench_job.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work" TEMP="$work"

mp3() { # seconds frequency file
  sox -q -n -r 44100 -c 2 -b 16 -e signed-integer "$work/tone.wav" \
    synth "$1" sine "$2" sine "$(($2 * 5 / 4))" vol 0.4
  lame --quiet -h "$work/tone.wav" "$3"
  rm -f "$work/tone.wav"
}
now() { date +%s.%N; }
seconds() { # command...: wall time in seconds
  local t0 t1
  t0=$(now)
  "$@" >/dev/null 2>&1
  t1=$(now)
  awk -v x="$t0" -v y="$t1" 'BEGIN{print y-x}'
}
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

mp3 300 440 "$work/a.mp3"
mp3 270 660 "$work/b.mp3"

job_s=$(seconds "$job" "$work/a.mp3" "$work/b.mp3" "$work/job.mp3")
dec_a=$(seconds mpg123 -q -w "$work/a.wav" "$work/a.mp3")
dec_b=$(seconds mpg123 -q -w "$work/b.wav" "$work/b.mp3")
sox -q -m "$work/a.wav" "$work/b.wav" "$work/m.wav"
enc=$(seconds lame --quiet -h "$work/m.wav" "$work/floor.mp3")
floor_s=$(awk -v a="$dec_a" -v b="$dec_b" -v c="$enc" 'BEGIN{print a+b+c}')
sox_s=$(seconds sox -m "$work/a.mp3" "$work/b.mp3" -C 128.2 "$work/sox.mp3")
awk -v j="$job_s" -v f="$floor_s" -v s="$sox_s" 'BEGIN {
  printf "job 5 min + 4.5 min: %.2f s; floor (mpg123 -w twice + lame -h): %.2f s; sox -m: %.2f s\n", j, f, s
  printf "(job - 1 s wait) / floor: %.2f (goal <= 1.10); job / sox: %.2f\n", (j - 1) / f, j / s }'

rss5=$(peak_kib "$job" "$work/a.mp3" "$work/b.mp3" "$work/job.mp3")
rm -f "$work"/*.mp3 "$work"/*.wav
mp3 1800 440 "$work/a.mp3"
mp3 1620 660 "$work/b.mp3"
rss30=$(peak_kib "$job" "$work/a.mp3" "$work/b.mp3" "$work/job.mp3")
awk -v a="$rss5" -v b="$rss30" 'BEGIN {
  d = b - a; if (d < 0) d = -d
  printf "job peak RSS: %.1f MiB for 5 min, %.1f MiB for 30 min, apart %.1f MiB (goals <= 64, <= 4)\n",
    a / 1024, b / 1024, d / 1024 }'
