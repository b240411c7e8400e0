#!/bin/bash
# Installs what is missing, builds the program and starts it under Wine in a
# fresh prefix of its own (build/run-prefix), on your X display. Without a
# display it runs inside Xvfb, saves a screenshot and says where.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."

bash scripts/setup-debian.sh
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build/win64 -j"$(nproc)" --target roamdeck

prefix=$PWD/build/run-prefix
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  bash tests/bench/make-prefix.sh "$prefix" "$DISPLAY"
  echo "starting build/win64/bin/roamdeck.exe on $DISPLAY"
  /usr/lib/wine/wine64 build/win64/bin/roamdeck.exe
  exit 0
fi

number=70
while [ -e "/tmp/.X11-unix/X$number" ]; do number=$((number + 1)); done
export DISPLAY=":$number"
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null; kill $xvfb 2>/dev/null' EXIT
sleep 1
bash tests/bench/make-prefix.sh "$prefix" "$DISPLAY"
/usr/lib/wine/wine64 build/win64/bin/roamdeck.exe </dev/null >/dev/null 2>&1 &
sleep 5
shot=$PWD/build/roamdeck-screenshot.png
xwd -root -display "$DISPLAY" | convert xwd:- "png:$shot"
echo "No X display: the program ran inside Xvfb. Screenshot saved to $shot"
