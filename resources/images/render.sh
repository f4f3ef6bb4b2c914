#!/usr/bin/env bash
# Renders the artwork from parrot.svg: the upright logo (204 x 256) and the square icon
# (256 x 256, the drawing with margins), both 8-bit RGBA on a transparent ground.
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

rsvg-convert -w 204 -h 256 "$here/parrot.svg" -o "$tmp/logo.png"
rsvg-convert -w 180 -h 226 "$here/parrot.svg" -o "$tmp/icon.png"

convert "$tmp/logo.png" -background none -define png:color-type=6 -define png:bit-depth=8 \
  -strip "PNG32:$here/Vorna-Logo.png"
convert "$tmp/icon.png" -background none -gravity center -extent 256x256 \
  -define png:color-type=6 -define png:bit-depth=8 -strip "PNG32:$here/Vorna-Icon.png"
