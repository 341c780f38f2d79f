#!/bin/sh
# Draws zelnor.ico, the launcher's icon (a chip with a download arrow) in 48,
# 32 and 16 pixels, with ImageMagick. Run from this folder after changing it.
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 256x256 xc:none \
  -fill '#1f4e8c' -draw 'roundrectangle 16,16 239,239 36,36' \
  -fill '#c9d6e8' \
  -draw 'rectangle 0,56 16,72' -draw 'rectangle 0,104 16,120' \
  -draw 'rectangle 0,152 16,168' -draw 'rectangle 0,200 16,216' \
  -draw 'rectangle 239,56 255,72' -draw 'rectangle 239,104 255,120' \
  -draw 'rectangle 239,152 255,168' -draw 'rectangle 239,200 255,216' \
  -fill white -draw 'rectangle 104,44 152,128' -draw 'polygon 64,124 192,124 128,196' \
  -draw 'rectangle 60,204 196,220' "$tmp/icon.png"
convert "$tmp/icon.png" -define icon:auto-resize=48,32,16 zelnor.ico
