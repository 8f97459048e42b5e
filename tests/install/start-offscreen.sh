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

# The command line: status, where the answer goes, and what it says. Options need no display;
# after "--" even "--version" is a file, so then the missing display is what is said.
while IFS='|' read -r args status stream pattern; do
  rc=0
  # shellcheck disable=SC2086 # the arguments are split on purpose
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/blendora" $args \
    >"$work/stdout" 2>"$work/stderr" || rc=$?
  other=stderr; [ "$stream" = stdout ] || other=stdout
  [ "$rc" = "$status" ] && grep -qE -- "$pattern" "$work/$stream" && [ ! -s "$work/$other" ] ||
    fail "blendora $args: exit $rc, stdout: $(cat "$work/stdout") stderr: $(cat "$work/stderr")"
done <<'ROWS'
--version|0|stdout|^Blendora [0-9]+\.[0-9]+\.[0-9]+$
--help|0|stdout|--version +show the name and version
-h|0|stdout|^Usage: blendora
one.mp3 --help two.mp3|0|stdout|^Usage: blendora
-platform offscreen --version|0|stdout|^Blendora
-x|2|stderr|^blendora: unknown option -x$
--bogus one.mp3|2|stderr|unknown option --bogus
-- --version|1|stderr|no display
ROWS
# With a display, --version is answered and the window never opens, nor is anything stored.
rc=0
mkdir "$work/unused-config"
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/unused-config" timeout 10 "$prefix/bin/blendora" \
  --version >/dev/null 2>&1 || rc=$?
[ "$rc" = 0 ] && [ -z "$(ls -A "$work/unused-config")" ] ||
  fail "--version with a display: exit $rc, settings: $(ls -A "$work/unused-config")"
echo "the installed program started from $work/elsewhere"
