# Sourced by the boot tests that work on disk images as root: every loop
# device and mount made through these is undone at exit, however the test
# ends.
loops=() mounts=()
undo_disks() {
  local m l
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
}
trap undo_disks EXIT
fail() { echo "FAIL: $*"; exit 1; }
# attach IMAGE START SECTORS: an offset loop device over one partition, named
# in $loop (not printed: a subshell would lose the record of it).
attach() {
  loop=$(losetup -f --show -o $(($2 * 512)) --sizelimit $(($3 * 512)) "$1")
  loops+=("$loop")
}
