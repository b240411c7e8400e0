#!/bin/bash
# Runs the README's commands for a Windows disk made from Linux, as they
# stand there (the block after the line naming this script), on a disk
# image: partition, format, apply, mount, bcdboot, bootsect, BOOTICE.
#   windows-disk-test.sh <folder of the native programs> <work folder>
# The image applied is captured from a volume that ntfs_volume.py builds.
# Then: info listed the edition, the apply took it by name, the engine
# wrote the volume directly and applied everything, the system partition
# carries boot code, and the MBR has code and the partition active; bcdboot
# left a boot manager and a store on the system partition.
# Needs root; without it the test is skipped (exit 77) and says so.
set -euo pipefail
bin=$(realpath "$1")
work=$2
here=$(dirname "$(realpath "$0")")
readme=$here/../../README.md

if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: preparing a disk needs root for loop devices and mounts"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"

commands=$(awk '/<!-- tests\/ntfs3g\/windows-disk-test.sh/ { found = 1; next }
  found && /^    / { sub(/^    /, ""); print; inside = 1; next }
  found && inside && /^[^ ]/ { exit }' "$readme")
[ -n "$commands" ] || { echo "error: no commands found in $readme"; exit 1; }
# The test's own disk and image instead of the README's first line.
commands=$(sed '1d; s#build/native/bin/bcdboot#runBcdboot#; s#build/native/bin/#"$bin"/#g' \
  <<<"$commands")

runBcdboot() {
  "$bin/bcdboot" "$@" || { echo "FAILED: bcdboot exited with $?"; return 1; }
  # The system partition (the last argument) has the boot manager and a store.
  local system=${*: -1}
  [ -f "$system/bootmgr" ] && [ -f "$system/Boot/BCD" ] ||
    { echo "FAILED: no bootmgr or Boot/BCD on $system"; return 1; }
}

# The image: a volume built through ntfs-3g, captured from its block device.
truncate -s 66M "$work/source.img"
source=$(losetup -f --show "$work/source.img")
mounted=()
cleanup() {
  for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || true; done
  losetup -d "$source" 2>/dev/null || true
}
trap cleanup EXIT
mkntfs -Q -F -q "$source" 2>/dev/null
mkdir -p "$work/source"
ntfs-3g "$source" "$work/source"
mounted+=("$work/source")
python3 "$here/ntfs_volume.py" populate "$work/source"
umount "$work/source"
wimcapture "$source" "$work/install.wim" Windows >/dev/null

disk=$work/windows.img image=$work/install.wim edition=Windows s=$work/s w=$work/w
mounted+=("$s" "$w")
echo "== the README's commands"
set +e
(
  set -ex
  eval "$commands"
) >"$work/commands.log" 2>&1
code=$?
set -e
cat "$work/commands.log"
if [ "$code" != 0 ]; then
  # What the block set up, for the clean-up, since it stopped half way.
  for l in $(losetup -j "$disk" | cut -d: -f1); do losetup -d "$l" || true; done
  echo "FAILED: the commands stopped with $code"
  exit 1
fi

failed=0
check() {  # check <what> <command...>
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}
check "info listed the image's edition" grep -qx 'Name: *Windows' "$work/commands.log"
check "the edition was applied by its name" grep -q 'Applying image 1 "Windows"' "$work/commands.log"
check "the engine wrote the volume directly" grep -q 'INFO.*written directly through libntfs-3g' "$work/commands.log"
check "the engine warned about nothing" bash -c "! grep -q WARN '$work/commands.log'"
check "the loop devices are gone" bash -c "[ -z \"\$(losetup -j '$disk')\" ]"
byte() { od -An -tx1 -j "$2" -N1 "$1" | tr -d ' '; }
check "the MBR has code" bash -c "[ -n \"\$(head -c 440 '$disk' | tr -d '\\0')\" ]"
check "partition 1 is active" [ "$(byte "$disk" 446)" = 80 ]
check "partition 2 is not" [ "$(byte "$disk" 462)" = 00 ]
bootSector=$(dd if="$disk" bs=512 skip=2048 count=1 status=none | od -An -c | tr -d ' \n')
check "the system partition has bootsect's code, not mkfs.fat's" \
  bash -c "! grep -q 'notabootable' <<<'$bootSector'"
check "the boot sector ends in 55 AA" [ "$(byte "$disk" $((2048 * 512 + 510)))$(byte "$disk" $((2048 * 512 + 511)))" = 55aa ]
[ "$failed" = 0 ] && echo "PASSED"
exit "$failed"
