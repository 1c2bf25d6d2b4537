#!/usr/bin/env bash
# Renders the PNG sizes of the icon from tablaweaver.svg (run after changing the drawing; the
# PNGs are kept in the repository so that a build needs no renderer).
#   bash packaging/icons/render-icons.sh
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" tablaweaver.svg -o "tablaweaver-$size.png"
done
