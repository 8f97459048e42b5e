#!/usr/bin/env bash
# On a virtual screen, the installed program's only window after start-up is its main window:
# no message box, also with no settings yet.
#   first-window.sh <prefix>
set -euo pipefail
prefix=$(realpath "$1")
for tool in xvfb-run xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps installs it)"; exit 77; }
done
if [ -z "${BLENDORA_IN_XVFB:-}" ]; then
  exec env BLENDORA_IN_XVFB=1 xvfb-run -a "$0" "$@"
fi
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/config"
mkdir -m 0700 "$work/runtime"
# One start in a hundred opens the home page; a browser that does nothing keeps that quiet.
printf '#!/bin/sh\nexit 0\n' >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"

cd "$work"
PATH="$work/bin:$PATH" QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$work/config" \
  XDG_RUNTIME_DIR="$work/runtime" TEMP="$work" "$prefix/bin/blendora" >"$work/out" 2>&1 &
pid=$!
sleep 2
kill -0 "$pid" 2>/dev/null || fail "the program ended within two seconds: $(cat "$work/out")"
names=$(for w in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
  xdotool getwindowname "$w"
done | grep -v '^$' || true)
[ "$names" = "Blendora" ] || fail "the visible windows are: ${names:-none}"
echo "one window, Blendora"
