#!/bin/bash
# What the native boot tools refuse, they refuse with a reason, an exit code
# other than 0 and the disk image byte for byte as it was. As root.
#   refusals.sh <native bin folder> <work folder>
set -euo pipefail
bin=$(realpath "$1") work=$2
[ "$(id -u)" -eq 0 ] || { echo "the refusal tests need root (loop devices)"; exit 1; }
rm -rf "$work" && mkdir -p "$work" && work=$(realpath "$work")
source "$(dirname "$(realpath "$0")")/disk-helpers.sh"

# expect_refusal IMAGE WORDS COMMAND...: fails, says WORDS, changes nothing.
checked=0
expect_refusal() {
  local image=$1 words=$2 before after output code
  shift 2
  before=$(sha256sum <"$image")
  set +e
  output=$("$@" 2>&1)
  code=$?
  set -e
  after=$(sha256sum <"$image")
  [ "$code" -ne 0 ] || fail "$* succeeded: $output"
  grep -q "error: .*$words" <<<"$output" || fail "$* did not say \"$words\": $output"
  [ "$before" = "$after" ] || fail "$* changed $image"
  checked=$((checked + 1))
}

# MBR disk: exFAT, FAT12, a blank partition, NTFS larger than its partition,
# and a logical NTFS partition.
disk=$work/mbr.img
truncate -s 200M "$disk"
printf 'label: dos\nlabel-id: 0x0badf00d\nstart=2048, size=65536, type=7\nstart=67584, size=8192, type=1\nstart=75776, size=65536, type=7\nstart=141312, type=5\nstart=143360, size=65536, type=7\n' |
  sfdisk -q "$disk"
attach "$disk" 2048 65536 && exfat=$loop
attach "$disk" 67584 8192 && fat12=$loop
attach "$disk" 75776 65536 && blank=$loop
attach "$disk" 143360 65536 && logical=$loop
mkfs.exfat -q "$exfat" >/dev/null 2>&1 || mkfs.exfat "$exfat" >/dev/null
mkfs.fat -F 12 "$fat12" >/dev/null
mkntfs -Q -F -q "$logical" 2>/dev/null
expect_refusal "$disk" "exFAT" "$bin/bootsect" /NT60 "$exfat"
expect_refusal "$disk" "FAT12" "$bin/bootsect" /NT60 "$fat12"
expect_refusal "$disk" "no boot signature" "$bin/bootsect" /NT60 "$blank"
expect_refusal "$disk" "logical partition" "$bin/bootice" /DEVICE="$logical" /partitions /activate
# NTFS that claims more sectors than its partition has.
mkntfs -Q -F -q "$blank" 2>/dev/null
perl -e 'open my $h, "+<", $ARGV[0] or die; binmode $h; seek $h, 0x28, 0;
  print $h pack("Q<", 1 << 20); close $h or die' "$blank"
expect_refusal "$disk" "more than its partition" "$bin/bootsect" /NT60 "$blank"
# A file holding one partition has no disk around it to mark.
truncate -s 32M "$work/part.img"
mkfs.fat -F 16 "$work/part.img" >/dev/null
expect_refusal "$work/part.img" "no disk around it" "$bin/bootice" /DEVICE="$work/part.img" \
  /partitions /activate

# GPT disk: a partition that is no EFI system partition cannot start it.
gpt=$work/gpt.img
truncate -s 100M "$gpt"
printf 'label: gpt\nstart=2048, size=65536, type=EBD0A0A2-B9E5-4433-87C0-68B99BD0BAC7\n' | sfdisk -q "$gpt"
attach "$gpt" 2048 65536 && data=$loop
mkntfs -Q -F -q "$data" 2>/dev/null
expect_refusal "$gpt" "no EFI system partition" "$bin/bootice" /DEVICE="$data" /partitions /activate

# bcdboot: a store on the system partition that is no hive is left alone.
mkfs.fat -F 32 "$exfat" >/dev/null 2>&1
mkdir -p "$work/s" "$work/w"
fusefat -o rw+ "$exfat" "$work/s" >/dev/null 2>&1 && mounts+=("$work/s")
ntfs-3g "$logical" "$work/w" && mounts+=("$work/w")
mkdir -p "$work/s/Boot" "$work/w/Windows/System32" "$work/w/Windows/Boot/PCAT"
echo "no hive" >"$work/s/Boot/BCD"
echo "boot manager" >"$work/w/Windows/Boot/PCAT/bootmgr"
set +e
output=$("$bin/bcdboot" "$work/w/Windows" /S "$work/s" 2>&1)
code=$?
set -e
[ "$code" -eq 1 ] || fail "bcdboot over a broken store exited with $code: $output"
grep -q "is not a valid registry hive" <<<"$output" || fail "bcdboot did not say why: $output"
[ "$(cat "$work/s/Boot/BCD")" = "no hive" ] || fail "bcdboot overwrote the broken store"
[ ! -e "$work/s/bootmgr" ] || fail "bcdboot copied files before refusing"
checked=$((checked + 1))

# bcdboot: no boot manager for the firmware asked for, or UEFI on NTFS.
rm "$work/s/Boot/BCD" && rmdir "$work/s/Boot"
expect_bcdboot_refusal() {  # WORDS ARGUMENTS...
  local words=$1 output code=0
  shift
  output=$("$bin/bcdboot" "$@" 2>&1) || code=$?
  [ "$code" -eq 1 ] || fail "bcdboot $* exited with $code: $output"
  grep -q "error: .*$words" <<<"$output" || fail "bcdboot $* did not say \"$words\": $output"
  [ -z "$(ls -A "$work/s")" ] && [ ! -e "$work/w/EFI" ] && [ ! -e "$work/w/bootmgr" ] ||
    fail "bcdboot $* wrote boot files"
  checked=$((checked + 1))
}
expect_bcdboot_refusal "Boot/EFI/bootmgfw.efi" "$work/w/Windows" /S "$work/s" /f UEFI
echo "efi" >"$work/w/Windows/Boot/bootmgfw.efi" && mkdir -p "$work/w/Windows/Boot/EFI" &&
  mv "$work/w/Windows/Boot/bootmgfw.efi" "$work/w/Windows/Boot/EFI/"
expect_bcdboot_refusal "starts only from FAT" "$work/s/../w/Windows" /S "$work/w" /f UEFI
rm "$work/w/Windows/Boot/PCAT/bootmgr"
expect_bcdboot_refusal "Boot/PCAT/bootmgr" "$work/w/Windows" /S "$work/s"

# GPT disks that UEFI firmware cannot start: one without an EFI system
# partition, one whose ESP is NTFS. bcdboot and BOOTICE refuse both, the
# Windows partition named as the program names it; the disk keeps every byte
# (its Windows partition mounted without access times, so that reading
# writes nothing).
esp_ntfs=$work/esp-ntfs.img
truncate -s 100M "$esp_ntfs"
printf 'label: gpt\nstart=2048, size=32768, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\nstart=34816, size=65536, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n' |
  sfdisk -q "$esp_ntfs"
attach "$esp_ntfs" 2048 32768 && mkntfs -Q -F -q "$loop" 2>/dev/null
attach "$esp_ntfs" 34816 65536 && esp_windows=$loop
mkntfs -Q -F -q "$esp_windows" 2>/dev/null
for case in "$gpt:$data:no EFI system partition" "$esp_ntfs:$esp_windows:(partition 1) is NTFS"; do
  IFS=: read -r image volume words <<<"$case"
  folder=$work/gpt-w
  mkdir -p "$folder"
  ntfs-3g -o noatime "$volume" "$folder" && mounts+=("$folder")
  mkdir -p "$folder/Windows/System32" "$folder/Windows/Boot/EFI" "$folder/Windows/Boot/PCAT"
  echo "efi" >"$folder/Windows/Boot/EFI/bootmgfw.efi"
  echo "boot manager" >"$folder/Windows/Boot/PCAT/bootmgr"
  sync
  expect_refusal "$image" "$words" "$bin/bcdboot" "$folder/Windows" /S "$folder"
  expect_refusal "$image" "$words" "$bin/bootice" /DEVICE="$folder" /partitions /activate
  [ ! -e "$folder/EFI" ] && [ ! -e "$folder/bootmgr" ] || fail "boot files written on $image"
  umount "$folder"
done
echo "refusals: $checked checked, every image unchanged"
