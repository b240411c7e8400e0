#!/bin/bash
# The Windows build of bootsect, run under Wine, writes its boot code through
# \\.\H: into a partition image (Wine gives raw access to a drive whose
# "h::" device link names a file), and the disk made from that image boots.
#   wine-bootsect.sh <bootsect.exe> <mbr.bin>
set -euo pipefail
bootsect=$1 mbr=$2
here=$(dirname "$(realpath "$0")")
bench=${ROAMDECK_BENCH:?run through ctest, after the bench_start fixture}
dosdevices="$bench/prefix/dosdevices"
work=$(mktemp -d)
cleanup() {
  rm -f "$dosdevices/h:" "$dosdevices/h::"
  rm -rf "$work"
}
trap cleanup EXIT

bash "$here/make-test-bootmgr.sh" "$work/bootmgr"
start=2048 sectors=98304
truncate -s $((sectors * 512)) "$work/part.img"
mkntfs -F -Q -q -p $start -H 255 -S 63 "$work/part.img" 2>/dev/null
ntfscp -q "$work/part.img" "$work/bootmgr" /bootmgr

mkdir "$work/h"
ln -sfn "$work/h" "$dosdevices/h:"
ln -sfn "$work/part.img" "$dosdevices/h::"
set +e
output=$(bash "$here/../bench/wine-run.sh" "$bootsect" /NT60 H: 2>&1)
code=$?
set -e
printf '%s\n' "$output"
[ "$code" -eq 0 ] || { echo "bootsect.exe exited with $code"; exit 1; }
grep -q "NTFS boot code that starts BOOTMGR was written to H:" <<<"$output"

# The disk around it: an MBR with the project's own code, the partition active.
truncate -s $(((start + sectors + 2048) * 512)) "$work/disk.img"
printf 'label: dos\nlabel-id: 0x2468ace0\nstart=%d, size=%d, type=7, bootable\n' $start $sectors |
  sfdisk -q "$work/disk.img"
dd if="$mbr" of="$work/disk.img" bs=440 count=1 conv=notrunc status=none
dd if="$work/part.img" of="$work/disk.img" bs=512 seek=$start conv=notrunc status=none

set +e
timeout 60 qemu-system-i386 -drive file="$work/disk.img",format=raw -display none -nic none \
  -no-reboot -debugcon file:"$work/debug.log" -device isa-debug-exit,iobase=0xf4,iosize=0x04
status=$?
set -e
cat "$work/debug.log"
# The test boot manager ends QEMU with 0x10 (status 33) when every check passed.
[ "$status" -eq 33 ] || { echo "QEMU ended with $status"; exit 1; }
! grep -q FAIL "$work/debug.log"
