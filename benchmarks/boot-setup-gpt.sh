#!/bin/bash
# The boot set-up on a UEFI machine's GPT disk, as the program runs it on the
# Windows partition: bootsect /NT60, bcdboot (which mounts the EFI system
# partition for the moment) and BOOTICE (which looks into it). Prints each
# tool's wall time and the sum, for a few runs; the goal is under 2 s in all.
# As root, with the native build (scripts/test-all.sh or cmake in build/native).
#   bash benchmarks/boot-setup-gpt.sh [runs, default 5]
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
runs=${1:-5} bin=$PWD/build/native/bin here=$PWD/tests/boot
[ "$(id -u)" -eq 0 ] || { echo "needs root (loop devices, FUSE mounts)"; exit 1; }
for tool in wimengine bootsect bcdboot bootice; do
  [ -x "$bin/$tool" ] || { echo "build the native tools first: $bin/$tool is missing"; exit 1; }
done
work=$(mktemp -d) && source "$here/disk-helpers.sh"
trap 'undo_disks; rm -rf "$work"' EXIT
kernel=build/native/tests/boot/samples/version_sample_x64.exe
[ -f "$kernel" ] || kernel=$bin/bootsect

make_test_windows "$work/tree" "$kernel" "$here"
wimcapture "$work/tree" "$work/windows.wim" --compress=LZX >/dev/null
disk=$work/disk.img
truncate -s 700M "$disk"
printf 'label: gpt\nstart=2048, size=204800, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\nstart=206848, size=32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\nstart=239616, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n' |
  sfdisk -q "$disk"
attach "$disk" 2048 204800 && mkfs.fat -F 32 -h 2048 "$loop" >/dev/null && losetup -d "$loop"
size=$(sfdisk -d "$disk" | sed -n 's/.*start= *239616, size= *\([0-9]*\).*/\1/p')
attach "$disk" 239616 "$size" && windows=$loop
mkntfs -Q -F -q -p 239616 "$windows" 2>/dev/null
mkdir "$work/w" && ntfs-3g -o big_writes "$windows" "$work/w" && mounts+=("$work/w")
"$bin/wimengine" "$work/windows.wim" 1 "$work/w" >/dev/null

now() { date +%s.%N; }
timed() {  # timed COMMAND... → seconds on stdout, the command's output dropped
  local start
  start=$(now)
  "$@" >/dev/null
  echo "$(now) - $start" | bc -l
}
printf '%-4s %10s %10s %10s %10s\n' run bootsect bcdboot BOOTICE total
for run in $(seq "$runs"); do
  a=$(timed "$bin/bootsect" /NT60 "$work/w")
  b=$(timed "$bin/bcdboot" "$work/w/Windows" /S "$work/w")
  c=$(timed "$bin/bootice" /DEVICE="$work/w" /partitions /activate /quiet)
  printf '%-4s %9.3fs %9.3fs %9.3fs %9.3fs\n' "$run" "$a" "$b" "$c" "$(echo "$a + $b + $c" | bc -l)"
done
