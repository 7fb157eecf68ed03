#!/usr/bin/env bash
# Renders the app icon's PNG sizes from its SVG source. Needs rsvg-convert
# (Debian: librsvg2-bin). Run after changing the SVG; the PNGs are committed.
set -euo pipefail
cd "$(dirname "$0")/icons"
for size in 48 128 256; do
    rsvg-convert -w "$size" -h "$size" com.zentrafell.quorvane.svg -o "com.zentrafell.quorvane-$size.png"
done
