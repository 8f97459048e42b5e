#!/usr/bin/env bash
# The installed desktop entry and AppStream metainfo pass their validators, offline.
#   validate-metadata.sh <prefix> <project version>
set -euo pipefail
prefix=$1 version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps installs it)"; exit 77; }
done
id=example.quorvane.Blendora
# Hints and warnings count as failures too.
report=$(desktop-file-validate "$prefix/share/applications/$id.desktop" 2>&1) && [ -z "$report" ] ||
  fail "desktop entry: $report"
# The tree check also finds the desktop entry the metainfo launches.
appstreamcli validate-tree --no-net "$prefix" || fail "metainfo"
newest=$(grep -o '<release version="[^"]*"' "$prefix/share/metainfo/$id.metainfo.xml" | head -1)
[ "$newest" = "<release version=\"$version\"" ] ||
  fail "the newest release in the metainfo is not $version: $newest"
