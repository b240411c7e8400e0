#!/bin/bash
# make-prefix.sh PREFIX [DISPLAY]
# Makes a throwaway 64-bit Wine prefix for the program and its tests:
# Chinese locale (ANSI code page 936), a virtual desktop so that windows get
# title bars without a window manager, the caption-button font, and drives
# of every kind the program tells apart:
#   C: fixed (the prefix's own), D: CD-ROM, E: removable, F: network, G: fixed.
# Z: (the whole Linux file system, where the programs under test live) is
# marked as a network drive so that it never appears among the partitions.
# Never touches the user's own prefix.
set -euo pipefail

prefix=$(realpath -m "$1")
display=${2:-${DISPLAY:-}}

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

cat >"$prefix/bench.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_LOCAL_MACHINE\Software\Wine\Drives]
"c:"="hd"
"d:"="cdrom"
"e:"="floppy"
"f:"="network"
"g:"="hd"
"z:"="network"
REG
"$wine" regedit /S "$prefix/bench.reg" </dev/null >/dev/null 2>&1
# Drive types take effect only when the server starts again.
wineserver -k || true
wineserver -w || true
