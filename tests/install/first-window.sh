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
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
echo "one window, Blendora"

# Root with another user's HOME and no session bus (sudo without -H): D-Bus, asked there, starts
# a bus and notes it in that HOME; the program leaves that HOME as it found it. Each on a screen
# of its own, since a bus already started for a screen is found there without a note.
if [ "$(id -u)" = 0 ]; then
  for home in probe theirs; do mkdir "$work/$home" && chown 4321:4321 "$work/$home"; done
  unset DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR
  HOME="$work/probe" xvfb-run -a dbus-send --session --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 || true
  [ -e "$work/probe/.dbus" ] || fail "D-Bus wrote nothing in another user's HOME: no attack to resist"
  HOME="$work/theirs" QT_QPA_PLATFORM=xcb TEMP="$work" xvfb-run -a \
    timeout 3 "$prefix/bin/blendora" >"$work/out" 2>&1 || true
  [ -z "$(ls -A "$work/theirs")" ] || fail "root wrote in another user's HOME: $(find "$work/theirs")"
fi
