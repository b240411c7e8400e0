#!/bin/bash
# make-prefix.sh PREFIX [DISPLAY] [LAYOUT]
# Makes a throwaway 64-bit Wine prefix for the program and its tests:
# Chinese locale (ANSI code page 936), a virtual desktop so that windows get
# title bars without a window manager, the caption-button font, and drives
# of every kind the program tells apart. LAYOUT picks them:
#   lists (default): C: fixed (the prefix's own), D: CD-ROM, E: removable,
#                    F: network, G: fixed
#   install:         C: fixed (the running system), D: fixed (an empty target),
#                    E: CD-ROM (the setup medium), F: removable
# Z: (the whole Linux file system, where the programs under test live) is
# marked as a network drive so that it never appears among the partitions.
# With TINY_DRIVE set to a small mounted file system, it becomes T: (typed
# network, so that it stays out of the partition lists), for tests of writes
# that run out of space.
# Never touches the user's own prefix.
set -euo pipefail

prefix=$(realpath -m "$1")
display=${2:-${DISPLAY:-}}
layout=${3:-lists}
case $layout in
  lists) types=(cdrom floppy network hd) ;;
  install) types=(hd cdrom floppy network) ;;
  *) echo "unknown drive layout: $layout" >&2; exit 2 ;;
esac

export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
[ -n "$display" ] && export DISPLAY="$display"
wine=/usr/lib/wine/wine64

rm -rf "$prefix"
mkdir -p "$prefix"
"$wine" wineboot -i </dev/null >/dev/null 2>&1
wineserver -w

mkdir -p "$prefix/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true

for letter in d e f g; do
  mkdir -p "$prefix/drives/$letter"
  ln -sfn "$prefix/drives/$letter" "$prefix/dosdevices/$letter:"
done

if [ -n "${TINY_DRIVE:-}" ]; then
  ln -sfn "$TINY_DRIVE" "$prefix/dosdevices/t:"
fi

cat >"$prefix/bench.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_LOCAL_MACHINE\Software\Wine\Drives]
"c:"="hd"
"t:"="network"
"z:"="network"
REG
letters=(d e f g)
for i in 0 1 2 3; do
  echo "\"${letters[$i]}:\"=\"${types[$i]}\"" >>"$prefix/bench.reg"
done
"$wine" regedit /S "$prefix/bench.reg" </dev/null >/dev/null 2>&1
# Drive types take effect only when the server starts again.
wineserver -k || true
wineserver -w || true
