#!/bin/bash
# The engine's apply straight onto an NTFS volume (no mount) against wimlib's
# NTFS-3G mode:
#   apply-direct-test.sh <wimengine> <mark_volume_dirty> <make_refused_image> <work folder>
# The source volume of apply-ntfs3g-test.sh is captured uncompressed and
# LZX; each image is applied by the engine onto a fresh volume's offset loop
# device, and once onto a file that holds a volume, and by wimapply onto
# another volume; the volumes are compared through ntfs-3g mounts, file by
# file. A named stream larger than an extended attribute holds is written
# whole; an image whose security descriptor and reparse data libntfs-3g
# refuses fails the apply with exit code 14. Then the refusals, each with the exit code, the reason and every
# byte of the volume unchanged: a mounted volume (its device, and the file
# behind a mounted loop device), no NTFS, a dirty volume, a hibernated one,
# and a volume too small for the image. Needs root (loop devices and
# mounts); without it the test is skipped (exit 77) and says so.
set -euo pipefail
engine=$(realpath "$1")
markDirty=$(realpath "$2")
makeRefused=$(realpath "$3")
work=$4
here=$(dirname "$(realpath "$0")")
volume() { python3 "$here/ntfs_volume.py" "$@"; }

if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: the direct apply test needs root for loop devices and mounts"
  exit 77
fi
for tool in wimcapture wimapply ntfs-3g mkntfs mkfs.fat losetup python3 sha256sum; do
  command -v "$tool" >/dev/null || { echo "error: $tool is missing (scripts/setup-debian.sh)"; exit 1; }
done

source "$here/volume-helpers.sh"
failed=0
fail() { echo "FAILED: $*"; failed=1; }

echo "== the source volume"
newVolume source 64
source=$loop
mountVolume "$source" "$work/source"
volume populate "$work/source"
umount "$work/source"
mountVolume "$source" "$work/source" streams_interface=windows
volume big-stream "$work/source"
umount "$work/source"
wimcapture "$source" "$work/none.wim" ntfs --compress=none >/dev/null
wimcapture "$source" "$work/lzx.wim" ntfs --compress=lzx >/dev/null

# compareWith <ours device> <peer device> <name>: file by file, the big
# stream through the Windows streams interface, and the short name of the
# hard-linked file (ntfs-3g shows none of a file with two names: one name
# less shows it).
compareWith() {
  mountVolume "$1" "$work/$3-ours" ro
  mountVolume "$2" "$work/$3-peer" ro
  volume compare "$work/$3-peer" "$work/$3-ours" || failed=1
  umount "$work/$3-ours" "$work/$3-peer"
  mountVolume "$1" "$work/$3-ours" ro,streams_interface=windows
  mountVolume "$2" "$work/$3-peer" ro,streams_interface=windows
  cmp "$work/$3-peer/big-stream.txt:big" "$work/$3-ours/big-stream.txt:big" ||
    fail "$3: the 70000-byte named stream differs"
  umount "$work/$3-ours" "$work/$3-peer"
  mountVolume "$1" "$work/$3-ours"
  rm "$work/$3-ours/links2/a.dll"
  shortName=$(python3 -c 'import os, sys; print(os.getxattr(sys.argv[1], "system.ntfs_dos_name").decode())' \
    "$work/$3-ours/links2/with a short name.dll" 2>&1) || true
  [ "$shortName" = WITHAS~1.DLL ] || fail "$3: the hard-linked file's short name is \"$shortName\""
  umount "$work/$3-ours"
}

# applyDirect <image> <device> <log>: must succeed without a warning.
applyDirect() {
  code=0
  "$engine" "$1" 1 "$2" >"$3" || code=$?
  if [ "$code" != 0 ] || grep -q 'WARN' "$3"; then
    cat "$3"
    fail "wimengine onto $2 exited with $code or warned"
  fi
  grep -q 'written directly through libntfs-3g' "$3" ||
    fail "the engine did not write $2 directly"
}

for image in none lzx; do
  echo "== $image.wim: wimengine onto the device, wimapply onto another"
  newVolume "$image-engine" 64
  ours=$loop
  applyDirect "$work/$image.wim" "$ours" "$work/$image-engine.log"
  newVolume "$image-wimapply" 64
  peer=$loop
  wimapply "$work/$image.wim" 1 "$peer" >/dev/null
  compareWith "$ours" "$peer" "$image"
done

echo "== lzx.wim onto a file that holds a volume"
truncate -s 64M "$work/file-volume.img"
mkntfs -Q -F -q "$work/file-volume.img" 2>/dev/null
applyDirect "$work/lzx.wim" "$work/file-volume.img" "$work/file-volume.log"
compareWith "$work/file-volume.img" "$peer" file

echo "== security descriptors and reparse data that libntfs-3g refuses"
"$makeRefused" "$work/refused.wim"
newVolume refused-engine 8
code=0
"$engine" "$work/refused.wim" 1 "$loop" >"$work/refused-engine.log" || code=$?
mountVolume "$loop" "$work/refused-engine" ro
if [ "$code" != 14 ] ||
  ! grep -q 'WARN.*1 of the security descriptors could not be applied.*system.ntfs_acl' \
    "$work/refused-engine.log" ||
  ! grep -q 'WARN.*1 of the reparse points could not be applied.*refused-link' \
    "$work/refused-engine.log" ||
  ! grep -q 'ERROR.*1 security descriptors and 1 reparse points could not be written' \
    "$work/refused-engine.log" || [ "$(cat "$work/refused-engine/fine.txt")" != fine ]; then
  cat "$work/refused-engine.log"
  fail "what Windows needs and libntfs-3g refused does not fail the apply (exit $code)"
fi
umount "$work/refused-engine"

# refused <device or file> <what> <expected reason>: exit code 15, the
# reason, and not one byte of the volume changed.
refused() {
  local before after code=0
  before=$(sha256sum <"$1")
  "$engine" "$work/none.wim" 1 "$1" >"$work/refused.log" 2>&1 || code=$?
  after=$(sha256sum <"$1")
  if [ "$code" != 15 ] || ! grep -q "ERROR.*$3" "$work/refused.log"; then
    cat "$work/refused.log"
    fail "$2: not refused as it should be (exit $code)"
  fi
  [ "$before" = "$after" ] || fail "$2: the volume changed"
  echo "refused, unchanged: $2"
}

echo "== refusals"
newVolume mounted 64
mountVolume "$loop" "$work/mounted" ro
refused "$loop" "a volume mounted by ntfs-3g" "is mounted"
umount "$work/mounted"
truncate -s 64M "$work/mounted-file.img"
mkntfs -Q -F -q "$work/mounted-file.img" 2>/dev/null
loop=$(losetup -f --show "$work/mounted-file.img")
loops+=("$loop")
mountVolume "$loop" "$work/mounted-file" ro
refused "$work/mounted-file.img" "the file behind a mounted loop device" "is mounted"
umount "$work/mounted-file"

truncate -s 64M "$work/fat.img"
mkfs.fat -F 32 "$work/fat.img" >/dev/null
fat=$(losetup -f --show "$work/fat.img")
loops+=("$fat")
refused "$fat" "a FAT volume" "holds no NTFS volume"

newVolume dirty 64
"$markDirty" "$loop"
refused "$loop" "a dirty volume" "marked dirty.*ntfsfix -d"

newVolume hibernated 64
mountVolume "$loop" "$work/hibernated"
python3 -c 'import sys; open(sys.argv[1], "wb").write(b"hibr" + bytes(65532))' \
  "$work/hibernated/hiberfil.sys"
umount "$work/hibernated"
refused "$loop" "a hibernated volume" "hibernated Windows.*shut it down fully"

mkdir -p "$work/big-tree"
head -c $((12 << 20)) /dev/urandom >"$work/big-tree/random.bin"
wimcapture "$work/big-tree" "$work/big.wim" big --compress=none >/dev/null
newVolume small 8
before=$(sha256sum <"$loop")
code=0
"$engine" "$work/big.wim" 1 "$loop" >"$work/small.log" 2>&1 || code=$?
[ "$code" = 15 ] && grep -q 'ERROR.*bytes free, the image.s files need 12582912' "$work/small.log" ||
  { cat "$work/small.log"; fail "a volume too small: not refused (exit $code)"; }
[ "$before" = "$(sha256sum <"$loop")" ] || fail "a volume too small: the volume changed"
echo "refused, unchanged: a volume too small"

[ "$failed" = 0 ] && echo "PASSED"
exit "$failed"
