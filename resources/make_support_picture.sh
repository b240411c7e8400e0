#!/bin/bash
# Draws the update window's picture: a 126 x 283 baseline JPEG (JFIF).
# Run once by hand when the drawing changes; the file is kept in the tree.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")"
convert -size 126x283 gradient:'#1d4f91-#a9cbe8' \
  -fill '#ffffff' -draw 'circle 63,90 63,52' \
  -fill '#1d4f91' -draw 'polygon 50,70 76,90 50,110' \
  -fill '#ffffff' -draw 'rectangle 20,200 106,206' -draw 'rectangle 20,216 90,222' \
  -draw 'rectangle 20,232 100,238' \
  -strip -interlace none -quality 70 -sampling-factor 2x2 JPEG:support_update.jpg
