#!/bin/bash
# A UEFI machine's GPT disk, as Windows lays one out: an EFI system partition
# (FAT32, mounted nowhere), a Microsoft reserved partition without a file
# system, and NTFS Windows partitions. The tools run as the program runs them,
# naming only the Windows partition: wimengine, bootsect /NT60 on it, bcdboot
# <W>\Windows /S <W>, BOOTICE on it. The boot files must land on the ESP,
# which nothing may leave mounted, and OVMF must start the disk. Then a second
# Windows, and an ESP that is already mounted elsewhere. As root.
#   gpt-test.sh <native bin folder> <version sample exe> <work folder>
set -euo pipefail
bin=$(realpath "$1") kernel=$(realpath "$2") work=$3
here=$(dirname "$(realpath "$0")")
[ "$(id -u)" -eq 0 ] || { echo "the GPT test needs root (loop devices, FUSE mounts)"; exit 1; }

rm -rf "$work" && mkdir -p "$work" && work=$(realpath "$work")
source "$here/disk-helpers.sh"

make_test_windows "$work/tree" "$kernel" "$here"
wimcapture "$work/tree" "$work/windows.wim" --compress=LZX >/dev/null

# Fixed GUIDs, so that the stores' device elements can be checked byte for
# byte (Windows byte order: the first three groups little-endian).
esp_uuid=01234567-89AB-CDEF-0123-456789ABCDEF esp_bytes=67452301ab89efcd0123456789abcdef
win_uuid=76543210-BA98-FEDC-3210-FEDCBA987654 win_bytes=1032547698badcfe3210fedcba987654
win2_uuid=0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0 win2_bytes=3c2d1e0f5a4b78698796a5b4c3d2e1f0
disk=$work/disk.img
truncate -s 1100M "$disk"
sfdisk -q "$disk" <<EOF
label: gpt
label-id: 5EED2468-0000-4000-8000-00000000D15C
start=2048, size=204800, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=$esp_uuid
start=206848, size=32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE
start=239616, size=819200, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=$win_uuid
start=1058816, size=1000000, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=$win2_uuid
EOF
sfdisk -d "$disk" | grep -q "uuid=$esp_uuid" || fail "sfdisk did not make the ESP as asked"
attach "$disk" 2048 204800 && esp=$loop
mkfs.fat -F 32 -h 2048 -n SYSTEM "$esp" >/dev/null
losetup -d "$esp"  # like a real ESP: no mount, and here not even a device
attach "$disk" 239616 819200 && windows=$loop
attach "$disk" 1058816 1000000 && second=$loop
mkntfs -Q -F -q -p 239616 "$windows" 2>/dev/null
mkntfs -Q -F -q -p 1058816 "$second" 2>/dev/null
mkdir "$work/w" "$work/w2" "$work/esp"

# What the tools leave behind: nothing mounted from the ESP, no loop device of
# their own over the disk.
loops_of_disk() { losetup -j "$disk" | wc -l; }
expect_nothing_left() {
  grep -q roamdeck-partition /proc/self/mountinfo && fail "a temporary mount stayed: $1"
  [ "$(loops_of_disk)" -eq "$2" ] || fail "$1 left a loop device over the disk: $(losetup -j "$disk")"
  true
}
# The order the program runs them in, all on the Windows partition.
install_windows() {  # install_windows MOUNT DEVICE
  ntfs-3g "$2" "$1" && mounts+=("$1")
  "$bin/wimengine" "$work/windows.wim" 1 "$1" | tail -1
  local before
  before=$(loops_of_disk)
  "$bin/bootsect" /NT60 "$1"
  "$bin/bcdboot" "$1/Windows" /S "$1" | tee "$work/bcdboot.out"
  expect_nothing_left bcdboot "$before"
  "$bin/bootice" /DEVICE="$1" /partitions /activate /quiet | tee "$work/bootice.out"
  expect_nothing_left BOOTICE "$before"
}
install_windows "$work/w" "$windows"
grep -q "EFI system partition of $disk (partition 1, mounted at .* for the moment)" \
  "$work/bcdboot.out" || fail "bcdboot did not say where the boot files went"
grep -q "starts it from the EFI system partition" "$work/bootice.out" ||
  fail "BOOTICE did not say that the disk starts from its ESP"
[ ! -e "$work/w/bootmgr" ] && [ ! -e "$work/w/Boot" ] && [ ! -e "$work/w/EFI" ] ||
  fail "BIOS or UEFI files went to the Windows partition of a GPT disk"

# The ESP, read with mtools: the boot files and a store that hivex reads.
esp_at="$disk@@$((2048 * 512))"
mcopy -n -i "$esp_at" ::/EFI/Microsoft/Boot/BCD "$work/BCD"
mcopy -n -i "$esp_at" ::/EFI/Boot/bootx64.efi "$work/bootx64.efi"
cmp "$work/bootx64.efi" "$work/tree/Windows/Boot/EFI/bootmgfw.efi" || fail "bootx64.efi differs"
mdir -i "$esp_at" ::/EFI/Microsoft/Boot/zh-CN >/dev/null || fail "the locale folder is missing"
attach "$disk" 2048 204800
fsck.fat -n "$loop" >/dev/null || fail "the ESP's FAT is damaged"
losetup -d "$loop"
bootmgr='{9dea862c-5cdd-4e70-acc1-f32b344d4795}'
hex_of() {  # hex_of STORE OBJECT ELEMENT → the Element value as hex digits
  hivexregedit --export "$1" "\\Objects\\$2\\Elements\\$3" 2>/dev/null |
    perl -0ne 'if (/"Element"=hex(?:\(\d+\))?:([0-9a-f,\\\s]*)/) { ($h = $1) =~ s/[^0-9a-f]//g; print $h }'
}
element() { hivexget "$1" "\\Objects\\$2\\Elements\\$3" Element 2>/dev/null | tr -d '\n'; }
loader=$(element "$work/BCD" "$bootmgr" 23000003)
[ -n "$loader" ] || fail "the ESP's store has no default loader"
# The 88-byte partition element: +0x20 the partition's GUID, +0x34 style 0
# (GPT), +0x38 the disk's GUID.
[ "$(hex_of "$work/BCD" "$bootmgr" 11000001 | cut -c65-96)" = "$esp_bytes" ] ||
  fail "{bootmgr} does not live on the ESP: $(hex_of "$work/BCD" "$bootmgr" 11000001)"
for element in 11000001 21000001; do
  hex=$(hex_of "$work/BCD" "$loader" $element)
  [ "${hex:64:32}" = "$win_bytes" ] || fail "the loader's $element is not the Windows partition: $hex"
  [ "${hex:104:8}" = 00000000 ] || fail "the loader's $element is not a GPT partition: $hex"
  [ "${hex:112:32}" = 6824ed5e00000040800000000000d15c ] || fail "the loader's $element names another disk: $hex"
done
[ "$(element "$work/BCD" "$loader" 12000002)" = '\Windows\system32\winload.efi' ] ||
  fail "the loader's path is not winload.efi"

umount "$work/w" && mounts=()
sync
uefi_boot() {  # uefi_boot LOG → QEMU's status
  cp /usr/share/OVMF/OVMF_VARS_4M.fd "$work/vars.fd"
  set +e
  timeout 120 qemu-system-x86_64 -machine q35 \
    -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
    -drive if=pflash,format=raw,unit=1,file="$work/vars.fd" -drive file="$disk",format=raw \
    -display none -nic none -no-reboot -debugcon file:"$1" \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04
  local status=$?
  set -e
  grep -a "PASS\|FAIL" "$1" || true
  return $status
}
status=0 && uefi_boot "$work/uefi.log" || status=$?
[ "$status" -eq 33 ] || fail "the GPT disk did not start in OVMF (status $status)"

# A second Windows on the same disk: two loaders in the ESP's store, the new
# one first and the default.
install_windows "$work/w2" "$second"
mcopy -n -i "$esp_at" ::/EFI/Microsoft/Boot/BCD "$work/BCD2"
loaders=$(hivexregedit --export "$work/BCD2" '\' 2>/dev/null | grep -c 'dword:10200003')
[ "$loaders" -eq 2 ] || fail "$loaders OS loaders after a second Windows, not 2"
newest=$(element "$work/BCD2" "$bootmgr" 23000003)
[ "$newest" != "$loader" ] || fail "the second Windows is not the default"
[ "$(hex_of "$work/BCD2" "$newest" 21000001 | cut -c65-96)" = "$win2_bytes" ] ||
  fail "the new default is not the second Windows"
order=$(hex_of "$work/BCD2" "$bootmgr" 24000001 | perl -ne 'print pack("H*", $_) =~ s/\0//gr')
case $order in
  "$newest"*"$loader"*) ;;
  *) fail "display order $order: not $newest, then $loader" ;;
esac

# The ESP mounted already (as a Linux system mounts /boot/efi): the files go
# through that mount, which stays.
attach "$disk" 2048 204800 && esp=$loop
fusefat -o rw+ "$esp" "$work/esp" >/dev/null 2>&1 && mounts=("$work/esp" "${mounts[@]}")
rm "$work/esp/EFI/Boot/bootx64.efi"
before=$(loops_of_disk)
"$bin/bcdboot" "$work/w2/Windows" /S "$work/w2" | tee "$work/bcdboot.out"
grep -q "(partition 1, at $work/esp)" "$work/bcdboot.out" || fail "bcdboot did not use the mount"
[ -f "$work/esp/EFI/Boot/bootx64.efi" ] || fail "the files did not go through the ESP's mount"
mountpoint -q "$work/esp" || fail "bcdboot unmounted the ESP that was mounted before"
[ "$(loops_of_disk)" -eq "$before" ] || fail "bcdboot attached a loop device beside the mount"
echo "gpt: the ESP filled through the Windows partition, OVMF started it; two Windows; a mounted ESP used"
