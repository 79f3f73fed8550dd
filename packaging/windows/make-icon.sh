#!/usr/bin/env bash
# Remakes data/torvane.ico (the Windows program icon) from data/torvane.svg. Needs rsvg-convert
# (librsvg2-bin) and icotool (icoutils); the icon is kept in the tree, so builds need neither.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 16 24 32 48 64 256; do
  rsvg-convert -w $size -h $size "$root/data/torvane.svg" -o "$work/$size.png"
done
# The large size is stored as PNG, as Windows expects from 256 pixels on.
icotool -c -o "$root/data/torvane.ico" "$work"/{16,24,32,48,64}.png -r "$work/256.png"
