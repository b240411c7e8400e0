#!/bin/bash
# The Windows builds of bootsect, bcdboot and BOOTICE on disks that the test
# driver presents under Wine (attach-disk.sh), then the disks booted:
#   - the driver's answers against sfdisk and sgdisk, for MBR and GPT disks
#     of 512- and 4096-byte sectors, before and after a layout it was told
#     to write (IOCTL_DISK_SET_DRIVE_LAYOUT_EX; sgdisk -v must accept it);
#   - an MBR disk (FAT32 system, NTFS Windows, neither active): the three
#     tools in the program's order; SeaBIOS and OVMF start it;
#   - a GPT disk whose ESP has a drive letter: OVMF starts it; the same disk
#     with an ESP without a letter: bcdboot finds the ESP's volume, cannot
#     give it a letter (Wine has no SetVolumeMountPointW) and says so, with
#     nothing written;
#   - refusals: BOOTICE on a logical partition, bcdboot on a GPT disk without
#     an ESP, bootsect on a volume that is neither NTFS nor FAT.
# Wine answers FSCTL_LOCK_VOLUME itself (always yes) and fails
# FSCTL_DISMOUNT_VOLUME on a driver's handle: neither reaches the driver, so
# locking and dismounting stay unproven here.
#   wine-disk-test.sh <win64 bin folder> <carried tools folder> <work folder>
set -euo pipefail
bin=$(realpath "$1") tools=$(realpath "$2") work=$(realpath -m "$3")
here=$(dirname "$(realpath "$0")")
boot=$here/../boot
bench=${ROAMDECK_BENCH:?run through ctest, after the bench_start fixture}
prefix="$bench/prefix"
[ "$(id -u)" -eq 0 ] || { echo "the disk bench needs root (loop devices, mounts)"; exit 1; }
export ROAMDISK_SYS="$bin/roamdisk.sys" WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
export LC_ALL=zh_CN.UTF-8 DISPLAY=$(cat "$bench/display")
wine=/usr/lib/wine/wine64
rm -rf "$work" && mkdir -p "$work"
state="$work/attached"
cleanup() { [ -d "$state" ] && bash "$here/detach-disk.sh" "$prefix" "$state"; true; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
attach_disk() { bash "$here/attach-disk.sh" "$prefix" "$@"; }
detach_disk() { bash "$here/detach-disk.sh" "$prefix" "$state" || fail "detach left something behind"; }
probe() { "$wine" "$bin/diskprobe.exe" "$@" </dev/null | tr -d '\r'; }
# tool NAME ARGS...: runs a carried tool under Wine; its output in $out, code in $code.
tool() {
  set +e
  out=$("$wine" "$tools/$1" "${@:2}" </dev/null 2>&1 | tr -d '\r')
  code=${PIPESTATUS[0]}
  set -e
  printf '%s\n' "$out" | sed "s/^/  [$1] /"
}
sum_range() { dd if="$1" bs=512 skip=$(($2 / 512)) count=$(($3 / 512)) status=none | sha256sum; }

# What sfdisk reads, in diskprobe's words.
expected_layout() {
  sfdisk --json "$1" | python3 -c '
import json, sys
t = json.load(sys.stdin)["partitiontable"]
ss = t.get("sectorsize", 512)
print("style", "gpt" if t["label"] == "gpt" else "mbr")
if t["label"] == "dos":
    print("signature", t["id"][2:].lower().rjust(8, "0"))
else:
    print("disk-guid", t["id"].lower())
for p in t["partitions"]:
    start, size = p["start"] * ss, p["size"] * ss
    if t["label"] == "dos":
        if p["type"] in ("5", "f", "85"): continue
        print("part", start, size, "type", p["type"].rjust(2, "0"), "boot", 1 if p.get("bootable") else 0)
    else:
        print("part", start, size, "type", p["type"].lower(), "unique", p["uuid"].lower())
'
}
actual_layout() {
  probe layout '\\.\PhysicalDrive1' | sed -n 's/^style /style /p; s/^signature /signature /p; s/^disk-guid /disk-guid /p;
    s/^partition [1-9][0-9]* start \([0-9]*\) length \([0-9]*\) /part \1 \2 /p'
}

source "$boot/disk-helpers.sh"
trap cleanup EXIT
make_tree() { make_test_windows "$1" "$work/kernel.exe" "$boot"; }
x86_64-w64-mingw32-windres "$boot/version_sample.rc" -O coff -o "$work/version.o"
x86_64-w64-mingw32-gcc "$boot/version_sample.c" "$work/version.o" -o "$work/kernel.exe"
make_tree "$work/tree"

# ---- the driver's answers ----
for sector in 512 4096; do
  for label in dos gpt; do
    img="$work/layout-$label-$sector.img"
    truncate -s 64M "$img"
    loop=$(losetup -f --show --sector-size "$sector" "$img")
    if [ "$label" = dos ]; then
      printf 'label: dos\nlabel-id: 0x0badcafe\nstart=1MiB, size=8MiB, type=c, bootable\nstart=10MiB, size=30MiB, type=5\nstart=11MiB, size=4MiB, type=7\nstart=16MiB, size=2MiB, type=83\n' | sfdisk -q --no-reread "$loop"
    else
      printf 'label: gpt\nfirst-lba: 256\nstart=1MiB, size=8MiB, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\nstart=20MiB, size=10MiB, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n' | sfdisk -q --no-reread "$loop"
    fi
    expected=$(expected_layout "$loop")
    losetup -d "$loop"
    attach_disk "$img" "$state" --sector-size "$sector" >/dev/null
    actual=$(actual_layout)
    [ "$actual" = "$expected" ] || { diff <(echo "$expected") <(echo "$actual"); fail "$label/$sector: layout differs from sfdisk's"; }
    probe layout '\\.\PhysicalDrive1' | grep -q "^sector $sector$" || fail "$label/$sector: sector size"
    shorts=$(probe short '\\.\PhysicalDrive1')
    grep -q "^geometry-8 0 122$" <<<"$shorts" && grep -q "^layout-1 0 122$" <<<"$shorts" &&
      grep -q "^read-unaligned 0 87$" <<<"$shorts" && grep -q "^read-past-end 0 87$" <<<"$shorts" ||
      { echo "$shorts"; fail "$label/$sector: short buffers and bad offsets"; }
    # A new table written through the driver.
    if [ "$label" = dos ]; then
      probe set-mbr '\\.\PhysicalDrive1' 13572468 7 $((2 * 1048576)) $((16 * 1048576)) 1 \
        c $((20 * 1048576)) $((8 * 1048576)) 0 | grep -q '^set$' || fail "set-mbr"
    else
      probe set-gpt '\\.\PhysicalDrive1' \
        c12a7328-f81f-11d2-ba4b-00a0c93ec93b 0f3c0a7e-1111-4222-8333-444455556666 $((1048576)) $((4 * 1048576)) EFI \
        ebd0a0a2-b9e5-4433-87c0-68b6b72699c7 0f3c0a7e-7777-4888-8999-aaaabbbbcccc $((8 * 1048576)) $((32 * 1048576)) Windows |
        grep -q '^set$' || fail "set-gpt"
    fi
    after=$(actual_layout)
    detach_disk
    loop=$(losetup -f --show --sector-size "$sector" "$img")
    expected=$(expected_layout "$loop")
    if [ "$label" = gpt ]; then
      sgdisk -v "$loop" | grep -q "No problems found" || { sgdisk -v "$loop"; losetup -d "$loop"; fail "sgdisk rejects the written GPT"; }
      grep -q "part $((8 * 1048576)) $((32 * 1048576)) type ebd0a0a2-b9e5-4433-87c0-68b6b72699c7 unique 0f3c0a7e-7777-4888-8999-aaaabbbbcccc" <<<"$expected" ||
        { losetup -d "$loop"; echo "$expected"; fail "sfdisk does not read the written GPT"; }
    else
      grep -q "^signature 13572468$" <<<"$expected" && grep -q "part $((2 * 1048576)) $((16 * 1048576)) type 07 boot 1" <<<"$expected" ||
        { losetup -d "$loop"; echo "$expected"; fail "sfdisk does not read the written MBR"; }
    fi
    losetup -d "$loop"
    [ "$after" = "$expected" ] || { diff <(echo "$expected") <(echo "$after"); fail "$label/$sector: the driver's layout after the write"; }
    echo "layout $label, $sector-byte sectors: as sfdisk reads it, before and after a write"
  done
done

# ---- MBR: FAT32 system + NTFS Windows, the tools in the program's order ----
img="$work/mbr.img"
truncate -s 400M "$img"
printf 'label: dos\nlabel-id: 0x2468ace0\nstart=2048, size=131072, type=c\nstart=133120, type=7\n' | sfdisk -q "$img"
loop=$(losetup -f --show -o $((2048 * 512)) --sizelimit $((131072 * 512)) "$img")
mkfs.fat -F 32 -h 2048 -n SYSTEM "$loop" >/dev/null && losetup -d "$loop"
loop=$(losetup -f --show -o $((133120 * 512)) "$img")
mkntfs -Q -F -q -p 133120 -L Windows "$loop" 2>/dev/null
mkdir -p "$work/m" && ntfs-3g "$loop" "$work/m" && cp -r "$work/tree/Windows" "$work/m/" && umount "$work/m" && losetup -d "$loop"
attach_disk "$img" "$state" 1=S 2=W
tool bootsect.exe /NT60 S:
[ "$code" -eq 0 ] || fail "bootsect.exe exited with $code"
tool bcdboot.exe 'W:\Windows' /S 'S:\'
[ "$code" -eq 0 ] || fail "bcdboot.exe exited with $code"
tool BOOTICE.exe '/DEVICE=S:\' /partitions /activate /quiet
[ "$code" -eq 0 ] || fail "BOOTICE.exe exited with $code"
grep -q "Partition 1 of .*PhysicalDrive1 (S:.*) is now the active partition" <<<"$out" || fail "BOOTICE did not activate partition 1"
# The read-back, through the drive letters of both partitions.
mbr_chain='BIOS: MBR -> partition 1 (active, FAT32) -> bootmgr -> \Boot\BCD -> Windows 11 on partition 2 (\Windows)'
grep -qxF "$mbr_chain" <<<"$out" || fail "BOOTICE did not print the BIOS chain"
tool BOOTICE.exe '/DEVICE=S:\' /check
[ "$code" -eq 0 ] && grep -qxF "$mbr_chain" <<<"$out" || fail "BOOTICE /check did not pass the disk"
detach_disk
sfdisk -d "$img" | grep -q "${img}1 : .*bootable" || fail "partition 1 is not active"
bios=0 && bios_boot "$img" "$work/mbr-bios.log" || bios=$?
uefi=0 && uefi_boot "$img" "$work/mbr-uefi.log" || uefi=$?
[ "$bios" -eq 33 ] && ! grep -q FAIL "$work/mbr-bios.log" || { cat "$work/mbr-bios.log"; fail "MBR disk: SeaBIOS boot ended with $bios"; }
[ "$uefi" -eq 33 ] || { grep -a "PASS\|FAIL" "$work/mbr-uefi.log"; fail "MBR disk: OVMF boot ended with $uefi"; }
echo "MBR disk set up by the Windows tools: SeaBIOS and OVMF start it"

# ---- GPT: ESP + MSR + NTFS ----
img="$work/gpt.img"
truncate -s 400M "$img"
printf 'label: gpt\nstart=2048, size=131072, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\nsize=32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\ntype=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n' | sfdisk -q "$img"
read -r winStart winSize < <(sfdisk -d "$img" | sed -n 's/^[^ ]*3 : start= *\([0-9]*\), size= *\([0-9]*\).*/\1 \2/p')
loop=$(losetup -f --show -o $((2048 * 512)) --sizelimit $((131072 * 512)) "$img")
mkfs.fat -F 32 -h 2048 -n SYSTEM "$loop" >/dev/null && losetup -d "$loop"
loop=$(losetup -f --show -o $((winStart * 512)) --sizelimit $((winSize * 512)) "$img")
mkntfs -Q -F -q -p "$winStart" -L Windows "$loop" 2>/dev/null
ntfs-3g "$loop" "$work/m" && cp -r "$work/tree/Windows" "$work/m/" && umount "$work/m" && losetup -d "$loop"
cp "$img" "$work/gpt-noletter.img"

# The ESP without a drive letter: found through the volume list, and refused
# for want of a letter, with nothing written to it.
before=$(sum_range "$work/gpt-noletter.img" $((2048 * 512)) $((131072 * 512)))
attach_disk "$work/gpt-noletter.img" "$state" 3=W
volumes=$(probe volumes)
grep -q '^volume \\\\?\\Volume{52444b31-0000-0000-0000-000000100000}\\ paths$' <<<"$volumes" ||
  { echo "$volumes"; fail "the ESP is not in the volume list without a path"; }
tool bcdboot.exe 'W:\Windows' /S 'W:\'
detach_disk
[ "$code" -ne 0 ] || fail "bcdboot.exe succeeded without reaching the ESP"
grep -q 'Volume{52444b31-0000-0000-0000-000000100000}' <<<"$out" && grep -qi 'drive letter' <<<"$out" ||
  fail "bcdboot did not name the ESP's volume and the drive letter it could not give it"
[ "$(sum_range "$work/gpt-noletter.img" $((2048 * 512)) $((131072 * 512)))" = "$before" ] ||
  fail "the ESP changed although bcdboot stopped"
table() { sfdisk -d "$1" | sed "s|$1||"; }
[ "$(table "$work/gpt-noletter.img")" = "$(table "$img")" ] || fail "the table changed"
echo "GPT disk, ESP without a letter: found, refused with the reason, nothing written"

attach_disk "$img" "$state" 1=S 3=W
tool bootsect.exe /NT60 S:
[ "$code" -eq 0 ] || fail "bootsect.exe exited with $code on the ESP"
tool bcdboot.exe 'W:\Windows' /S 'S:\'
[ "$code" -eq 0 ] || fail "bcdboot.exe exited with $code on the GPT disk"
tool BOOTICE.exe '/DEVICE=S:\' /partitions /activate /quiet
[ "$code" -eq 0 ] && grep -q "holds Windows Boot Manager" <<<"$out" || fail "BOOTICE did not accept the GPT disk"
grep -qxF 'UEFI: GPT -> partition 1 (EFI system partition, FAT32) -> \EFI\Boot\bootx64.efi -> \EFI\Microsoft\Boot\BCD -> Windows 11 on partition 3 (\Windows)' <<<"$out" ||
  fail "BOOTICE did not print the UEFI chain of the GPT disk"
detach_disk
sgdisk -v "$img" | grep -q "No problems found" || fail "the GPT is damaged"
uefi=0 && uefi_boot "$img" "$work/gpt-uefi.log" || uefi=$?
[ "$uefi" -eq 33 ] || { grep -a "PASS\|FAIL" "$work/gpt-uefi.log"; fail "GPT disk: OVMF boot ended with $uefi"; }
echo "GPT disk set up by the Windows tools: OVMF starts it"

# ---- GPT of 4096-byte sectors (4Kn): the same tools, OVMF on such a disk ----
img="$work/gpt4k.img"
truncate -s 420M "$img"
whole=$(losetup -f --show --sector-size 4096 "$img")
sfdisk -q --no-reread "$whole" 2>/dev/null <<PARTS
label: gpt
start=256, size=66560, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B
start=66816, size=4096, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE
start=70912, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
PARTS
losetup -d "$whole"
loop=$(losetup -f --show --sector-size 4096 -o $((256 * 4096)) --sizelimit $((66560 * 4096)) "$img")
mkfs.fat -F 32 -S 4096 -s 1 -h 256 -n SYSTEM "$loop" >/dev/null && losetup -d "$loop"
loop=$(losetup -f --show --sector-size 4096 -o $((70912 * 4096)) --sizelimit $((32768 * 4096)) "$img")
mkntfs -Q -F -q -s 4096 -p 70912 "$loop" 2>/dev/null
ntfs-3g "$loop" "$work/m" && cp -r "$work/tree/Windows" "$work/m/" && umount "$work/m" && losetup -d "$loop"
attach_disk "$img" "$state" --sector-size 4096 1=S 3=W
tool bootsect.exe /NT60 S:
[ "$code" -eq 0 ] || fail "bootsect.exe exited with $code on a 4Kn ESP"
tool bcdboot.exe 'W:\Windows' /S 'S:\'
[ "$code" -eq 0 ] || fail "bcdboot.exe exited with $code on a 4Kn disk"
tool BOOTICE.exe '/DEVICE=S:\' /partitions /activate /quiet
[ "$code" -eq 0 ] && grep -q "holds Windows Boot Manager" <<<"$out" || fail "BOOTICE did not accept the 4Kn GPT disk"
detach_disk
uefi=0 && uefi_boot "$img" "$work/gpt4k-uefi.log" 4096 || uefi=$?
[ "$uefi" -eq 33 ] || { grep -a "PASS\|FAIL" "$work/gpt4k-uefi.log"; fail "4Kn GPT disk: OVMF boot ended with $uefi"; }
echo "4Kn GPT disk set up by the Windows tools: OVMF starts it from 4096-byte sectors"

# ---- refusals, each leaving the image as it was ----
img="$work/refuse.img"
truncate -s 96M "$img"
printf 'label: dos\nlabel-id: 0x11223344\nstart=2048, size=32768, type=c\nstart=36864, size=120000, type=5\nstart=38912, size=16384, type=7\nstart=57344, size=16384, type=83\n' | sfdisk -q "$img"
loop=$(losetup -f --show -o $((2048 * 512)) --sizelimit $((32768 * 512)) "$img")
mkfs.fat -F 32 -h 2048 "$loop" >/dev/null 2>&1 && losetup -d "$loop"
read -r extStart _ < <(sfdisk -d "$img" | sed -n 's/^[^ ]*6 : start= *\([0-9]*\), size= *\([0-9]*\).*/\1 \2/p')
loop=$(losetup -f --show -o $((extStart * 512)) --sizelimit $((16384 * 512)) "$img")
mkfs.ext4 -q "$loop" && losetup -d "$loop"
sum=$(sha256sum <"$img")
attach_disk "$img" "$state" 5=L 6=X
tool BOOTICE.exe /DEVICE=L: /partitions /activate /quiet
[ "$code" -ne 0 ] && grep -q "logical partition" <<<"$out" || fail "BOOTICE accepted a logical partition"
tool bootsect.exe /NT60 X:
[ "$code" -ne 0 ] && grep -q "no file system this tool knows" <<<"$out" || fail "bootsect accepted a volume that is neither NTFS nor FAT"
detach_disk
[ "$(sha256sum <"$img")" = "$sum" ] || fail "a refusal changed the disk"

# More logical partitions than a table of 128 entries holds (four for each):
# the layout is asked again with room for them all.
img="$work/logicals.img"
truncate -s 200M "$img"
{
  printf 'label: dos\nlabel-id: 0x44332211\nstart=4096, size=200000, type=5\n'
  for k in $(seq 0 32); do printf 'start=%d, size=2048, type=83\n' $((4096 + 2048 + k * 4096)); done
} | sfdisk -q "$img"
[ "$(sfdisk -d "$img" | grep -c 'type=83')" -eq 33 ] || fail "the disk has not 33 logical partitions"
sum=$(sha256sum <"$img")
attach_disk "$img" "$state" 37=L >/dev/null
tool BOOTICE.exe /DEVICE=L: /partitions /activate /quiet
[ "$code" -ne 0 ] && grep -q "logical partition" <<<"$out" ||
  fail "BOOTICE did not find the 33rd logical partition in the table"
detach_disk
[ "$(sha256sum <"$img")" = "$sum" ] || fail "BOOTICE changed the disk with many logical partitions"

img="$work/noesp.img"
truncate -s 96M "$img"
printf 'label: gpt\nstart=2048, size=180000, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n' | sfdisk -q "$img"
loop=$(losetup -f --show -o $((2048 * 512)) --sizelimit $((180000 * 512)) "$img")
mkntfs -Q -F -q -p 2048 "$loop" 2>/dev/null
ntfs-3g "$loop" "$work/m" && cp -r "$work/tree/Windows" "$work/m/" && umount "$work/m" && losetup -d "$loop"
before=$(sum_range "$img" 0 $((2048 * 512)))
attach_disk "$img" "$state" 1=W
tool bcdboot.exe 'W:\Windows' /S 'W:\'
detach_disk
[ "$code" -ne 0 ] && grep -q "EFI system partition" <<<"$out" || fail "bcdboot accepted a GPT disk without an ESP"
[ "$(sum_range "$img" 0 $((2048 * 512)))" = "$before" ] || fail "bcdboot changed the table of a disk without an ESP"
loop=$(losetup -f --show -o $((2048 * 512)) --sizelimit $((180000 * 512)) "$img")
mkdir -p "$work/n" && ntfs-3g -o ro "$loop" "$work/n"
leftover=$(ls -d "$work/n/bootmgr" "$work/n/Boot" 2>/dev/null || true)
umount "$work/n" && losetup -d "$loop"
[ -z "$leftover" ] || fail "bcdboot wrote boot files to the Windows partition: $leftover"
echo "refusals: a logical partition (also the 33rd), a volume neither NTFS nor FAT, a GPT disk without an ESP; nothing changed"
echo "wine disk bench: all passed"
