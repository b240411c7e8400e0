#!/bin/bash
# attach-disk.sh PREFIX IMAGE STATE [--sector-size 512|4096] [N=LETTER | N=-]...
# Attaches a disk image to a 64-bit Wine prefix as Windows sees a disk: the
# test driver roamdisk.sys (from ROAMDISK_SYS, else beside this build's
# test programs) presents it as \\.\PhysicalDrive1 and each of its partitions
# as a volume; partition N=LETTER also gets that drive letter, whose files are
# the partition's Linux mount (ntfs-3g for NTFS, fusefat for FAT); N=- leaves
# it without a letter, as an EFI system partition usually is.
# Every byte range is reached through one Linux block device: an offset loop
# device for each partition (the one its mount and the driver's volume use),
# one for the whole disk (the driver's disk device, for the rest). STATE is a
# new folder that records what was made; detach-disk.sh PREFIX STATE undoes
# it. As root.
set -euo pipefail
prefix=$(realpath "$1") image=$(realpath "$2") state=$(realpath -m "$3")
shift 3
sector=512
if [ "${1:-}" = --sector-size ]; then sector=$2; shift 2; fi
driver=${ROAMDISK_SYS:?name the built roamdisk.sys in ROAMDISK_SYS}
[ "$(id -u)" -eq 0 ] || { echo "attaching a disk needs root (loop devices, mounts)" >&2; exit 1; }
[ -e "$state" ] && { echo "$state exists: detach first" >&2; exit 1; }
mkdir -p "$state/mnt" "$state/nodes"
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
wine=/usr/lib/wine/wine64
record() { echo "$1 $2" >>"$state/made"; }

disk=$(losetup -f --show --sector-size "$sector" "$image")
record loop "$disk"
bytes=$(blockdev --getsize64 "$disk")
echo "sector $sector" >"$state/disk.conf"
echo "disk $bytes $disk" >>"$state/disk.conf"

declare -A letters=()
for choice in "$@"; do letters[${choice%%=*}]=${choice#*=}; done

# partitions: "N START SECTORS TYPE" in the disk's own sectors; an extended
# partition is a container of others, no volume of its own.
sfdisk -d "$disk" |
  sed -n 's/^[^ ]*[^0-9]\([0-9][0-9]*\) : start= *\([0-9]*\), size= *\([0-9]*\), type=\([0-9A-Za-z-]*\).*/\1 \2 \3 \4/p' \
  >"$state/partitions"
while read -r number start sectors type; do
  case $type in 5 | f | 85) continue ;; esac
  loop=$(losetup -f --show --sector-size "$sector" -o $((start * sector)) \
    --sizelimit $((sectors * sector)) "$image")
  record loop "$loop"
  letter=${letters[$number]:--}
  echo "volume $((start * sector)) $((sectors * sector)) $loop $letter" >>"$state/disk.conf"
  [ "$letter" = - ] && continue
  lower=$(tr 'A-Z' 'a-z' <<<"$letter")
  folder="$state/mnt/$lower"
  mkdir -p "$folder"
  # The mount is made through a device node that is then removed: Wine opens
  # the device that the mount table names for \\.\X:, and with none there the
  # name reaches the driver, as on Windows.
  node="$state/nodes/$lower"
  mknod "$node" b $((0x$(stat -c %t "$loop"))) $((0x$(stat -c %T "$loop")))
  case $(blkid -o value -s TYPE "$loop" || true) in
    ntfs) ntfs-3g "$node" "$folder" ;;
    vfat) fusefat -o rw+ "$node" "$folder" >/dev/null 2>&1 ;;
    *) echo "partition $number holds neither NTFS nor FAT: not mounted" >&2; rm "$node"; continue ;;
  esac
  rm "$node"
  record mount "$folder"
  # A letter the prefix already has is lent, and given back on detaching.
  for name in "$lower:" "$lower::"; do
    if [ -L "$prefix/dosdevices/$name" ]; then
      record old-link "$prefix/dosdevices/$name $(readlink "$prefix/dosdevices/$name")"
      rm "$prefix/dosdevices/$name"
    fi
  done
  ln -sn "$folder" "$prefix/dosdevices/$lower:"
  record link "$prefix/dosdevices/$lower:"
done <"$state/partitions"

# The driver, in the mount manager's process (the same load order group), so
# that it can add its volumes to the mount manager's answers.
wineserver -p </dev/null >/dev/null 2>&1 || true
"$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
cp "$driver" "$prefix/drive_c/windows/system32/drivers/roamdisk.sys"
if ! "$wine" sc query roamdisk </dev/null >/dev/null 2>&1; then
  "$wine" sc create roamdisk type= kernel start= demand group= "System Bus Extender" \
    binpath= 'C:\windows\system32\drivers\roamdisk.sys' </dev/null >/dev/null
fi
"$wine" reg add 'HKLM\System\CurrentControlSet\Services\roamdisk' /v ConfigFile /t REG_SZ \
  /d "$state/disk.conf" /f </dev/null >/dev/null
"$wine" sc start roamdisk </dev/null >/dev/null 2>&1 || true
for _ in $(seq 50); do
  "$wine" sc query roamdisk </dev/null 2>/dev/null | grep -q RUNNING && break
  sleep 0.2
done
"$wine" sc query roamdisk </dev/null 2>/dev/null | grep -q RUNNING ||
  { echo "the test disk driver did not start" >&2; exit 1; }
record driver roamdisk
echo "attached $image as \\\\.\\PhysicalDrive1 ($sector-byte sectors): $(grep -c '^volume' "$state/disk.conf") volumes"
