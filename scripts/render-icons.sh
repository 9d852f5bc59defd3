#!/usr/bin/env bash
# Renders the committed PNG icons from the hand-written SVGs (run after changing either SVG):
# 16 px from the pixel-aligned pelmor-16.svg, every other size from pelmor.svg.
set -euo pipefail
icons="$(cd "$(dirname "$0")/../src/resources/icons" && pwd)"
command -v rsvg-convert >/dev/null || "$(dirname "$0")/setup.sh" librsvg2-bin
for size in 16 24 32 48 64 128 256; do
    source="$icons/pelmor.svg"
    [ "$size" -eq 16 ] && source="$icons/pelmor-16.svg"
    mkdir -p "$icons/${size}x${size}"
    rsvg-convert --width "$size" --height "$size" --output "$icons/${size}x${size}/pelmor.png" "$source"
    echo "${size}x${size}/pelmor.png"
done
# The Windows icon holds every size (ImageMagick's own convert; /usr/local may hold another).
[ -x /usr/bin/convert ] || "$(dirname "$0")/setup.sh" imagemagick
/usr/bin/convert $(for size in 16 24 32 48 64 128 256; do echo "$icons/${size}x${size}/pelmor.png"; done) \
    "$icons/../windows/pelmor.ico"
echo "../windows/pelmor.ico"
