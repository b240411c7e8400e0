# Sourced by the ntfs-3g tests, after they set $work: NTFS volumes on offset
# loop devices over image files, and ntfs-3g mounts of them, every one undone
# at exit however the test ends.
rm -rf "$work"
mkdir -p "$work"
loops=()
mounts=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
}
trap cleanup EXIT

# newVolume <name> <MB>: an image file with one partition at sector 2048,
# an offset loop device over the partition, formatted NTFS. Sets $loop.
newVolume() {
  truncate -s "$(($2 + 2))M" "$work/$1.img"
  loop=$(losetup -f --show -o $((2048 * 512)) --sizelimit $(($2 << 20)) "$work/$1.img")
  loops+=("$loop")
  mkntfs -Q -F -q -p 2048 -L "$1" "$loop" 2>/dev/null
}
mountVolume() {  # mountVolume <device> <folder> [options]
  mkdir -p "$2"
  ntfs-3g "$1" "$2" ${3:+-o "$3"}
  mounts+=("$2")
}
