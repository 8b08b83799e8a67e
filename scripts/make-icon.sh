#!/usr/bin/env bash
# Draws the program's icon (a green tile with a white download arrow) and writes res/app.ico
# with 48x48, 32x32 and 16x16 images at 32 bits per pixel. Deterministic: the same
# ImageMagick gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 192x192 xc:none \
    -fill 'rgb(26,176,119)' -draw 'roundrectangle 8,8 183,183 28,28' \
    -fill white -draw 'rectangle 80,36 111,104' \
    -draw 'polygon 52,100 139,100 96,146' \
    -draw 'rectangle 48,152 143,164' \
    +set date:create +set date:modify -strip "$tmp/source.png"
convert "$tmp/source.png" -define icon:auto-resize=48,32,16 -type TrueColorAlpha res/app.ico
echo "res/app.ico written"
