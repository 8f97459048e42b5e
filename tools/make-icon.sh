#!/usr/bin/env bash
# Draws the program icon (two overlapping sound circles blending into one) at every size.
# Run again after changing the drawing; the PNGs are committed.
set -euo pipefail
out="$(dirname "$0")/../resources/icons"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
wave=$(awk 'BEGIN{px=40;py=128;for(x=44;x<=216;x+=4){y=128-34*sin((x-40)/176*4*3.14159);printf "line %d,%d %d,%d ",px,py,x,y;px=x;py=y}}')
convert -size 256x256 xc:none \
  -fill '#1f2a44' -draw 'roundrectangle 8,8 247,247 44,44' \
  -fill 'rgba(255,122,69,0.85)' -draw 'circle 100,128 100,48' \
  -fill 'rgba(72,196,255,0.85)' -draw 'circle 156,128 156,48' \
  -stroke white -strokewidth 12 -fill none \
  -draw "$wave" \
  "$tmp/icon256.png"
for s in 32 48 128 256; do
  convert "$tmp/icon256.png" -resize ${s}x${s} "PNG32:$out/blendora-$s.png"
done
