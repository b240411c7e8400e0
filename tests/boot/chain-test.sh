#!/bin/bash
# The whole chain, from Linux: a test Windows captured into an LZX image, a
# disk with a FAT32 system partition and two NTFS Windows partitions on offset
# loop devices (fusefat and ntfs-3g mounts), the native wimengine applying the
# image (the first Windows straight onto its partition's device, the second
# through an ntfs-3g mount), then bcdboot, bootsect and BOOTICE as the
# program runs them. The disk
# must start in QEMU with SeaBIOS (the test boot manager checks how it was
# loaded and entered) and with OVMF (the test EFI program reports), and its
# stores must read in hivex as meant; a second Windows added with bcdboot
# leaves both entries. As root.
#   chain-test.sh <native bin folder> <version sample exe> <work folder>
set -euo pipefail
bin=$(realpath "$1") kernel=$(realpath "$2") work=$3
here=$(dirname "$(realpath "$0")")
[ "$(id -u)" -eq 0 ] || { echo "the chain test needs root (loop devices, FUSE mounts)"; exit 1; }

rm -rf "$work" && mkdir -p "$work" && work=$(realpath "$work")
source "$here/disk-helpers.sh"

# The test Windows (disk-helpers.sh): "Windows 11", zh-CN besides en-US.
tree="$work/tree"
make_test_windows "$tree" "$kernel" "$here"
wimcapture "$tree" "$work/windows.wim" --compress=LZX >/dev/null

# Partition 1: FAT32 system; 2 and 3: NTFS Windows. mkfs leaves HiddenSectors 0.
truncate -s 1200M "$work/disk.img"
printf 'label: dos\nlabel-id: 0x5eed2468\nstart=2048, size=409600, type=c\nstart=411648, size=819200, type=7\nstart=1230848, size=1000000, type=7\n' |
  sfdisk -q "$work/disk.img"
attach "$work/disk.img" 2048 409600 && system=$loop
attach "$work/disk.img" 411648 819200 && windows=$loop
attach "$work/disk.img" 1230848 1000000 && second=$loop
mkfs.fat -F 32 "$system" >/dev/null
mkntfs -Q -F -q "$windows" 2>/dev/null
mkntfs -Q -F -q "$second" 2>/dev/null
mkdir "$work/s" "$work/w" "$work/w2"
"$bin/wimengine" "$work/windows.wim" 1 "$windows" >"$work/direct.log" ||
  { cat "$work/direct.log"; fail "the direct apply onto $windows failed"; }
grep -q 'written directly through libntfs-3g' "$work/direct.log" && ! grep -q WARN "$work/direct.log" ||
  { cat "$work/direct.log"; fail "the apply onto $windows was not direct, or it warned"; }
tail -1 "$work/direct.log"
fusefat -o rw+ "$system" "$work/s" >/dev/null 2>&1 && mounts+=("$work/s")
ntfs-3g "$windows" "$work/w" && mounts+=("$work/w")

"$bin/bcdboot" "$work/w/Windows" /S "$work/s"
"$bin/bootsect" /NT60 "$work/s"
"$bin/bootice" /DEVICE="$work/s" /partitions /activate /quiet
cmp "$work/s/bootmgr" "$tree/Windows/Boot/PCAT/bootmgr" || fail "bootmgr differs"
cmp "$work/s/EFI/Boot/bootx64.efi" "$tree/Windows/Boot/EFI/bootmgfw.efi" || fail "bootx64.efi differs"
[ -f "$work/s/BOOTNXT" ] && [ -f "$work/s/Boot/zh-CN/bootmgr.exe.mui" ] &&
  [ -f "$work/s/Boot/Fonts/chs_boot.ttf" ] && [ -f "$work/s/EFI/Microsoft/Boot/zh-CN/bootmgfw.efi.mui" ] ||
  fail "boot files are missing: $(cd "$work/s" && find . | sort | tr '\n' ' ')"

# The stores, read by hivex: the loader on partition 2 (signature 5eed2468,
# start 411648 × 512 = 0x0C900000), described and localised from the image.
export_store() { hivexregedit --export "$1" '\' 2>/dev/null; }
element() {  # store object element → the Element value's data
  hivexget "$1" "\\Objects\\$2\\Elements\\$3" Element 2>/dev/null | tr -d '\n'
}
bootmgr='{9dea862c-5cdd-4e70-acc1-f32b344d4795}'
for store in "$work/s/Boot/BCD" "$work/s/EFI/Microsoft/Boot/BCD"; do
  export_store "$store" >"$store.reg" || fail "hivex cannot read $store"
  loader=$(hivexregedit --export "$store" '\Objects' 2>/dev/null |
    grep -B2 'dword:10200003' | grep -o '{[0-9a-f-]*}' | head -1) || true
  [ -n "$loader" ] || fail "no OS loader in $store"
  default=$(element "$store" "$bootmgr" 23000003)
  [ "$default" = "$loader" ] || fail "$store: default is $default, not $loader"
  [ "$(element "$store" "$loader" 12000004)" = "Windows 11" ] || fail "$store: description"
  [ "$(element "$store" "$loader" 12000005)" = "zh-CN" ] || fail "$store: locale"
  case $store in
    */EFI/*) path='\Windows\system32\winload.efi' ;;
    *) path='\Windows\system32\winload.exe' ;;
  esac
  [ "$(element "$store" "$loader" 12000002)" = "$path" ] || fail "$store: loader path"
  grep -A1 "Elements\\\\21000001\]" "$store.reg" | grep -q \
    '00,00,90,0c,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,01,00,00,00,68,24,ed,5e' ||
    fail "$store: the OS device is not partition 2"
done

umount "$work/s" && mounts=("$work/w")
fsck.fat -n "$system" >/dev/null || fail "the system partition's FAT is damaged"
sync

# BIOS: MBR code, FAT32 boot code, the test boot manager.
set +e
timeout 120 qemu-system-i386 -drive file="$work/disk.img",format=raw -display none -nic none \
  -no-reboot -debugcon file:"$work/bios.log" -device isa-debug-exit,iobase=0xf4,iosize=0x04
bios=$?
# UEFI: OVMF starts \EFI\Boot\bootx64.efi of the FAT partition.
cp /usr/share/OVMF/OVMF_VARS_4M.fd "$work/vars.fd"
timeout 120 qemu-system-x86_64 -machine q35 \
  -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
  -drive if=pflash,format=raw,unit=1,file="$work/vars.fd" -drive file="$work/disk.img",format=raw \
  -display none -nic none -no-reboot -debugcon file:"$work/uefi.log" \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04
uefi=$?
set -e
cat "$work/bios.log"
grep -a "PASS\|FAIL" "$work/uefi.log" || true
[ "$bios" -eq 33 ] && ! grep -q FAIL "$work/bios.log" || fail "BIOS boot ended with $bios"
[ "$uefi" -eq 33 ] || fail "UEFI boot ended with $uefi"

# A second Windows: both entries stay, the new one first and default.
fusefat -o rw+ "$system" "$work/s" >/dev/null 2>&1 && mounts+=("$work/s")
ntfs-3g "$second" "$work/w2" && mounts+=("$work/w2")
"$bin/wimengine" "$work/windows.wim" 1 "$work/w2" | tail -1
first=$(element "$work/s/Boot/BCD" "$bootmgr" 23000003)
"$bin/bcdboot" "$work/w2/Windows" /S "$work/s" /f BIOS
"$bin/bcdboot" "$work/w2/Windows" /S "$work/s" /f BIOS >/dev/null  # again: no duplicate
loaders=$(export_store "$work/s/Boot/BCD" | grep -c 'dword:10200003')
[ "$loaders" -eq 2 ] || fail "$loaders OS loaders after a second Windows, not 2"
# The display order, a REG_MULTI_SZ of GUIDs: the newest first, the first one kept.
order=$(hivexregedit --export "$work/s/Boot/BCD" "\\Objects\\$bootmgr\\Elements\\24000001" |
  perl -0ne 'if (/"Element"=hex\(7\):([0-9a-f,\\\s]*)/) { ($h = $1) =~ s/[^0-9a-f]//g;
    ($t = pack("H*", $h)) =~ s/\0//g; print $t }')
second=$(element "$work/s/Boot/BCD" "$bootmgr" 23000003)
[ "$second" != "$first" ] || fail "the second Windows is not the default"
case $order in
  "$second"*"$first"*) ;;
  *) fail "display order $order: not $second, then $first" ;;
esac
echo "chain: BIOS and UEFI boots passed; two Windows in one store"
