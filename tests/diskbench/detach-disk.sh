#!/bin/bash
# detach-disk.sh PREFIX STATE: undoes attach-disk.sh: stops the driver, takes
# the drive letters away, unmounts and flushes the partitions and detaches
# every loop device, so that the image can be compared or booted. Fails when
# anything is still mounted, attached or running.
set -uo pipefail
prefix=$(realpath "$1") state=$(realpath "$2")
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
wine=/usr/lib/wine/wine64
[ -f "$state/made" ] || { rm -rf "$state"; exit 0; }
status=0
if grep -q '^driver ' "$state/made"; then
  "$wine" sc stop roamdisk </dev/null >/dev/null 2>&1
  for _ in $(seq 50); do
    "$wine" sc query roamdisk </dev/null 2>/dev/null | grep -q STOPPED && break
    sleep 0.2
  done
  "$wine" sc query roamdisk </dev/null 2>/dev/null | grep -q STOPPED ||
    { echo "the test disk driver is still running" >&2; status=1; }
fi
while read -r kind what; do
  [ "$kind" = link ] && rm -f "$what"
done <"$state/made"
while read -r kind link target; do
  [ "$kind" = old-link ] && ln -sfn "$target" "$link"
done <"$state/made"
while read -r kind what; do
  if [ "$kind" = mount ]; then
    umount "$what" 2>/dev/null || { sleep 1; umount "$what"; } || status=1
  fi
done <"$state/made"
while read -r kind what; do
  if [ "$kind" = loop ]; then
    blockdev --flushbufs "$what" 2>/dev/null
    losetup -d "$what" 2>/dev/null || { sleep 1; losetup -d "$what"; } || status=1
  fi
done <"$state/made"
sync
while read -r kind what; do
  case $kind in
    mount) mountpoint -q "$what" && { echo "$what is still mounted" >&2; status=1; } ;;
    loop) losetup "$what" >/dev/null 2>&1 && { echo "$what is still attached" >&2; status=1; } ;;
  esac
done <"$state/made"
[ "$status" -eq 0 ] && rm -rf "$state"
exit "$status"
