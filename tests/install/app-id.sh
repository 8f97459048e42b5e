#!/usr/bin/env bash
# The installed program's window carries the name of the installed desktop entry: as its X11
# class under openbox, which the entry's StartupWMClass names too, and as its app id under
# sway, since Wayland desktops match windows to launchers by it.
#   app-id.sh <prefix>
set -euo pipefail
prefix=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
fail() { echo "FAIL: $*" >&2; exit 1; }
if [ -z "${BLENDORA_DESKTOP:-}" ]; then
  for desktop in x11 wayland; do
    flag=(); [ "$desktop" = x11 ] || flag=(--wayland)
    BLENDORA_DESKTOP=$desktop "$here/../../scripts/on-desktop" "${flag[@]}" "$0" "$@"
  done
  exit 0
fi
entry=$(ls "$prefix"/share/applications/*.desktop)
id=$(basename "$entry" .desktop)
class=$(sed -n 's/^StartupWMClass=//p' "$entry")
[ "$class" = "$id" ] || fail "StartupWMClass=$class is not the entry's name $id"
grep -qF "<launchable type=\"desktop-id\">$id.desktop</launchable>" \
  "$prefix/share/metainfo/$id.metainfo.xml" || fail "the metainfo launches no $id.desktop"

work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
printf '#!/bin/sh\nexit 0\n' >"$work/xdg-open" # the home page, one start in a hundred
chmod +x "$work/xdg-open"
PATH="$work:$PATH" TEMP="$work" "$prefix/bin/blendora" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 50); do
  if [ "$BLENDORA_DESKTOP" = wayland ]; then
    seen=$(swaymsg -t get_tree | grep -o '"app_id": "[^"]*"' | cut -d'"' -f4 || true)
  else
    win=$(xdotool search --onlyvisible --name '^Blendora$' 2>/dev/null | head -1 || true)
    seen=$([ -z "$win" ] || xprop -id "$win" WM_CLASS | sed -n 's/.*, "\(.*\)"$/\1/p')
  fi
  [ -z "$seen" ] || break
  sleep 0.2
done
[ "$seen" = "$id" ] || fail "on $BLENDORA_DESKTOP the window is ${seen:-not seen}, not $id: $(cat "$work/out")"
echo "on $BLENDORA_DESKTOP the window is $id"
