#!/bin/bash
# BOOTICE's read-back of the start chain on disks that the tools set up: an
# MBR disk with FAT32 and NTFS, one with NTFS alone, and a GPT disk with an
# ESP (mounted, and mounted nowhere). The activation and /check pass there
# and print the chain; then each link is broken in turn on a copy, and /check
# must name that link, exit 1 and leave the image byte for byte as it was.
# As root.
#   start-chain-test.sh <native bin folder> <version sample exe> <work folder>
set -euo pipefail
bin=$(realpath "$1") kernel=$(realpath "$2") work=$3
here=$(dirname "$(realpath "$0")")
[ "$(id -u)" -eq 0 ] || { echo "the start chain test needs root (loop devices, FUSE mounts)"; exit 1; }
rm -rf "$work" && mkdir -p "$work" && work=$(realpath "$work")
source "$here/disk-helpers.sh"

make_test_windows "$work/tree" "$kernel" "$here"
wimcapture "$work/tree" "$work/windows.wim" --compress=LZX >/dev/null

put_le() {  # put_le FILE OFFSET WIDTH VALUE
  perl -e 'my ($f, $o, $w, $v) = @ARGV; open my $h, "+<", $f or die; binmode $h;
    seek $h, $o, 0; print $h substr(pack("Q<", $v), 0, $w); close $h or die' "$@"
}
arrow=$'\xe2\x86\x92'
# run_check IMAGE DEVICE → $out and $code; the image must not change.
run_check() {
  local before after attached
  sync
  before=$(sha256sum <"$1") attached=$(losetup -j "$1" | wc -l)
  set +e
  out=$("$bin/bootice" /DEVICE="$2" /check 2>&1)
  code=$?
  set -e
  sync
  after=$(sha256sum <"$1")
  [ "$before" = "$after" ] || fail "/check changed $1: $out"
  grep -q roamdeck-partition /proc/self/mountinfo && fail "/check left a temporary mount: $out"
  [ "$(losetup -j "$1" | wc -l)" -eq "$attached" ] || fail "/check left a loop device over $1"
  true
}
expect_chain() {  # expect_chain IMAGE DEVICE LINE...: /check passes and prints each line
  local image=$1 device=$2 line
  shift 2
  run_check "$image" "$device"
  [ "$code" -eq 0 ] || fail "/check failed on $image: $out"
  for line in "$@"; do grep -qxF "$line" <<<"$out" || fail "/check did not print \"$line\": $out"; done
  printf '%s\n' "$out" | grep -v '^bootice /DEVICE' | sed 's/^/  /'
}
broken=0
expect_broken() {  # expect_broken IMAGE DEVICE WORDS: /check names the broken link
  run_check "$1" "$2"
  [ "$code" -eq 1 ] || fail "/check exited with $code on a disk broken so: $3: $out"
  grep -F "BOOTICE: error: " <<<"$out" | grep -qF "$3" || fail "/check did not say \"$3\": $out"
  broken=$((broken + 1))
  echo "  broken: $(grep -F 'BOOTICE: error:' <<<"$out" | cut -c1-150)"
}
copy_of() { cp --sparse=always "$1" "$work/copy.img"; }

# --- MBR: FAT32 system (partition 1), NTFS Windows (partition 2) ----------
disk=$work/mbr.img sys_start=2048 sys_size=131072 win_start=133120 win_size=196608
truncate -s 170M "$disk"
printf 'label: dos\nlabel-id: 0x5eed2468\nstart=%s, size=%s, type=c\nstart=%s, size=%s, type=7\n' \
  $sys_start $sys_size $win_start $win_size | sfdisk -q "$disk"
attach "$disk" $sys_start $sys_size && sys=$loop
attach "$disk" $win_start $win_size && win=$loop
mkfs.fat -F 32 "$sys" >/dev/null 2>&1
mkntfs -Q -F -q "$win" 2>/dev/null
"$bin/wimengine" "$work/windows.wim" 1 "$win" | tail -1
mkdir -p "$work/s" "$work/w"
fusefat -o rw+ "$sys" "$work/s" >/dev/null 2>&1 && mounts+=("$work/s")
ntfs-3g "$win" "$work/w" && mounts+=("$work/w")
"$bin/bcdboot" "$work/w/Windows" /S "$work/s" >/dev/null
"$bin/bootsect" /NT60 "$work/s" >/dev/null
umount "$work/s" && umount "$work/w" && mounts=()
bios_line="BIOS: MBR $arrow partition 1 (active, FAT32) $arrow bootmgr $arrow \\Boot\\BCD $arrow Windows 11 on partition 2 (\\Windows)"
uefi_line="UEFI: MBR $arrow partition 1 (FAT32) $arrow \\EFI\\Boot\\bootx64.efi $arrow \\EFI\\Microsoft\\Boot\\BCD $arrow Windows 11 on partition 2 (\\Windows)"
# sfdisk leaves no MBR code and neither partition active: the activation
# mends both and reads back.
expect_broken "$disk" "$sys" "BIOS: the MBR of $disk holds no boot code: run BOOTICE /DEVICE=$sys /partitions /activate"
"$bin/bootice" /DEVICE="$sys" /partitions /activate /quiet >"$work/activate.out" ||
  { cat "$work/activate.out"; fail "the activation failed"; }
grep -qxF "$bios_line" "$work/activate.out" && grep -qxF "$uefi_line" "$work/activate.out" ||
  fail "the activation did not print the chains: $(cat "$work/activate.out")"
grep -q roamdeck-partition /proc/self/mountinfo && fail "the activation left a temporary mount"
expect_chain "$disk" "$sys" "$bios_line" "$uefi_line"
# Through the system's own mount of the Windows partition, which stays.
ntfs-3g -o ro "$win" "$work/w" && mounts+=("$work/w")
expect_chain "$disk" "$win" "$bios_line" "$uefi_line"
mountpoint -q "$work/w" || fail "/check unmounted the system's own mount"
umount "$work/w" && mounts=()

# Each link broken on a copy, named through an offset loop device over it.
check_copy() {  # check_copy WORDS: /check of the copy's partition 1
  attach "$work/copy.img" $sys_start $sys_size
  expect_broken "$work/copy.img" "$loop" "$1"
  losetup -d "$loop" && unset 'loops[-1]'
}
copy_of "$disk" && put_le "$work/copy.img" $((0x1BE)) 1 0 && put_le "$work/copy.img" $((0x1CE)) 1 $((0x80))
check_copy "BIOS: partition 2 is active, but the boot files are on partition 1: run BOOTICE /DEVICE="
copy_of "$disk" && put_le "$work/copy.img" $((sys_start * 512 + 0x1C)) 4 63
check_copy "BIOS: the boot sector of partition 1 says the volume starts at sector 63 (HiddenSectors)"
copy_of "$disk" && dd if=/dev/zero of="$work/copy.img" bs=440 count=1 conv=notrunc status=none
check_copy "BIOS: the MBR of $work/copy.img holds no boot code"
copy_of "$disk"
fat="$work/copy.img@@$((sys_start * 512))"
mattrib -i "$fat" -r -s -h ::/bootmgr && mdel -i "$fat" ::/bootmgr
check_copy "BIOS: there is no bootmgr in the root of partition 1"
# A store whose loader names a partition that is not there: the Windows
# partition's start (133120 × 512 = 0x4100000) in both device elements moved.
copy_of "$disk"
mcopy -n -i "$fat" ::/Boot/BCD "$work/BCD"
perl -0777 -pi -e 's/\x00\x00\x10\x04\x00\x00\x00\x00/\x00\x00\x70\x0f\x00\x00\x00\x00/g' "$work/BCD"
mcopy -o -i "$fat" "$work/BCD" ::/Boot/BCD
check_copy "names the partition at byte 258998272 of the MBR disk 5eed2468, which is on no disk of this machine"
copy_of "$disk"
attach "$work/copy.img" $win_start $win_size && ntfs-3g "$loop" "$work/w" && mounts+=("$work/w")
rm "$work/w/Windows/System32/winload.exe"
umount "$work/w" && mounts=() && losetup -d "$loop" && unset 'loops[-1]'
check_copy "BIOS: \\Windows\\system32\\winload.exe is missing on partition 2"
copy_of "$disk" && mdel -i "$fat" ::/EFI/Boot/bootx64.efi
check_copy "UEFI: partition 1 has no \\EFI\\Boot\\bootx64.efi, and no firmware entry starts"
losetup -d "$sys" "$win" && loops=()

# --- MBR: NTFS alone, boot files and Windows on one partition -------------
disk=$work/ntfs.img
truncate -s 120M "$disk"
printf 'label: dos\nlabel-id: 0x0ddba11a\nstart=2048, size=243712, type=7\n' | sfdisk -q "$disk"
attach "$disk" 2048 243712 && win=$loop
mkntfs -Q -F -q -p 2048 "$win" 2>/dev/null
ntfs-3g "$win" "$work/w" && mounts+=("$work/w")
"$bin/wimengine" "$work/windows.wim" 1 "$work/w" | tail -1
"$bin/bcdboot" "$work/w/Windows" /S "$work/w" >/dev/null
"$bin/bootsect" /NT60 "$work/w" >/dev/null
"$bin/bootice" /DEVICE="$work/w" /partitions /activate /quiet >"$work/activate.out" ||
  { cat "$work/activate.out"; fail "the activation of the NTFS disk failed"; }
ntfs_line="BIOS: MBR $arrow partition 1 (active, NTFS) $arrow bootmgr $arrow \\Boot\\BCD $arrow Windows 11 on partition 1 (\\Windows)"
grep -qxF "$ntfs_line" "$work/activate.out" || fail "no chain after the activation: $(cat "$work/activate.out")"
umount "$work/w" && mounts=()
expect_chain "$disk" "$win" "$ntfs_line"
# bootmgr stored compressed: written anew into a compressed root folder.
copy_of "$disk" && losetup -d "$win" && loops=()
attach "$work/copy.img" 2048 243712 && ntfs-3g "$loop" "$work/w" && mounts+=("$work/w")
rm "$work/w/bootmgr"
attributes() {  # attributes PATH [VALUE]: NTFS attributes through ntfs-3g
  python3 -c 'import os, sys
name = "system.ntfs_attrib"
if len(sys.argv) > 2: os.setxattr(sys.argv[1], name, int(sys.argv[2]).to_bytes(4, "little"))
else: print(int.from_bytes(os.getxattr(sys.argv[1], name), "little"))' "$@"
}
root=$(attributes "$work/w")
attributes "$work/w" $((root | 0x800))
cp "$work/tree/Windows/Boot/PCAT/bootmgr" "$work/w/bootmgr"
attributes "$work/w" "$root"
(( $(attributes "$work/w/bootmgr") & 0x800 )) || fail "ntfs-3g did not store the new bootmgr compressed"
umount "$work/w" && mounts=()
expect_broken "$work/copy.img" "$loop" "BIOS: bootmgr on partition 1 is stored compressed"
losetup -d "$loop" && loops=()

# --- GPT: ESP (partition 1) and NTFS Windows (partition 2) ----------------
disk=$work/gpt.img
truncate -s 200M "$disk"
sfdisk -q "$disk" <<EOF
label: gpt
label-id: 5EED2468-0000-4000-8000-00000000D15C
start=2048, size=131072, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=01234567-89AB-CDEF-0123-456789ABCDEF
start=133120, size=262144, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=76543210-BA98-FEDC-3210-FEDCBA987654
EOF
attach "$disk" 2048 131072 && mkfs.fat -F 32 -h 2048 "$loop" >/dev/null 2>&1 && esp=$loop
attach "$disk" 133120 262144 && win=$loop
mkntfs -Q -F -q -p 133120 "$win" 2>/dev/null
ntfs-3g "$win" "$work/w" && mounts+=("$work/w")
"$bin/wimengine" "$work/windows.wim" 1 "$work/w" | tail -1
"$bin/bootsect" /NT60 "$work/w" >/dev/null
"$bin/bcdboot" "$work/w/Windows" /S "$work/w" >/dev/null
"$bin/bootice" /DEVICE="$work/w" /partitions /activate /quiet >"$work/activate.out" ||
  { cat "$work/activate.out"; fail "the activation of the GPT disk failed"; }
gpt_line="UEFI: GPT $arrow partition 1 (EFI system partition, FAT32) $arrow \\EFI\\Boot\\bootx64.efi $arrow \\EFI\\Microsoft\\Boot\\BCD $arrow Windows 11 on partition 2 (\\Windows)"
grep -qxF "$gpt_line" "$work/activate.out" && grep -q "starts it from the EFI system partition" \
  "$work/activate.out" || fail "no chain after the GPT activation: $(cat "$work/activate.out")"
umount "$work/w" && mounts=()
expect_chain "$disk" "$win" "$gpt_line"  # the ESP mounted nowhere
fusefat -o ro "$esp" "$work/s" >/dev/null 2>&1 && mounts+=("$work/s")
expect_chain "$disk" "$win" "$gpt_line"  # the ESP's own mount
mountpoint -q "$work/s" || fail "/check unmounted the ESP's own mount"
umount "$work/s" && mounts=() && losetup -d "$esp" "$win" && loops=()
copy_of "$disk" && mdel -i "$work/copy.img@@$((2048 * 512))" ::/EFI/Boot/bootx64.efi
attach "$work/copy.img" 133120 262144
expect_broken "$work/copy.img" "$loop" "UEFI: partition 1 has no \\EFI\\Boot\\bootx64.efi, and no firmware entry starts \\EFI\\Microsoft\\Boot\\bootmgfw.efi first"
echo "start chain: 4 set-ups pass; $broken broken chains each named, every image unchanged"
