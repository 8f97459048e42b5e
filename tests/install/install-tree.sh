#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks that exactly the expected files land there.
#   install-tree.sh <build dir> <prefix>
set -euo pipefail
build=$1 prefix=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

id=example.quorvane.Blendora
expected=$(sort <<EOF2
bin/blendora
lib/blendora/blendora
lib/blendora/Samples/sample1.mp3
lib/blendora/Samples/sample2.mp3
share/applications/$id.desktop
share/metainfo/$id.metainfo.xml
share/icons/hicolor/32x32/apps/$id.png
share/icons/hicolor/48x48/apps/$id.png
share/icons/hicolor/128x128/apps/$id.png
share/icons/hicolor/256x256/apps/$id.png
share/icons/hicolor/scalable/apps/$id.svg
share/man/man1/blendora.1.gz
share/doc/blendora/copyright
share/doc/blendora/changelog.gz
EOF2
)
actual=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "installed files differ from the expected ones:
$(diff <(echo "$expected") <(echo "$actual") || true)"

# The link must stay valid wherever the tree is moved, DESTDIR included.
link=$(readlink "$prefix/bin/blendora")
[[ $link != /* ]] || fail "bin/blendora is an absolute link: $link"
[ "$(readlink -f "$prefix/bin/blendora")" = "$(readlink -f "$prefix/lib/blendora/blendora")" ] ||
  fail "bin/blendora does not lead to lib/blendora/blendora"
[ -x "$prefix/lib/blendora/blendora" ] || fail "the program is not executable"
for n in 1 2; do
  [ -s "$prefix/lib/blendora/Samples/sample$n.mp3" ] || fail "sample$n.mp3 is empty"
done

# Each icon is the picture of its own size.
for size in 32 48 128 256; do
  png="$prefix/share/icons/hicolor/${size}x$size/apps/$id.png"
  read -r w h < <(od -An -tu1 -j16 -N8 "$png" |
    awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
  [ "$w $h" = "$size $size" ] || fail "the ${size}px icon is ${w}x$h"
done

# The large icons are the scalable one drawn at their size: smooth edges, no notches.
svg="$prefix/share/icons/hicolor/scalable/apps/$id.svg"
if command -v rsvg-convert >/dev/null && command -v compare >/dev/null; then
  drawn=$(mktemp -d)
  for size in 128 256; do
    rsvg-convert --width $size --height $size "$svg" -o "$drawn/$size.png"
    # compare exits 1 when the pictures differ at all; the figure says by how much.
    rmse=$(compare -metric RMSE "$prefix/share/icons/hicolor/${size}x$size/apps/$id.png" \
      "$drawn/$size.png" null: 2>&1 | sed -n 's/.*(\(.*\))$/\1/p' || true)
    awk -v d="$rmse" 'BEGIN { exit !(d != "" && d < 0.01) }' ||
      fail "the ${size}px icon is not the scalable icon drawn at that size (RMSE ${rmse:-?})"
  done
  rm -rf "$drawn"
fi

# The desktop entry starts what bin/ holds and names the installed icon.
entry="$prefix/share/applications/$id.desktop"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[ -e "$prefix/bin/$exec_name" ] || fail "Exec=$exec_name is not in bin/"
icon=$(sed -n 's/^Icon=//p' "$entry")
[ "$icon" = "$id" ] || fail "Icon=$icon is not the installed icon $id"
echo "installed tree in $prefix is complete"
