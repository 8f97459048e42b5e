#!/usr/bin/env bash
# Builds the engine fuzzer (clang, libFuzzer, ASan, UBSan) and its seed corpus.
#
#   fuzz/build.sh [outdir]            default: build-fuzz
#   outdir/fuzz_engine -max_total_time=60 outdir/corpus outdir/seeds   # fuzz
#   outdir/fuzz_engine outdir/seeds/*                                  # seeds once
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build-fuzz}" && cd "${1:-$root/build-fuzz}" && pwd)
libs="libmpg123 sndfile libopenmpt soxr libmagic"
# libmagic's compiled signatures, as CMakeLists.txt finds them.
magic=$(ls /usr/lib/file/magic.mgc /usr/share/misc/magic.mgc /usr/share/file/magic.mgc 2>/dev/null | head -n 1)

# shellcheck disable=SC2046
clang++ -std=c++20 -g -O1 -Wall -Wextra \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
  -I"$root/src/system" -I"$root/src/audio" $(pkg-config --cflags $libs) -DBLENDORA_MAGIC_DATABASE="\"$magic\"" \
  "$root"/src/system/*.cpp "$root"/src/audio/*.cpp "$root/fuzz/fuzz_engine.cpp" \
  $(pkg-config --libs $libs) -o "$out/fuzz_engine"

# The WAV reader and merge, over the shell pieces they stand on.
# shellcheck disable=SC2046
clang++ -std=c++20 -g -O1 -Wall -Wextra -fPIC \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
  -I"$root/src/system" -I"$root/src/jobfiles" -I"$root/src/app" -I"$root/src/audio" -I"$root/src/pipeline" -I"$root/tests/support" \
  $(pkg-config --cflags Qt6Core Qt6Gui soxr) \
  "$root"/src/app/{AppTitle,ErrorReport,Form1View}.cpp "$root"/src/app/Settings*.cpp "$root"/src/jobfiles/*.cpp \
  "$root"/src/pipeline/{Wave,Merge,WaveConvert,WorkSpace}.cpp "$root"/src/system/*.cpp \
  "$root/tests/support/WaveFiles.cpp" "$root/fuzz/fuzz_merge.cpp" \
  $(pkg-config --libs Qt6Core Qt6Gui soxr) -o "$out/fuzz_merge"

seeds="$out/seeds"
mkdir -p "$seeds" "$out/corpus"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sox -n -r 22050 -c 1 -b 16 "$tmp/tone.wav" synth 0.1 sine 440 vol 0.5
lame --quiet -b 32 "$tmp/tone.wav" "$seeds/tone.mp3"
sox -n -r 44100 -c 2 -b 16 "$tmp/tone2.wav" synth 0.1 sine 440 vol 0.5
lame --quiet "$tmp/tone2.wav" "$tmp/tone2.mp3"
cat "$seeds/tone.mp3" "$tmp/tone2.mp3" > "$seeds/joined.mp3"
sox -n -r 8000 -c 1 -b 16 "$seeds/tone.wav" synth 0.05 sine 440 vol 0.5
sox -n -r 8000 -c 2 -b 24 "$seeds/tone.flac" synth 0.05 sine 440 vol 0.5
sox -n -r 8000 -c 1 "$seeds/tone.ogg" synth 0.05 sine 440 vol 0.5
sox -n -r 8000 -c 1 -b 16 "$seeds/tone.aiff" synth 0.05 sine 440 vol 0.5
# Real modules and MP3s from Debian packages (tests/corpus/SOURCES).
cp "$root"/tests/corpus/files/* "$seeds/"
# A 4-channel MOD: one looped square-wave sample, eight rows.
python3 - "$seeds/tune.mod" <<'PY'
import struct, sys
mod = bytearray(1084 + 1024)
mod[0:4] = b"test"
mod[20 + 22:20 + 30] = struct.pack(">HBBHH", 32, 0, 64, 0, 32)
mod[950], mod[951] = 1, 127
mod[1080:1084] = b"M.K."
mod[1084:1088] = bytes([0x01, 0xAC, 0x10, 0x00])
mod[1084 + 7 * 16 + 2] = 0x0D
mod += bytes([100] * 32 + [156] * 32)
open(sys.argv[1], "wb").write(mod)
PY
# Merge seeds: two WAVs of one format, and of two formats, split at the length of the first.
mkdir -p "$out/merge-seeds" "$out/merge-corpus"
pair() { # name first.wav second.wav
  python3 - "$out/merge-seeds/$1" "$2" "$3" <<'PY'
import struct, sys
a, b = open(sys.argv[2], "rb").read(), open(sys.argv[3], "rb").read()
open(sys.argv[1], "wb").write(struct.pack("<H", len(a)) + a + b)
PY
}
sox -n -r 8000 -c 1 -b 16 "$tmp/m1.wav" synth 0.02 sine 440 vol 0.5
sox -n -r 8000 -c 1 -b 16 "$tmp/m2.wav" synth 0.03 sine 660 vol 0.5
sox -n -r 11025 -c 2 -b 16 "$tmp/s1.wav" synth 0.02 sine 330 vol 0.5
pair same.bin "$tmp/m1.wav" "$tmp/m2.wav"
pair mixed.bin "$tmp/m1.wav" "$tmp/s1.wav"
echo "fuzz/build.sh: $out/fuzz_engine, $(ls "$seeds" | wc -l) seeds in $seeds"
