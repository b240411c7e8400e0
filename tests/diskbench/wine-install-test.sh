#!/bin/bash
# The window's installation onto a disk that the test driver presents under
# Wine: a two-edition image whose second edition is a test Windows (its boot
# managers the test ones), an MBR disk with a FAT32 system partition (S:) and
# an NTFS partition (W:) in the bench's installation prefix, the program
# driven by disk_install_tests.exe from the first click to "完成"; then the
# disk, detached, must start in SeaBIOS.
#   wine-install-test.sh <win64 bin folder> <work folder>
set -euo pipefail
bin=$(realpath "$1") work=$(realpath -m "$2")
here=$(dirname "$(realpath "$0")")
boot=$here/../boot
bench=${ROAMDECK_BENCH:?run through ctest, after the bench_start fixture}
prefix="$bench/install-prefix"
[ "$(id -u)" -eq 0 ] || { echo "the disk bench needs root (loop devices, mounts)"; exit 1; }
export ROAMDISK_SYS="$bin/roamdisk.sys"
rm -rf "$work" && mkdir -p "$work"
state="$work/attached"
source "$boot/disk-helpers.sh"
cleanup() {
  [ -d "$state" ] && bash "$here/detach-disk.sh" "$prefix" "$state"
  rm -rf "$prefix/drives/e/sources"
  true
}
trap cleanup EXIT

x86_64-w64-mingw32-windres "$boot/version_sample.rc" -O coff -o "$work/version.o"
x86_64-w64-mingw32-gcc "$boot/version_sample.c" "$work/version.o" -o "$work/kernel.exe"
make_test_windows "$work/big" "$work/kernel.exe" "$boot"
mkdir -p "$work/small/Windows" && echo "first" >"$work/small/Windows/win.ini"
wimcapture "$work/small" "$work/install.wim" "Windows 10 Home" --compress=lzx >/dev/null
wimappend "$work/big" "$work/install.wim" "Windows 10 专业版" >/dev/null
mkdir -p "$prefix/drives/e/sources"
cp "$work/install.wim" "$prefix/drives/e/sources/install.wim"

img="$work/disk.img"
truncate -s 600M "$img"
printf 'label: dos\nlabel-id: 0x13572468\nstart=2048, size=204800, type=c\nstart=206848, type=7\n' | sfdisk -q "$img"
read -r winStart winSize < <(sfdisk -d "$img" | sed -n 's/^[^ ]*2 : start= *\([0-9]*\), size= *\([0-9]*\).*/\1 \2/p')
attach "$img" 2048 204800 && mkfs.fat -F 32 -h 2048 -n SYSTEM "$loop" >/dev/null && losetup -d "$loop"
attach "$img" "$winStart" "$winSize" && mkntfs -Q -F -q -p "$winStart" -L Windows "$loop" 2>/dev/null &&
  losetup -d "$loop"
loops=()

bash "$here/attach-disk.sh" "$prefix" "$img" "$state" 1=S 2=W
set +e
ROAMDECK_PREFIX=install-prefix bash "$here/../bench/wine-run.sh" "$bin/disk_install_tests.exe"
tests=$?
set -e
bash "$here/detach-disk.sh" "$prefix" "$state" || fail "detach left something behind"
[ "$tests" -eq 0 ] || fail "the installation through the window failed"
sfdisk -d "$img" | grep -q "${img}1 : .*bootable" || fail "the system partition is not active"

bios=0 && bios_boot "$img" "$work/bios.log" || bios=$?
cat "$work/bios.log"
[ "$bios" -eq 33 ] && ! grep -q FAIL "$work/bios.log" || fail "SeaBIOS boot ended with $bios"
echo "the window's installation: 完成, and the disk starts in SeaBIOS"
