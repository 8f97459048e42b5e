#!/usr/bin/env bash
# Starts the installed program through bin/ from an unrelated folder with no settings yet: it
# must stay up, say nothing, and write nothing into its own folder.
#   start-offscreen.sh <prefix>
set -euo pipefail
prefix=$(realpath "$1")
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/elsewhere" "$work/config"
mkdir -m 0700 "$work/runtime"

snapshot() { (cd "$prefix" && find . -printf '%p %s %T@ %m\n' | sort); }
before=$(snapshot)

cd "$work/elsewhere"
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" \
  TEMP="$work" "$prefix/bin/blendora" >"$work/out" 2>&1 &
pid=$!
sleep 2
kill -0 "$pid" 2>/dev/null || { wait "$pid" && rc=0 || rc=$?; pid=
  fail "the program ended within two seconds (exit $rc): $(cat "$work/out")"; }
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=

# One start in a hundred opens the home page, which the offscreen platform declines.
output=$(grep -v "does not support QPlatformServices::openUrl() for 'https://quorvane.example/'" \
  "$work/out" || true)
[ -z "$output" ] || fail "the program wrote: $output"
[ "$(snapshot)" = "$before" ] || fail "something was written beside the program:
$(diff <(echo "$before") <(snapshot) || true)"
# Without any display: one plain line and exit status 1, not the toolkit's abort.
rc=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/blendora" >"$work/out" 2>&1 || rc=$?
[ "$rc" = 1 ] && [ "$(wc -l <"$work/out")" = 1 ] && grep -q "no display" "$work/out" ||
  fail "without a display (exit $rc): $(cat "$work/out")"
echo "the installed program started from $work/elsewhere"
