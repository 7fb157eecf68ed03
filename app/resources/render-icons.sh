#!/usr/bin/env bash
# Renders the bundled icons (icons/*.svg, the sources) to the PNG sizes that
# icons.qrc carries, for Qt builds without SVG support, and rewrites icons.qrc.
# Needs rsvg-convert (Debian: librsvg2-bin). Run after changing an SVG.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here"
sizes=(16 24 32 48 64 128)
{
    echo '<!DOCTYPE RCC>'
    echo '<RCC version="1.0">'
    echo '  <qresource prefix="/quorvane">'
    for svg in icons/*.svg; do
        name="$(basename "$svg" .svg)"
        echo "    <file>$svg</file>"
        for size in "${sizes[@]}"; do
            out="icons/png/$name-$size.png"
            mkdir -p icons/png
            rsvg-convert -w "$size" -h "$size" "$svg" -o "$out"
            echo "    <file>$out</file>"
        done
    done
    echo '  </qresource>'
    echo '</RCC>'
} >icons.qrc.new
mv icons.qrc.new icons.qrc
