#!/bin/bash
# Refreshes docs/screenshot.png, the README's picture of the main window,
# from the picture the Wine GUI tests take (build/win64/artifacts/
# main_window.png, made by scripts/test-all.sh): cropped to the window, and
# without the time stamps that would change the file on every run.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
shot=build/win64/artifacts/main_window.png
if [ ! -f "$shot" ]; then
  echo "no $shot: run scripts/test-all.sh first" >&2
  exit 1
fi
mkdir -p docs
convert "$shot" -trim +repage -strip -define png:exclude-chunks=date,time docs/screenshot.png
echo "docs/screenshot.png: $(identify -format '%wx%h' docs/screenshot.png) from $shot"
