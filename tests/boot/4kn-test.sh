#!/bin/bash
# Disks of 4096-byte logical sectors (4Kn): the image attached as a loop
# device of 4096-byte sectors, the partitions as loop devices of the same
# sectors over that one, so that every tool sees a 4Kn disk as a real one
# is seen. A GPT disk (FAT32 ESP of 4096-byte sectors, NTFS Windows) gets the
# whole chain as the program runs it, and OVMF must start it from a virtio
# disk of 4096-byte blocks; an MBR disk (FAT32 system partition, NTFS
# Windows) gets BIOS and UEFI files, and OVMF must start it too. SeaBIOS
# reads no 4096-byte sectors through INT 13h, so the MBR disk's BIOS files are
# read back, not booted. As root.
#   4kn-test.sh <native bin folder> <version sample exe> <work folder>
set -euo pipefail
bin=$(realpath "$1") kernel=$(realpath "$2") work=$3
here=$(dirname "$(realpath "$0")")
[ "$(id -u)" -eq 0 ] || { echo "the 4Kn test needs root (loop devices, FUSE mounts)"; exit 1; }

rm -rf "$work" && mkdir -p "$work" && work=$(realpath "$work")
source "$here/disk-helpers.sh"

make_test_windows "$work/tree" "$kernel" "$here"
wimcapture "$work/tree" "$work/windows.wim" --compress=LZX >/dev/null

# attach4k DEVICE START SECTORS: a loop device of 4096-byte sectors over
# sectors of 4096 bytes, in $loop; without START, the whole of DEVICE.
attach4k() {
  if [ $# -eq 1 ]; then
    loop=$(losetup -f --show --sector-size 4096 "$1")
  else
    loop=$(losetup -f --show --sector-size 4096 -o $(($2 * 4096)) --sizelimit $(($3 * 4096)) "$1")
  fi
  loops+=("$loop")
}
uefi_boot() {  # uefi_boot IMAGE LOG → QEMU's status
  cp /usr/share/OVMF/OVMF_VARS_4M.fd "$work/vars.fd"
  set +e
  timeout 120 qemu-system-x86_64 -machine q35 \
    -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
    -drive if=pflash,format=raw,unit=1,file="$work/vars.fd" \
    -drive if=none,id=d0,file="$1",format=raw \
    -device virtio-blk-pci,drive=d0,logical_block_size=4096,physical_block_size=4096 \
    -display none -nic none -no-reboot -debugcon file:"$2" \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04
  local status=$?
  set -e
  grep -a "PASS\|FAIL" "$2" || true
  return $status
}
expect_same() {  # expect_same MTOOLS-IMAGE PATH FILE
  mcopy -n -i "$1" "::$2" "$work/read-back" || fail "$2 is missing from $1"
  cmp "$work/read-back" "$3" || fail "$2 differs from $3"
}
bootmgr='{9dea862c-5cdd-4e70-acc1-f32b344d4795}'
element() { hivexget "$1" "\\Objects\\$2\\Elements\\$3" Element 2>/dev/null | tr -d '\n'; }
expect_store() {  # expect_store STORE: a default loader for \Windows
  local loader
  loader=$(element "$1" "$bootmgr" 23000003)
  [ -n "$loader" ] || fail "$1 has no default loader"
  [ "$(element "$1" "$loader" 12000004)" = "Windows 11" ] || fail "$1: the loader's description"
}

# GPT: sectors of 4096 bytes throughout. A FAT32 ESP needs 65525 clusters:
# 260 MiB at one sector a cluster, as Windows makes it on such disks.
disk=$work/gpt.img
truncate -s 420M "$disk"
attach4k "$disk" && whole=$loop
[ "$(blockdev --getss "$whole")" -eq 4096 ] || fail "$whole does not have 4096-byte sectors"
sfdisk -q "$whole" 2>/dev/null <<EOF
label: gpt
start=256, size=66560, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B
start=66816, size=4096, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE
start=70912, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
EOF
attach4k "$whole" 256 66560 && esp=$loop
mkfs.fat -F 32 -S 4096 -s 1 -h 256 -n SYSTEM "$esp" >/dev/null
losetup -d "$esp"
attach4k "$whole" 70912 32768 && windows=$loop
mkntfs -Q -F -q -s 4096 -p 70912 "$windows" 2>/dev/null
"$bin/wimengine" "$work/windows.wim" 1 "$windows" | tail -1
mkdir "$work/w" && ntfs-3g "$windows" "$work/w" && mounts+=("$work/w")
"$bin/bootsect" /NT60 "$work/w"
"$bin/bcdboot" "$work/w/Windows" /S "$work/w" | tee "$work/bcdboot.out"
grep -q "EFI system partition of $whole (partition 1" "$work/bcdboot.out" ||
  fail "bcdboot did not fill the ESP of the 4Kn disk"
"$bin/bootice" /DEVICE="$work/w" /partitions /activate /quiet | tee "$work/bootice.out"
grep -q "starts it from the EFI system partition" "$work/bootice.out" ||
  fail "BOOTICE did not find the boot manager on the 4Kn ESP"
umount "$work/w" && mounts=()
losetup -d "$windows" "$whole"
sync

esp_at="$disk@@$((256 * 4096))"
expect_same "$esp_at" /EFI/Boot/bootx64.efi "$work/tree/Windows/Boot/EFI/bootmgfw.efi"
expect_same "$esp_at" /EFI/Microsoft/Boot/bootmgfw.efi "$work/tree/Windows/Boot/EFI/bootmgfw.efi"
mcopy -n -i "$esp_at" ::/EFI/Microsoft/Boot/BCD "$work/gpt-BCD"
expect_store "$work/gpt-BCD"
status=0 && uefi_boot "$disk" "$work/gpt-uefi.log" || status=$?
[ "$status" -eq 33 ] || fail "the 4Kn GPT disk did not start in OVMF (status $status)"

# MBR: a FAT32 system partition and NTFS Windows, both of 4096-byte sectors;
# the MBR's numbers count them too.
disk=$work/mbr.img
truncate -s 420M "$disk"
attach4k "$disk" && whole=$loop
printf 'label: dos\nlabel-id: 0x4b4e3430\nstart=256, size=66560, type=c\nstart=66816, size=32768, type=7\n' |
  sfdisk -q "$whole" 2>/dev/null
attach4k "$whole" 256 66560 && system=$loop
mkfs.fat -F 32 -S 4096 -s 1 -h 256 -n SYSTEM "$system" >/dev/null
attach4k "$whole" 66816 32768 && windows=$loop
mkntfs -Q -F -q -s 4096 -p 66816 "$windows" 2>/dev/null
"$bin/wimengine" "$work/windows.wim" 1 "$windows" | tail -1
mkdir "$work/s" "$work/w2"
fusefat -o rw+ "$system" "$work/s" >/dev/null 2>&1 && mounts+=("$work/s")
ntfs-3g "$windows" "$work/w2" && mounts+=("$work/w2")
"$bin/bcdboot" "$work/w2/Windows" /S "$work/s" | tee "$work/bcdboot-mbr.out"
grep -q "for BIOS and UEFI machines" "$work/bcdboot-mbr.out" ||
  fail "bcdboot did not write both kinds of files to the 4Kn MBR disk"
umount "$work/s" "$work/w2" && mounts=()
"$bin/bootsect" /NT60 "$system"
"$bin/bootice" /DEVICE="$system" /partitions /activate /quiet
losetup -d "$system" "$windows" "$whole"
sync

[ "$(od -An -tx1 -j446 -N1 "$disk" | tr -d ' ')" = 80 ] || fail "BOOTICE did not mark the system partition active"
sys_at="$disk@@$((256 * 4096))"
expect_same "$sys_at" /bootmgr "$work/tree/Windows/Boot/PCAT/bootmgr"
expect_same "$sys_at" /EFI/Boot/bootx64.efi "$work/tree/Windows/Boot/EFI/bootmgfw.efi"
for store in /Boot/BCD /EFI/Microsoft/Boot/BCD; do
  mcopy -n -i "$sys_at" "::$store" "$work/mbr-BCD"
  expect_store "$work/mbr-BCD"
done
# bootsect's code in the FAT32 boot sector of 4096 bytes: the BPB stays and
# BOOTMGR is named where the code looks for it.
dd if="$disk" bs=4096 skip=256 count=1 status=none | grep -aq BOOTMGR ||
  fail "bootsect wrote no boot code into the 4Kn FAT32 volume"
[ "$(od -An -tu2 -j$((256 * 4096 + 11)) -N2 "$disk" | tr -d ' ')" = 4096 ] ||
  fail "the FAT32 boot sector no longer says 4096-byte sectors"
status=0 && uefi_boot "$disk" "$work/mbr-uefi.log" || status=$?
[ "$status" -eq 33 ] || fail "the 4Kn MBR disk did not start in OVMF (status $status)"
echo "4kn: GPT and MBR disks of 4096-byte sectors set up natively and started in OVMF"
