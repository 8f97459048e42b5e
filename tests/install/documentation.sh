#!/usr/bin/env bash
# The installed manual page and changelog: the manual reads without groff warnings, both carry
# the project's version, and both are compressed reproducibly (gzip -9n: no name, no time).
#   documentation.sh <prefix> <project version>
set -euo pipefail
prefix=$1 version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v groff >/dev/null || { echo "SKIP: groff is not installed"; exit 77; }
manual=$prefix/share/man/man1/blendora.1.gz
changelog=$prefix/share/doc/blendora/changelog.gz

for gz in "$manual" "$changelog"; do
  # Header bytes 3 to 8: flags (no file name), time stamp 0, extra flags 2 (maximum compression).
  header=$(od -An -tx1 -j3 -N6 "$gz" | tr -d ' \n')
  [ "$header" = 000000000002 ] || fail "$gz is not compressed with gzip -9n (header $header)"
done

warnings=$(zcat "$manual" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
zcat "$manual" | grep -q "^\.TH BLENDORA 1 \"[0-9-]*\" \"Blendora $version\"" ||
  fail "the manual page does not carry version $version: $(zcat "$manual" | grep '^\.TH')"
top=$(zcat "$changelog" | head -1)
[ "$top" = "blendora ($version) unstable; urgency=medium" ] ||
  fail "the changelog's newest entry is not $version: $top"
echo "manual page and changelog of $version are in order"
