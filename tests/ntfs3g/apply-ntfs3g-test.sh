#!/bin/bash
# The engine's apply onto an ntfs-3g mount against wimlib's NTFS-3G mode:
#   apply-ntfs3g-test.sh <wimengine> <make_refused_image> <work folder>
# A source volume is built through an ntfs-3g mount (ntfs_volume.py populate)
# and captured with wimcapture from its block device, uncompressed and LZX.
# Each image is applied by the engine onto a fresh volume mounted by ntfs-3g,
# and by wimapply onto another fresh volume's block device; both are then
# compared through ntfs-3g mounts, file by file. A second, small volume holds
# a named stream too large for an extended attribute, which the engine must
# report, and an image whose security descriptor and reparse data ntfs-3g
# refuses must fail the apply with exit code 14. Needs root (loop devices and mounts); without it the test is
# skipped (exit 77) and says so.
set -euo pipefail
engine=$(realpath "$1")
makeRefused=$(realpath "$2")
work=$3
here=$(dirname "$(realpath "$0")")
volume() { python3 "$here/ntfs_volume.py" "$@"; }

if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: the ntfs-3g apply test needs root for loop devices and mounts"
  exit 77
fi
for tool in wimcapture wimapply ntfs-3g mkntfs losetup python3; do
  command -v "$tool" >/dev/null || { echo "error: $tool is missing (scripts/setup-debian.sh)"; exit 1; }
done

source "$here/volume-helpers.sh"

echo "== the source volume"
newVolume source 64
source=$loop
mountVolume "$source" "$work/source"
volume populate "$work/source"
umount "$work/source"
wimcapture "$source" "$work/none.wim" ntfs --compress=none >/dev/null
wimcapture "$source" "$work/lzx.wim" ntfs --compress=lzx >/dev/null

failed=0
for image in none lzx; do
  echo "== $image.wim: wimengine onto an ntfs-3g mount, wimapply onto the block device"
  newVolume "$image-engine" 64
  ours=$loop
  mountVolume "$ours" "$work/$image-engine"
  code=0
  "$engine" "$work/$image.wim" 1 "$work/$image-engine" >"$work/$image-engine.log" || code=$?
  umount "$work/$image-engine"
  if [ "$code" != 0 ] || grep -q 'WARN' "$work/$image-engine.log"; then
    cat "$work/$image-engine.log"
    echo "FAILED: wimengine exited with $code or warned"
    failed=1
  fi
  grep -q 'mounted by ntfs-3g' "$work/$image-engine.log" ||
    { echo "FAILED: the engine did not see the ntfs-3g mount"; failed=1; }
  newVolume "$image-wimapply" 64
  peer=$loop
  wimapply "$work/$image.wim" 1 "$peer" >/dev/null
  mountVolume "$ours" "$work/$image-engine" ro
  mountVolume "$peer" "$work/$image-wimapply" ro
  volume compare "$work/$image-wimapply" "$work/$image-engine" || failed=1
  umount "$work/$image-engine" "$work/$image-wimapply"
  # ntfs-3g shows no short name of a file with two names: one name less
  # shows it. The image lists the name without one first.
  mountVolume "$ours" "$work/$image-engine"
  rm "$work/$image-engine/links2/a.dll"
  shortName=$(python3 -c 'import os, sys; print(os.getxattr(sys.argv[1], "system.ntfs_dos_name").decode())' \
    "$work/$image-engine/links2/with a short name.dll" 2>&1) || true
  [ "$shortName" = WITHAS~1.DLL ] ||
    { echo "FAILED: the hard-linked file's short name is \"$shortName\""; failed=1; }
  umount "$work/$image-engine"
done

echo "== a named stream larger than an extended attribute holds"
newVolume big 8
big=$loop
mountVolume "$big" "$work/big" streams_interface=windows
volume big-stream "$work/big"
umount "$work/big"
wimcapture "$big" "$work/big.wim" big >/dev/null
newVolume big-engine 8
mountVolume "$loop" "$work/big-engine"
code=0
"$engine" "$work/big.wim" 1 "$work/big-engine" >"$work/big-engine.log" || code=$?
if [ "$code" != 0 ] ||
  ! grep -q 'WARN.*1 of the named streams could not be applied.*big-stream.txt:big' \
    "$work/big-engine.log"; then
  cat "$work/big-engine.log"
  echo "FAILED: the stream that cannot be written is not reported (exit $code)"
  failed=1
fi

echo "== security descriptors and reparse data that ntfs-3g refuses"
"$makeRefused" "$work/refused.wim"
newVolume refused-engine 8
mountVolume "$loop" "$work/refused-engine"
code=0
"$engine" "$work/refused.wim" 1 "$work/refused-engine" >"$work/refused-engine.log" || code=$?
if [ "$code" != 14 ] ||
  ! grep -q 'WARN.*1 of the security descriptors could not be applied.*system.ntfs_acl' \
    "$work/refused-engine.log" ||
  ! grep -q 'WARN.*1 of the reparse points could not be applied.*refused-link' \
    "$work/refused-engine.log" ||
  ! grep -q 'ERROR.*1 security descriptors and 1 reparse points could not be written' \
    "$work/refused-engine.log" || [ "$(cat "$work/refused-engine/fine.txt")" != fine ]; then
  cat "$work/refused-engine.log"
  echo "FAILED: what Windows needs and ntfs-3g refused does not fail the apply (exit $code)"
  failed=1
fi

[ "$failed" = 0 ] && echo "PASSED"
exit "$failed"
