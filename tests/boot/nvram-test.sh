#!/bin/bash
# The firmware's boot entry, proven in OVMF: a GPT disk whose ESP holds the
# boot files but no \EFI\Boot\bootx64.efi starts only through the entry that
# bcdboot /nvram writes into a VM's variable store. The store is one that the
# firmware has filled with its own entries first (one boot through the
# fallback file); they must stay, after ours, in their order. With the store
# as shipped the disk must not start (the control). As root.
#   nvram-test.sh <native bin folder> <work folder>
set -euo pipefail
bin=$(realpath "$1") work=$2
here=$(dirname "$(realpath "$0")")
[ "$(id -u)" -eq 0 ] || { echo "the nvram test needs root (loop devices, FUSE mounts)"; exit 1; }

rm -rf "$work" && mkdir -p "$work" && work=$(realpath "$work")
source "$here/disk-helpers.sh"
shipped=/usr/share/OVMF/OVMF_VARS_4M.fd

# A test Windows copied straight onto its partition; the kernel's version
# does not matter here.
make_windows() {
  mkdir -p "$1/Windows/System32" "$1/Windows/Boot/EFI"
  x86_64-w64-mingw32-gcc -O2 -ffreestanding -fshort-wchar -mno-red-zone -nostdlib \
    -Wl,--subsystem,10 -e efi_main -o "$1/Windows/Boot/EFI/bootmgfw.efi" "$here/test_efi.c"
}
esp_uuid=2BC7D5A1-36F0-4E6B-9C1D-0A4F7E8B3C52
disk=$work/disk.img
truncate -s 200M "$disk"
# The ESP in entry 2 behind an empty entry 1: Windows would call it partition
# 1, the firmware's node must say 2.
sfdisk -q "$disk" <<EOF2
label: gpt
${disk}2 : start=2048, size=131072, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=$esp_uuid
${disk}3 : start=133120, size=131072, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
EOF2
sfdisk -d "$disk" | grep -q "^${disk}2 : .*uuid=$esp_uuid" && ! sfdisk -d "$disk" | grep -q "^${disk}1 " ||
  fail "sfdisk did not leave entry 1 empty"
attach "$disk" 2048 131072 && esp=$loop
mkfs.fat -F 32 -h 2048 "$esp" >/dev/null
losetup -d "$esp"
attach "$disk" 133120 131072 && windows=$loop
mkntfs -Q -F -q -p 133120 "$windows" 2>/dev/null
mkdir "$work/w"
ntfs-3g "$windows" "$work/w" && mounts+=("$work/w")
make_windows "$work/w"
esp_at="$disk@@$((2048 * 512))"

boot_ovmf() {  # boot_ovmf VARS LOG SECONDS → QEMU's status
  set +e
  timeout "$3" qemu-system-x86_64 -machine q35 \
    -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
    -drive if=pflash,format=raw,unit=1,file="$1" -drive file="$disk",format=raw \
    -display none -nic none -no-reboot -debugcon file:"$2" \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04
  local status=$?
  set -e
  return $status
}
entries() { python3 "$here/varstore.py" "$1"; }
order_of() { entries "$1" | sed -n 's/^BootOrder //p'; }

# The firmware's own entries: one boot through the fallback file, which the
# plain bcdboot run writes (this machine's firmware gets no entry: the disk
# is an image file).
"$bin/bcdboot" "$work/w/Windows" /S "$work/w" | tee "$work/bcdboot.out"
grep -q "No firmware boot entry is made\|started through BIOS" "$work/bcdboot.out" ||
  fail "bcdboot did not say why it made no firmware boot entry"
cp "$shipped" "$work/filled.fd"
status=0 && boot_ovmf "$work/filled.fd" "$work/fallback.log" 60 || status=$?
[ "$status" -eq 33 ] || fail "the fallback file did not start in OVMF (status $status)"
own_order=$(order_of "$work/filled.fd")
[ -n "$own_order" ] || fail "OVMF left no BootOrder of its own: $(entries "$work/filled.fd")"
entries "$work/filled.fd" | grep -q 'Windows Boot Manager' && fail "OVMF made our entry itself"

# A file that is no variable store, and a store without room, are refused
# with nothing written.
cp /usr/share/OVMF/OVMF_CODE_4M.fd "$work/code.fd"
status=0 && "$bin/bcdboot" "$work/w/Windows" /S "$work/w" /nvram "$work/code.fd" || status=$?
[ "$status" -eq 1 ] && cmp -s "$work/code.fd" /usr/share/OVMF/OVMF_CODE_4M.fd ||
  fail "a file that is no variable store was not refused untouched (status $status)"
python3 - "$work/filled.fd" "$work/full.fd" <<'EOF2'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
start = struct.unpack_from("<H", data, 0x30)[0]
end = start + struct.unpack_from("<I", data, start + 0x10)[0]
at = (start + 28 + 3) & ~3
while struct.unpack_from("<H", data, at)[0] == 0x55AA:
    name_size, data_size = struct.unpack_from("<II", data, at + 0x24)
    at = (at + 60 + name_size + data_size + 3) & ~3
# One deleted filler variable over all the free space but 100 bytes.
filler = end - at - 100
struct.pack_into("<HBBIQ16sIII16s", data, at, 0x55AA, 0x3D, 0, 7, 0, bytes(16), 0, 4,
                 filler - 64, bytes(16))
data[at + 60:at + 64] = "F\0\0\0".encode("latin-1")
open(sys.argv[2], "wb").write(data)
EOF2
cp "$work/full.fd" "$work/full-before.fd"
status=0 && "$bin/bcdboot" "$work/w/Windows" /S "$work/w" /nvram "$work/full.fd" |
  tee "$work/full.out" || status=$?
grep -q "full" "$work/full.out" && cmp -s "$work/full.fd" "$work/full-before.fd" ||
  fail "a full store was not refused untouched"

# Twice into the filled store: one entry, first, the firmware's after it;
# the old BootOrder deleted, nothing else touched.
cp "$work/filled.fd" "$work/filled-before.fd"
for run in 1 2; do
  "$bin/bcdboot" "$work/w/Windows" /S "$work/w" /nvram "$work/filled.fd" | tee "$work/nvram.out"
done
grep -q "already in the variable store" "$work/nvram.out" || fail "the second run rewrote the entry"
changes=$(python3 "$here/varstore.py" --changes "$work/filled-before.fd" "$work/filled.fd" |
  tr '\n' ' ') || fail "bcdboot changed more than two variables"
ours=$(sed -n 's/.*Firmware boot entry Boot\([0-9A-F]\{4\}\) .*/\1/p' "$work/nvram.out")
[ "$changes" = "deleted BootOrder appended Boot$ours appended BootOrder " ] ||
  fail "the store's changes: $changes"
entries "$work/filled.fd" | tee "$work/entries.txt"
[ "$(grep -c 'Windows Boot Manager' "$work/entries.txt")" -eq 1 ] || fail "not exactly one entry of ours"
[ "$(sed -n 's/^Boot\([0-9A-F]\{4\}\) 7 1 "Windows Boot Manager" .*/\1/p' "$work/entries.txt")" = "$ours" ] ||
  fail "the store's entry is not the Boot$ours that bcdboot named"
guid=$(echo "$esp_uuid" | tr A-F a-f)
grep -q "^Boot$ours 7 1 \"Windows Boot Manager\" HD(2,GPT,$guid,0x800,0x20000)/\\\\EFI\\\\Microsoft\\\\Boot\\\\bootmgfw.efi$" \
  "$work/entries.txt" || fail "our entry does not name the ESP's boot manager"
[ "$(order_of "$work/filled.fd")" = "$ours $own_order" ] ||
  fail "BootOrder $(order_of "$work/filled.fd"), not $ours before $own_order"

# Without the fallback file only the entry can start it; and so it does.
mdel -i "$esp_at" ::/EFI/Boot/bootx64.efi
cp "$shipped" "$work/shipped.fd"
status=0 && boot_ovmf "$work/shipped.fd" "$work/control.log" 15 || status=$?
[ "$status" -ne 33 ] && ! grep -q "test efi done" "$work/control.log" ||
  fail "the disk started without the entry: the control proves nothing"
status=0 && boot_ovmf "$work/filled.fd" "$work/entry.log" 60 || status=$?
grep -a "PASS\|FAIL\|started as" "$work/entry.log" || true
[ "$status" -eq 33 ] || fail "OVMF did not start the boot manager through the entry (status $status)"
grep -q "started as Boot$ours" "$work/entry.log" || fail "it was not entry Boot$ours that started it"
after=$(order_of "$work/filled.fd")
[ "$after" = "$ours $own_order" ] || fail "after the boot BootOrder is $after, not $ours $own_order"
umount "$work/w" && mounts=()
losetup -d "$windows"

# An MBR disk (FAT32 system partition, UEFI files only): its entry names the
# disk's signature, and OVMF starts it from a store as shipped.
disk=$work/mbr.img
truncate -s 200M "$disk"
printf 'label: dos\nlabel-id: 0x5eed2468\nstart=2048, size=131072, type=c\nstart=133120, size=131072, type=7\n' |
  sfdisk -q "$disk"
attach "$disk" 2048 131072 && system=$loop
mkfs.fat -F 32 -h 2048 "$system" >/dev/null
attach "$disk" 133120 131072 && windows=$loop
mkntfs -Q -F -q -p 133120 "$windows" 2>/dev/null
mkdir -p "$work/s"
fusefat -o rw+ "$system" "$work/s" >/dev/null 2>&1 && mounts+=("$work/s")
ntfs-3g "$windows" "$work/w" && mounts+=("$work/w")
make_windows "$work/w"
cp "$shipped" "$work/mbr.fd"
"$bin/bcdboot" "$work/w/Windows" /S "$work/s" /f UEFI /nvram "$work/mbr.fd"
rm "$work/s/EFI/Boot/bootx64.efi"
umount "$work/s" "$work/w" && mounts=()
entries "$work/mbr.fd" | tee "$work/mbr-entries.txt"
grep -q '^Boot0000 7 1 "Windows Boot Manager" HD(1,MBR,5eed2468,0x800,0x20000)/\\EFI\\Microsoft\\Boot\\bootmgfw.efi$' \
  "$work/mbr-entries.txt" || fail "the MBR disk's entry does not name its system partition"
status=0 && boot_ovmf "$work/mbr.fd" "$work/mbr.log" 60 || status=$?
[ "$status" -eq 33 ] && grep -q "started as Boot0000" "$work/mbr.log" ||
  fail "OVMF did not start the MBR disk through its entry (status $status)"

echo "nvram: Boot$ours first before the firmware's $own_order, found again on the second run, not duplicated, started by OVMF; the shipped store starts nothing; an MBR disk's entry too"
