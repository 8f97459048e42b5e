#!/usr/bin/env bash
# Draws the PNG icons at every size from the scalable icon (two overlapping sound circles blending
# into one wave), with smooth edges at every size. Run again after changing the drawing; the PNGs
# are committed. Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
icons="$(dirname "$0")/../resources/icons"
for s in 32 48 128 256; do
  rsvg-convert --width "$s" --height "$s" --format png "$icons/blendora.svg" -o "$icons/blendora-$s.png"
done
