#!/usr/bin/env bash
# Renders the application icon (ambrel.svg) into the PNG sizes the package
# installs under share/icons/hicolor. The PNGs are committed; run this again
# after changing the SVG (needs rsvg-convert from librsvg2-bin).
set -euo pipefail
dir=$(cd "$(dirname "$0")/../src/app/resources/desktop" && pwd)
for n in 16 32 48 64 128 256; do
  mkdir -p "$dir/icons/${n}x${n}"
  rsvg-convert --width "$n" --height "$n" --keep-aspect-ratio \
    --output "$dir/icons/${n}x${n}/ambrel.png" "$dir/ambrel.svg"
done
