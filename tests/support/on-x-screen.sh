#!/usr/bin/env bash
# Runs a test program on a virtual X screen of its own under the openbox window manager, so
# window activation and keyboard focus are those of a desktop.
#   on-x-screen.sh <program> [arguments]
set -euo pipefail
for tool in Xvfb openbox; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps installs it)"; exit 77; }
done
work=$(mktemp -d)
xvfb= wm=
stop() {
  [ -z "$wm" ] || kill "$wm" 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT
wait_for() {
  for _ in $(seq 200); do
    [ -s "$1" ] && return 0
    sleep 0.05
  done
  echo "FAIL: $2 did not start" >&2
  exit 1
}
# The server picks a free display itself, so parallel runs never race for one.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
wait_for "$work/display" Xvfb
export DISPLAY=":$(head -1 "$work/display")"
mkdir -p "$work/config"
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
# Openbox runs its start-up command once it manages the screen.
XDG_CONFIG_HOME="$work/config" openbox --startup "sh -c 'echo up >$work/wm'" >"$work/wm.log" 2>&1 &
wm=$!
wait_for "$work/wm" openbox
QT_QPA_PLATFORM=xcb "$@"
