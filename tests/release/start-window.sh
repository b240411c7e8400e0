#!/bin/bash
# start-window.sh EXE PREFIX PICTURE: starts the 64-bit program EXE under
# Wine, in a fresh prefix PREFIX on a display of its own (Xvfb), and waits
# until its main window shows; saves a picture of the screen to PICTURE.
# Exits 0 when the window appeared within a minute; the prefix is removed
# at the end. No virtual desktop, so that the window is an X window of its
# own that xdotool can find by title.
set -euo pipefail
exe=$(realpath "$1")
prefix=$(realpath -m "$2")
picture=$3

number=110
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
  number=$((number + 1))
done
export DISPLAY=":$number" WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
xvfb=$!
# The prefix (some 700 MB) goes again at the end; only the picture stays.
trap 'wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true
      kill $xvfb 2>/dev/null || true; rm -rf "$prefix"' EXIT
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X$number" ] && break
  sleep 0.1
done

rm -rf "$prefix"
mkdir -p "$prefix"
/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
wineserver -w

# Started from its own folder, as a user double-clicks it in the unpacked zip.
(cd "$(dirname "$exe")" && exec /usr/lib/wine/wine64 "$exe" </dev/null >/dev/null 2>&1) &
for _ in $(seq 120); do
  if xdotool search --name '^Roamdeck - Lantrel$' >/dev/null 2>&1; then
    sleep 1  # let it paint
    xwd -root -display "$DISPLAY" | convert xwd:- "png:$picture"
    exit 0
  fi
  sleep 0.5
done
echo "no window titled \"Roamdeck - Lantrel\" within a minute"
exit 1
