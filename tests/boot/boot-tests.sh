#!/bin/bash
# Boots disk images in QEMU (SeaBIOS, TCG) through the project's MBR and
# volume boot code, with a test BOOTMGR that reports how it was handed over.
#
#   boot-tests.sh BIN_DIR [CASE...]
#
# BIN_DIR holds the native bootsect and bootice, which place the boot code.
# With no CASE, every case runs. Needs root: the tools and some volumes work
# through offset loop devices, ntfs-3g and fusefat.
set -euo pipefail

bin=$(realpath "$1")
shift
here=$(dirname "$(realpath "$0")")

if [ "$(id -u)" != 0 ]; then
  echo "boot-tests: needs root for loop devices and FUSE mounts"
  exit 77
fi
for tool in nasm perl qemu-system-i386 qemu-system-x86_64 x86_64-w64-mingw32-gcc timeout sfdisk \
  mkntfs ntfscp ntfscat ntfsinfo mkfs.fat mcopy mdel mdir mmd fsck.fat ntfs-3g fusefat losetup \
  mountpoint; do
  command -v "$tool" >/dev/null || { echo "boot-tests: $tool is missing"; exit 1; }
done

work=$(mktemp -d /tmp/boot-tests.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Each case runs in a subshell of its own (see the end) that undoes the one
# mount it may hold, and its loop device, however it ends.
mounted= mount_pid= mount_loop=
release_mount() {
  if [ -n "$mounted" ]; then
    umount "$mounted" || umount -l "$mounted" || true
  elif [ -n "$mount_pid" ]; then
    kill "$mount_pid" 2>/dev/null || true # its mount never appeared
  fi
  if [ -n "$mount_pid" ]; then
    wait "$mount_pid" || true # the FUSE daemon has written everything
  fi
  if [ -n "$mount_loop" ]; then
    losetup -d "$mount_loop" || true
  fi
  mounted= mount_pid= mount_loop=
}

SECTOR=512
MIB=2048 # sectors

# --------------------------------------------------------------- the placement
# The boot code goes in as the program puts it there: bootsect writes the
# volume's boot code through an offset loop device over the partition (and
# mends HiddenSectors), BOOTICE marks the partition active and gives an MBR
# without code the project's own.
# place_boot_code DISK START: bootsect and BOOTICE on the partition at START.
# place_mbr_code DISK START: BOOTICE alone (the partition needs no file system).
place_boot_code() { run_tools "$1" "$2" bootsect bootice; }
place_mbr_code() { run_tools "$1" "$2" bootice; }
run_tools() {
  local disk=$1 start=$2 size loop tool status=0
  shift 2
  # The first entry that starts there: a primary entry may share a logical
  # partition's start.
  size=$(sfdisk -d "$disk" | sed -n "s/.*start= *$start, size= *\([0-9]*\).*/\1/p" | head -1)
  [ -n "$size" ] || fail "no partition starts at $start"
  loop=$(losetup -f --show -o $((start * SECTOR)) --sizelimit $((size * SECTOR)) "$disk")
  : >"$work/place.log"
  for tool in "$@"; do
    case $tool in
      bootsect) "$bin/bootsect" /NT60 "$loop" ;;
      # These disks hold a test BOOTMGR (stored as the case wants it) and no
      # Windows: after the activation, BOOTICE's read-back of the start chain
      # may stop at bootmgr or after it, never at a link the placement made
      # (the MBR code, the active flag, the boot sector and its code).
      bootice) "$bin/bootice" /DEVICE="$loop" /partitions /activate /quiet ||
        { [ $? -eq 1 ] && grep -q "the active partition\.$" "$work/place.log" &&
          grep "BOOTICE: error: BIOS: " "$work/place.log" |
            grep -vq "MBR of\|active\|boot sector of\|boot code of"; } ;;
    esac >>"$work/place.log" 2>&1 || { status=$?; break; }
  done
  losetup -d "$loop"
  if [ "$status" != 0 ]; then
    sed 's/^/    /' "$work/place.log"
    fail "the boot tools failed on the partition at $start"
  fi
}
# ------------------------------------------------------------------------------

# copy_bytes FROM FROM_OFFSET TO TO_OFFSET COUNT
copy_bytes() {
  dd if="$1" of="$3" bs=64K skip="$2" seek="$4" count="$5" iflag=skip_bytes,count_bytes \
    oflag=seek_bytes conv=notrunc status=none
}
# put_le FILE OFFSET WIDTH VALUE: an unsigned little-endian number.
put_le() {
  perl -e 'my ($f, $o, $w, $v) = @ARGV; open my $h, "+<", $f or die; binmode $h;
    seek $h, $o, 0; print $h substr(pack("Q<", $v), 0, $w); close $h or die' "$@"
}
# get_le FILE OFFSET WIDTH
get_le() {
  perl -e 'my ($f, $o, $w) = @ARGV; open my $h, "<", $f or die; binmode $h; seek $h, $o, 0;
    read($h, my $b, $w) == $w or die; print unpack("Q<", $b . "\0" x (8 - $w))' "$@"
}

# clear_drive_byte DISK START OFFSET: a volume formatted for another drive
# (drive byte 0 on disk), so that only the boot code's own copy in memory can
# make the byte equal DL for BOOTMGR.
clear_drive_byte() {
  put_le "$1" $(($2 * SECTOR + $3)) 1 0
}

# The test BOOTMGR, with its checksum word set so that the u32 sum is 0.
# make_bootmgr OUTPUT [SIZE]
make_bootmgr() { bash "$here/make-test-bootmgr.sh" "$@"; }

# mkfs_fat ARGS: mkfs.fat on a partition inside a larger disk image, less
# its warning that the image holds more blocks than the volume.
mkfs_fat() {
  mkfs.fat "$@" 2>&1 >/dev/null | { grep -v 'block count mismatch' || true; } >&2
}

# new_disk FILE SIZE SFDISK_SCRIPT: a sparse disk image with an MBR table.
new_disk() {
  rm -f "$1"
  truncate -s "$2" "$1"
  printf 'label: dos\nlabel-id: 0x5EB00700\n%s\n' "$3" | sfdisk -q "$1"
}

# make_ntfs SECTORS [mkntfs options...]: formats a partition image, $part
# (HiddenSectors 0 unless the options give -p).
make_ntfs() {
  local sectors=$1
  shift
  rm -f "$work/part.img"
  truncate -s $((sectors * SECTOR)) "$work/part.img"
  mkntfs -F -Q -q -H 255 -S 63 "$@" "$work/part.img" >/dev/null 2>&1
  part=$work/part.img
}
# store_part DISK START: writes the partition image into the disk.
store_part() {
  dd if="$work/part.img" of="$1" bs=1M seek=$(($2 * SECTOR)) oflag=seek_bytes \
    conv=notrunc,sparse status=none
  rm -f "$work/part.img"
}

# mount_volume DISK START SECTORS ntfs|fat: mounts the volume through an
# offset loop device at $mounted.
mount_volume() {
  local dir=$work/mnt
  mount_loop=$(losetup -f --show -o $(($2 * SECTOR)) --sizelimit $(($3 * SECTOR)) "$1")
  mkdir -p "$dir"
  if [ "$4" = ntfs ]; then
    ntfs-3g -o no_detach "$mount_loop" "$dir" >"$work/mount.log" 2>&1 &
  else
    fusefat -f -o rw+ "$mount_loop" "$dir" >"$work/mount.log" 2>&1 &
  fi
  mount_pid=$!
  local tries=50
  until mountpoint -q "$dir"; do
    ((--tries)) || fail "mounting $4 on $mount_loop failed"
    sleep 0.1
  done
  mounted=$dir
}

qemu_args() {
  echo -drive "file=$1,format=raw" -display none -nic none -no-reboot -debugcon "file:$2"
}

# fail MESSAGE: ends the case as failed.
CASE_FAILED=100
fail() {
  echo "FAIL $case_name: $*"
  exit $CASE_FAILED
}

# expect_boot DISK: the test BOOTMGR ran, passed every check and ended QEMU.
expect_boot() {
  local log=$work/$case_name.log status=0
  rm -f "$log"
  timeout 10 qemu-system-i386 $(qemu_args "$1" "$log") \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04 </dev/null || status=$?
  if [ "$status" != 33 ]; then
    sed 's/^/    /' "$log" 2>/dev/null || true
    fail "QEMU status $status, expected 33 (test BOOTMGR passed)"
  fi
  local passes
  passes=$(grep -c '^PASS ' "$log" || true)
  if [ "$passes" != 8 ] || grep -q '^FAIL ' "$log" || ! grep -q '^test bootmgr done$' "$log"; then
    sed 's/^/    /' "$log"
    fail "the test BOOTMGR's report is incomplete"
  fi
  echo "ok   $case_name"
}

# screen_text FILE: the characters of a saved VGA text screen.
screen_text() {
  tr -d '\007' <"$1" | tr -c '[:print:]' ' ' | tr -s ' '
}

# expect_screen DISK TEXT: the boot code stopped with TEXT on the screen and
# BOOTMGR never ran. The screen is saved twice a second through QEMU's
# monitor until TEXT shows, for at most ten seconds.
expect_screen() {
  local log=$work/$case_name.log screen=$work/$case_name.screen i
  rm -f "$log" "$screen"
  {
    for i in $(seq 20); do
      sleep 0.5
      echo "pmemsave 0xb8000 4000 \"$screen\""
      sleep 0.1
      if [ -f "$screen" ] && screen_text "$screen" | grep -qF "$2"; then break; fi
    done
    echo quit
  } | timeout 30 qemu-system-i386 $(qemu_args "$1" "$log") -monitor stdio >/dev/null || true
  if ! [ -f "$screen" ] || ! screen_text "$screen" | grep -qF "$2"; then
    [ -f "$screen" ] && echo "    $(screen_text "$screen")"
    fail "the screen does not show \"$2\""
  fi
  if [ -s "$log" ]; then
    fail "BOOTMGR ran although \"$2\" was shown"
  fi
  echo "ok   $case_name"
}

make_bootmgr "$work/bootmgr.bin"
bootmgr=$work/bootmgr.bin
disk=$work/disk.img

# ------------------------------------------------------------------- the cases
case_ntfs_4k_clusters() {
  new_disk "$disk" 64M "start=2048, size=100352, type=7, bootable"
  make_ntfs 100352 -p 2048 -c 4096
  ntfscp "$part" "$bootmgr" /bootmgr >/dev/null
  store_part "$disk" 2048
  clear_drive_byte "$disk" 2048 0x24
  place_boot_code "$disk" 2048
  expect_boot "$disk"
}

# Index blocks (4 KiB) smaller than a cluster: their VCNs count 512-byte
# units. Enough names that BOOTMGR's block is not the first.
case_ntfs_64k_clusters() {
  local start=2048 sectors=100352
  new_disk "$disk" 64M "start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start -c 65536
  store_part "$disk" $start
  mount_volume "$disk" $start $sectors ntfs
  fill_folder "$mounted" 400
  cp "$bootmgr" "$mounted/BootMgr"
  release_mount
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# fill_folder DIR COUNT: empty files whose names sort on both sides of
# BOOTMGR, some sharing most of it.
fill_folder() {
  perl -e 'my ($dir, $count) = @ARGV; my @stems = qw(a BOOT bootmg bootmgq bootmgs bootmgr.old bootmgrx m Z);
    for my $i (1 .. $count) { my $n = sprintf("%s/%s-%05d-%s", $dir, $stems[$i % @stems], $i, "n" x 40);
      open my $f, ">", $n or die "$n: $!"; close $f }' "$1" "$2"
}

# The volume is filled with small files and every other one deleted, so the
# copy lands in dozens of runs; hard links with long names fill the base
# record first, so the runs continue in an extension record named by an
# attribute list. Written through ntfs-3g on an offset loop device.
case_ntfs_fragmented() {
  local start=2048 sectors=32768
  new_disk "$disk" 32M "start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start -c 4096
  store_part "$disk" $start
  mount_volume "$disk" $start $sectors ntfs
  perl -e 'my ($dir, $keep) = @ARGV;
    my $free = `df -k --output=avail $dir | tail -1` * 1024;
    open my $big, ">", "$dir/filler" or die; my $left = $free - $keep * 1024;
    while ($left > 0) { my $n = $left > 65536 ? 65536 : $left; syswrite($big, "f" x $n) or last; $left -= $n }
    close $big;
    my $i = 0;
    while (open my $f, ">", "$dir/small$i") { my $w = syswrite($f, "s" x 8192); close $f or last; last unless $w && $w == 8192; $i++ }
    for (my $j = 0; $j < $i; $j += 2) { unlink "$dir/small$j" }' "$mounted" 1800
  : >"$mounted/bootmgr"
  local i
  for i in 1 2 3; do
    ln "$mounted/bootmgr" "$mounted/link$i-$(printf '%0200d' 0)"
  done
  cat "$bootmgr" >"$mounted/bootmgr"
  release_mount
  extract_volume "$disk" $start $sectors
  local info mft
  info=$(ntfsinfo -v -F /bootmgr "$work/probe.img" 2>&1)
  mft=$(ntfsinfo -v -i 0 "$work/probe.img" 2>&1)
  rm -f "$work/probe.img"
  if ! grep -q 'ATTRIBUTE_LIST' <<<"$info" || [ "$(grep -c 'Dumping attribute \$DATA' <<<"$info")" -lt 2 ] ||
    [ "$(grep -o 'Total runs: [0-9]*' <<<"$info" | grep -o '[0-9]*$')" -lt 10 ]; then
    fail "the set-up did not fragment BOOTMGR into extents"
  fi
  # The volume filled up while the $MFT grew, so it grew in pieces; BOOTMGR's
  # records come after the first piece, reached through MFT record 0's runs.
  local first_run record
  first_run=$(perl -ne '$data = 1 if /Dumping attribute \$DATA/;
    if ($data && /^\s+0x0\s+0x[0-9a-f]+\s+(0x[0-9a-f]+)/) { print hex $1; exit }' <<<"$mft")
  record=$(grep -o 'Dumping Inode [0-9]*' <<<"$info" | grep -o '[0-9]*$')
  if [ -z "$first_run" ] || ((record * 1024 < first_run * 4096)); then
    fail "BOOTMGR's record $record lies in the first run of the \$MFT ($first_run clusters)"
  fi
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# extract_volume DISK START SECTORS: a copy of the volume in $work/probe.img,
# for the tools that take no offset.
extract_volume() {
  rm -f "$work/probe.img"
  dd if="$1" of="$work/probe.img" bs=1M skip=$(($2 * SECTOR)) count=$(($3 * SECTOR)) \
    iflag=skip_bytes,count_bytes conv=sparse status=none
}

# Thousands of names on both sides of BOOTMGR, some close to it: the root
# index grows to more than one level of index blocks.
case_ntfs_large_root() {
  local start=2048 sectors=65536
  new_disk "$disk" 40M "start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start
  store_part "$disk" $start
  mount_volume "$disk" $start $sectors ntfs
  fill_folder "$mounted" 3000
  cp "$bootmgr" "$mounted/BOOTMGR"
  release_mount
  extract_volume "$disk" $start $sectors
  local inner
  inner=$(ntfscat -a 0xA0 -n '$I30' "$work/probe.img" / | perl -e 'binmode STDIN; local $/; my $d = <STDIN>;
    my $n = 0; for (my $o = 0; $o + 4096 <= length $d; $o += 4096) {
      $n++ if substr($d, $o, 4) eq "INDX" && (ord(substr($d, $o + 0x24, 1)) & 1) } print $n')
  rm -f "$work/probe.img"
  if [ "$inner" -lt 1 ]; then
    fail "the root index has no inner index blocks"
  fi
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# fragment_free_space DIR: fills the volume with files of two clusters and
# deletes every other one, so that the free space lies in small holes all
# over the volume, as years of use leave it.
fragment_free_space() {
  perl -e 'my ($dir) = @ARGV; mkdir "$dir/fill" or die; my $i = 0;
    while (open my $f, ">", "$dir/fill/$i") {
      my $w = syswrite($f, "f" x 8192); close $f or last; last unless $w && $w == 8192; $i++ }
    for (my $j = 0; $j < $i; $j += 2) { unlink "$dir/fill/$j" }' "$1"
}

# index_place DISK START SECTORS NAME: where NAME sits in the root folder's
# B-tree ("depth D inner|leaf K", K entries before it in its node).
index_place() {
  extract_volume "$1" "$2" "$3"
  ntfscat -a 0x90 -n '$I30' "$work/probe.img" / >"$work/root.bin"
  ntfscat -a 0xA0 -n '$I30' "$work/probe.img" / >"$work/allocation.bin"
  perl "$here/ntfs-index-place.pl" "$work/root.bin" "$work/allocation.bin" "$4" 4096
}

# A root folder that grew over years on a full, fragmented volume: its
# attribute list moved the index root or allocation to an extension record,
# BOOTMGR lies in many runs and its entry in an inner index block. For that,
# names go in next to BOOTMGR until its leaf splits around it: before it
# while fewer than five precede it in its leaf (ntfs-3g lifts the sixth
# entry of a full leaf of these sizes), after it otherwise.
case_ntfs_root_attribute_list() {
  local start=2048 sectors=$((64 * MIB))
  new_disk "$disk" 66M "start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start -c 4096
  store_part "$disk" $start
  make_bootmgr "$work/bootmgr-300k.bin" $((300 * 1024))
  mount_volume "$disk" $start $sectors ntfs
  fragment_free_space "$mounted"
  perl -e 'my ($dir, $count) = @ARGV;
    for my $i (1 .. $count) { open my $f, ">", sprintf("%s/%s-%05d-%s", $dir, ("a", "m", "z")[$i % 3], $i, "n" x 180) or die }' \
    "$mounted" 3000
  cp "$work/bootmgr-300k.bin" "$mounted/BOOTMGR"
  release_mount
  local place step
  for step in $(seq 40); do
    place=$(index_place "$disk" $start $sectors BOOTMGR)
    [[ $place =~ ^depth\ [1-9][0-9]*\ inner ]] && break
    mount_volume "$disk" $start $sectors ntfs
    if ((${place##* } < 5)); then
      : >"$mounted/$(printf 'bootmgq~%05d-%0174d' $step 0)"
    else
      : >"$mounted/$(printf 'bootmgr~%05d-%0174d' $((99999 - step)) 0)"
    fi
    release_mount
  done
  [[ $place =~ ^depth\ [1-9][0-9]*\ inner ]] ||
    fail "BOOTMGR's entry is not in an inner index block ($place)"
  extract_volume "$disk" $start $sectors
  local root bootmgr_info
  root=$(ntfsinfo -v -i 5 "$work/probe.img" 2>/dev/null)
  bootmgr_info=$(ntfsinfo -v -F /BOOTMGR "$work/probe.img" 2>/dev/null)
  grep -q 'ATTRIBUTE_LIST (0x20) from mft record 5 ' <<<"$root" ||
    fail "the root folder has no attribute list"
  grep -E '\$INDEX_(ROOT|ALLOCATION) \(0x[9a]0\) from mft record' <<<"$root" | grep -qv 'record 5 ' ||
    fail "the root's index root and allocation both stayed in record 5"
  (($(grep -o 'Total runs: [0-9]*' <<<"$bootmgr_info" | grep -o '[0-9]*$') >= 10)) ||
    fail "BOOTMGR is not fragmented"
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# A long-used volume whose $MFT grew in so many pieces that its runs went on
# in an extension record that record 0's attribute list names: the volume is
# filled twice over, by two files written a cluster at a time in turn of which
# one is deleted, four times, so that the $MFT can only grow into holes.
# BOOTMGR's record then lies in the part of the $MFT mapped from there.
case_ntfs_mft_attribute_list() {
  local start=2048 sectors=$((128 * MIB))
  new_disk "$disk" 130M "start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start -c 4096
  store_part "$disk" $start
  mount_volume "$disk" $start $sectors ntfs
  perl -e 'my ($dir) = @ARGV; mkdir "$dir/fill" or die; my $block = "f" x 4096;
    for my $pass (1 .. 4) {
      open my $kept, ">", "$dir/fill/kept$pass" or die; open my $freed, ">", "$dir/fill/freed" or die;
      while (syswrite($kept, $block) && syswrite($freed, $block)) {}
      close $kept; close $freed; unlink "$dir/fill/freed" or die }
    mkdir "$dir/names" or die;
    for (1 .. 3000) { open my $f, ">", "$dir/names/$_" or die "$_: $!" }' "$mounted"
  cp "$bootmgr" "$mounted/bootmgr"
  release_mount
  extract_volume "$disk" $start $sectors
  local mft record first_end
  mft=$(ntfsinfo -v -i 0 "$work/probe.img" 2>/dev/null)
  record=$(ntfsinfo -v -F /bootmgr "$work/probe.img" 2>/dev/null | sed -n 's/^Dumping Inode \([0-9]*\).*/\1/p')
  grep -q 'ATTRIBUTE_LIST (0x20) from mft record 0 ' <<<"$mft" ||
    fail "the \$MFT has no attribute list"
  grep -q 'DATA (0x80) from mft record [1-9]' <<<"$mft" ||
    fail "no extent of the \$MFT's data lies in an extension record"
  # The first extent's last VCN; a VCN holds four 1 KiB records.
  first_end=$(grep -A40 'DATA (0x80) from mft record 0 ' <<<"$mft" |
    sed -n 's/.*Highest VCN:[^0-9]*\([0-9]*\).*/\1/p' | head -1)
  ((record / 4 > first_end)) ||
    fail "BOOTMGR's record $record lies in the \$MFT's first extent (to VCN $first_end)"
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# expect_bootsect_refusal DISK START TEXT: bootsect refuses the volume at
# START with TEXT in its reason, and the disk stays as it was.
expect_bootsect_refusal() {
  local size loop before status=0
  size=$(sfdisk -d "$1" | sed -n "s/.*start= *$2, size= *\([0-9]*\).*/\1/p" | head -1)
  before=$(sha256sum <"$1")
  loop=$(losetup -f --show -o $(($2 * SECTOR)) --sizelimit $((size * SECTOR)) "$1")
  "$bin/bootsect" /NT60 "$loop" >"$work/place.log" 2>&1 || status=$?
  losetup -d "$loop"
  if [ "$status" = 0 ] || ! grep -q "$3.*nothing was written" "$work/place.log"; then
    sed 's/^/    /' "$work/place.log"
    fail "bootsect did not refuse a volume with $3"
  fi
  [ "$(sha256sum <"$1")" = "$before" ] || fail "bootsect refused, yet the disk changed"
}

# bootsect takes exactly the volumes that the boot code starts BOOTMGR from:
# every cluster size that mkntfs makes boots, with names on both sides of
# BOOTMGR so that its index block is not the first; each size beyond the
# code's own table, written into the BPB of a volume the code is already on,
# is refused by bootsect and stops the code with the size it names.
case_ntfs_geometries() {
  local start=2048 cluster sectors
  for cluster in 512 2048 8192 32768 131072 524288 2097152; do
    sectors=$((cluster > 65536 ? 520 * MIB : 64 * MIB))
    new_disk "$disk" $((sectors / MIB + 2))M "start=$start, size=$sectors, type=7, bootable"
    make_ntfs $sectors -p $start -c $cluster
    store_part "$disk" $start
    mount_volume "$disk" $start $sectors ntfs
    fill_folder "$mounted" 200
    cp "$bootmgr" "$mounted/BOOTMGR"
    release_mount
    place_boot_code "$disk" $start
    expect_boot "$disk"
  done
  # Each line: the BPB bytes written (offset:width:value, in decimal), the
  # reason bootsect gives, the code's message. Clusters larger than an index
  # block give its size in bytes.
  local patches patch offset width value refusal message
  while IFS='|' read -r patches refusal message; do
    new_disk "$disk" 66M "start=$start, size=$((64 * MIB)), type=7, bootable"
    make_ntfs $((64 * MIB)) -p $start -c 4096
    ntfscp "$part" "$bootmgr" /bootmgr >/dev/null
    store_part "$disk" $start
    place_boot_code "$disk" $start
    for patch in $patches; do
      IFS=: read -r offset width value <<<"$patch"
      put_le "$disk" $((start * SECTOR + offset)) "$width" "$value"
    done
    expect_bootsect_refusal "$disk" $start "$refusal"
    expect_screen "$disk" "$message"
  done <<'SIZES'
11:2:256|sectors of 256 bytes|NTFS sector size not supported
13:1:243 68:1:244|clusters of 4194304 bytes|NTFS cluster size not supported
64:1:243|MFT records of 8192 bytes|NTFS record size not supported
68:1:241|index blocks of 32768 bytes|NTFS index block size not supported
SIZES
}

# Partition 3, active, starting beyond 8 GiB of a sparse disk.
case_ntfs_beyond_8gib() {
  local start=$((8 * 1024 * MIB + MIB)) sectors=65536
  new_disk "$disk" 9G "start=2048, size=16384, type=7
start=18432, size=16384, type=6
start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start
  ntfscp "$part" "$bootmgr" /bootmgr >/dev/null
  store_part "$disk" $start
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# mkntfs without -p leaves HiddenSectors 0; the placement sets it. Clusters
# of one sector.
case_ntfs_hidden_sectors_zero() {
  new_disk "$disk" 64M "start=4096, size=65536, type=7, bootable"
  make_ntfs 65536 -c 512
  ntfscp "$part" "$bootmgr" /bootmgr >/dev/null
  store_part "$disk" 4096
  if [ "$(get_le "$disk" $((4096 * SECTOR + 0x1C)) 4)" != 0 ]; then
    fail "mkntfs did not leave HiddenSectors 0"
  fi
  place_boot_code "$disk" 4096
  expect_boot "$disk"
}

# BOOTMGR after hundreds of long-named entries and some deleted ones, in a
# root folder of many one-sector clusters.
case_fat32_crowded_root() {
  local start=2048 sectors=$((80 * MIB))
  new_disk "$disk" 82M "start=$start, size=$sectors, type=c, bootable"
  mkfs_fat -F 32 -s 1 --offset $start -h $start "$disk" $((sectors / 2))
  mkdir -p "$work/many"
  (cd "$work/many" && touch $(seq -f 'Long-name-number-%03g.txt' 1 300))
  mcopy -i "$disk@@$((start * SECTOR))" "$work/many/"* ::/
  mdel -i "$disk@@$((start * SECTOR))" "::/Long-name-number-1??.txt"
  mcopy -i "$disk@@$((start * SECTOR))" "$bootmgr" ::/BOOTMGR
  rm -rf "$work/many"
  clear_drive_byte "$disk" $start 0x40
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# Written through fusefat: only a long name says "bootmgr".
case_fat32_long_name() {
  local start=2048 sectors=$((64 * MIB))
  new_disk "$disk" 66M "start=$start, size=$sectors, type=c, bootable"
  mkfs_fat -F 32 --offset $start -h $start "$disk" $((sectors / 2))
  mount_volume "$disk" $start $sectors fat
  cp "$bootmgr" "$mounted/bootmgr"
  release_mount
  expect_long_name_only "$disk" $start $sectors
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# expect_long_name_only DISK START SECTORS: the volume is sound and
# BOOTMGR's short name is not BOOTMGR.
expect_long_name_only() {
  extract_volume "$1" "$2" "$3"
  if ! fsck.fat -n "$work/probe.img" >"$work/fsck.log" 2>&1; then
    sed 's/^/    /' "$work/fsck.log"
    fail "fsck.fat finds the volume damaged"
  fi
  rm -f "$work/probe.img"
  # fusefat leaves the FAT's dirty mark, which mtools refuses without this.
  local listing
  listing=$(MTOOLS_SKIP_CHECK=1 mdir -i "$1@@$(($2 * SECTOR))" ::/)
  if ! grep -q '~.*bootmgr$' <<<"$listing"; then
    sed 's/^/    /' <<<"$listing"
    fail "fusefat gave bootmgr a plain 8.3 entry"
  fi
}

case_fat16() {
  local start=2048 sectors=$((32 * MIB))
  new_disk "$disk" 34M "start=$start, size=$sectors, type=6, bootable"
  mkfs_fat -F 16 --offset $start -h $start "$disk" $((sectors / 2))
  mcopy -i "$disk@@$((start * SECTOR))" "$bootmgr" ::/BOOTMGR
  clear_drive_byte "$disk" $start 0x24
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

case_fat16_long_name() {
  local start=2048 sectors=$((32 * MIB))
  new_disk "$disk" 34M "start=$start, size=$sectors, type=6, bootable"
  mkfs_fat -F 16 --offset $start -h $start "$disk" $((sectors / 2))
  mcopy -i "$disk@@$((start * SECTOR))" "$bootmgr" ::/FIRST.BIN
  mount_volume "$disk" $start $sectors fat
  cp "$bootmgr" "$mounted/bootmgr"
  release_mount
  expect_long_name_only "$disk" $start $sectors
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

# A FAT16 volume in the second logical partition. The MBR starts only primary
# partitions, so a fourth table entry over the same sectors stands in for the
# boot manager that would chain to it: the volume sees the same hand-off.
case_logical_partition() {
  new_disk "$disk" 64M "start=2048, size=16384, type=7
start=20480, size=100352, type=5
start=22528, size=32768, type=6
start=57344, size=40960, type=6"
  local start
  start=$(sfdisk -d "$disk" | sed -n 's/.*img6 : start= *\([0-9]*\),.*/\1/p')
  if [ "$start" != 57344 ]; then
    fail "no logical partition 6 at 57344 (found \"$start\")"
  fi
  mkfs_fat -F 16 --offset "$start" -h "$start" "$disk" $((40960 / 2))
  mcopy -i "$disk@@$((start * SECTOR))" "$bootmgr" ::/BOOTMGR
  local entry=$((0x1EE))
  put_le "$disk" $entry 1 $((0x80))
  put_le "$disk" $((entry + 4)) 1 6
  put_le "$disk" $((entry + 8)) 4 "$start"
  put_le "$disk" $((entry + 12)) 4 40960
  place_boot_code "$disk" "$start"
  expect_boot "$disk"
}

# A junk code area is left alone by the placement; zeroed, it gets ours.
case_mbr_zeroed_code_area() {
  new_disk "$disk" 64M "start=2048, size=65536, type=6, bootable"
  mkfs_fat -F 16 --offset 2048 -h 2048 "$disk" 32768
  mcopy -i "$disk@@$((2048 * SECTOR))" "$bootmgr" ::/BOOTMGR
  printf 'junk' | dd of="$disk" conv=notrunc status=none
  place_boot_code "$disk" 2048
  if ! cmp -s -n 4 "$disk" <(printf 'junk'); then
    fail "the placement wrote over a code area that was in use"
  fi
  dd if=/dev/zero of="$disk" bs=440 count=1 conv=notrunc status=none
  place_boot_code "$disk" 2048
  expect_boot "$disk"
}

case_mbr_no_active_partition() {
  new_disk "$disk" 16M "start=2048, size=16384, type=6"
  place_mbr_code "$disk" 2048
  put_le "$disk" $((0x1BE)) 1 0  # BOOTICE made it active: undo that
  expect_screen "$disk" "No active partition"
}

case_mbr_several_active() {
  new_disk "$disk" 16M "start=2048, size=8192, type=6, bootable
start=10240, size=8192, type=6"
  place_mbr_code "$disk" 2048
  put_le "$disk" $((0x1CE)) 1 $((0x80))  # a second active entry beside BOOTICE's
  expect_screen "$disk" "Several active partitions"
}

# The active partition's first sector has no 55 AA.
case_mbr_missing_signature() {
  new_disk "$disk" 16M "start=2048, size=16384, type=6"
  place_mbr_code "$disk" 2048
  put_le "$disk" $((2048 * SECTOR + 0x1FE)) 2 0
  expect_screen "$disk" "Missing boot signature"
}

case_ntfs_missing() {
  new_disk "$disk" 64M "start=2048, size=100352, type=7, bootable"
  make_ntfs 100352 -p 2048
  ntfscp "$part" "$bootmgr" /bootmgr.bak >/dev/null
  store_part "$disk" 2048
  place_boot_code "$disk" 2048
  expect_screen "$disk" "BOOTMGR is missing"
}

case_ntfs_too_large() {
  make_bootmgr "$work/large.bin" $((600 * 1024))
  new_disk "$disk" 64M "start=2048, size=100352, type=7, bootable"
  make_ntfs 100352 -p 2048
  ntfscp "$part" "$work/large.bin" /bootmgr >/dev/null
  store_part "$disk" 2048
  place_boot_code "$disk" 2048
  expect_screen "$disk" "BOOTMGR is too large"
}

# A hole in the middle makes ntfs-3g store the file sparse.
case_ntfs_sparse() {
  local start=2048 sectors=65536
  new_disk "$disk" 40M "start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start
  store_part "$disk" $start
  mount_volume "$disk" $start $sectors ntfs
  dd if="$bootmgr" of="$mounted/bootmgr" bs=64K seek=2 status=none
  release_mount
  place_boot_code "$disk" $start
  expect_screen "$disk" "BOOTMGR is sparse"
}

# ntfs_attributes PATH [VALUE]: a file's NTFS attributes through ntfs-3g,
# printed, or set to VALUE first.
ntfs_attributes() {
  python3 -c 'import os, struct, sys
if len(sys.argv) > 2: os.setxattr(sys.argv[1], "system.ntfs_attrib", struct.pack("<I", int(sys.argv[2], 0)))
print(hex(struct.unpack("<I", os.getxattr(sys.argv[1], "system.ntfs_attrib"))[0]))' "$@"
}

# A file made in a compressed folder is compressed: here the root folder.
case_ntfs_compressed() {
  local start=2048 sectors=65536 attributes
  new_disk "$disk" 40M "start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start
  store_part "$disk" $start
  mount_volume "$disk" $start $sectors ntfs
  ntfs_attributes "$mounted" $(($(ntfs_attributes "$mounted") | 0x800)) >/dev/null
  cp "$bootmgr" "$mounted/bootmgr"
  attributes=$(ntfs_attributes "$mounted/bootmgr")
  release_mount
  ((attributes & 0x800)) || fail "bootmgr is not compressed (attributes $attributes)"
  place_boot_code "$disk" $start
  expect_screen "$disk" "BOOTMGR is compressed"
}

# A volume compressed whole, as Windows compresses it: the root folder carries
# the attribute before any file is made. bcdboot must write bootmgr and the
# store uncompressed and leave the folders as they were; the old store stays
# where a file cannot be written so (not testable here: ntfs-3g always can).
case_ntfs_compressed_volume_bcdboot() {
  local start=2048 sectors=65536 file attributes
  new_disk "$disk" 40M "start=$start, size=$sectors, type=7, bootable"
  make_ntfs $sectors -p $start
  store_part "$disk" $start
  mount_volume "$disk" $start $sectors ntfs
  ntfs_attributes "$mounted" $(($(ntfs_attributes "$mounted") | 0x800)) >/dev/null
  mkdir -p "$mounted/Windows/Boot/PCAT/en-US" "$mounted/Windows/System32/config"
  cp "$bootmgr" "$mounted/Windows/Boot/PCAT/bootmgr"
  echo en-US >"$mounted/Windows/Boot/PCAT/en-US/bootmgr.exe.mui"
  (($(ntfs_attributes "$mounted/Windows/Boot/PCAT/bootmgr") & 0x800)) ||
    fail "a file made in the compressed root is not compressed"
  "$bin/bcdboot" "$mounted/Windows" /S "$mounted" /f BIOS >"$work/bcdboot.log" 2>&1 ||
    { sed 's/^/    /' "$work/bcdboot.log"; fail "bcdboot failed"; }
  for file in bootmgr Boot/BCD Boot/en-US/bootmgr.exe.mui; do
    attributes=$(ntfs_attributes "$mounted/$file")
    ((attributes & 0xA00)) && fail "$file is stored compressed or sparse ($attributes)"
  done
  (($(ntfs_attributes "$mounted") & 0x800)) || fail "the root folder lost its compression"
  (($(ntfs_attributes "$mounted/Boot") & 0x800)) || fail "the Boot folder is not compressed"
  cmp -s "$mounted/bootmgr" "$bootmgr" || fail "bootmgr differs from the one copied"
  release_mount
  place_boot_code "$disk" $start
  expect_boot "$disk"
}

case_fat32_missing() {
  local start=2048 sectors=$((64 * MIB))
  new_disk "$disk" 66M "start=$start, size=$sectors, type=c, bootable"
  mkfs_fat -F 32 --offset $start -h $start "$disk" $((sectors / 2))
  mcopy -i "$disk@@$((start * SECTOR))" "$bootmgr" ::/BOOTMGR.OLD
  place_boot_code "$disk" $start
  expect_screen "$disk" "BOOTMGR is missing"
}

case_fat16_missing() {
  new_disk "$disk" 34M "start=2048, size=65536, type=6, bootable"
  mkfs_fat -F 16 --offset 2048 -h 2048 "$disk" 32768
  place_boot_code "$disk" 2048
  expect_screen "$disk" "No BOOTMGR"
}

# The test EFI program (for UEFI boot tests to come) on a GPT disk's ESP,
# started by OVMF through the fallback path.
case_uefi_test_program() {
  local start=2048 sectors=$((66 * MIB)) log=$work/$case_name.log status=0
  x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -ffreestanding -fshort-wchar -mno-red-zone \
    -nostdlib -Wl,--subsystem,10 -e efi_main -o "$work/BOOTX64.EFI" "$here/test_efi.c"
  rm -f "$disk"
  truncate -s 70M "$disk"
  printf 'label: gpt\nstart=%s, size=%s, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n' \
    $start $sectors | sfdisk -q "$disk"
  mkfs_fat -F 32 --offset $start "$disk" $((sectors / 2))
  mmd -i "$disk@@$((start * SECTOR))" ::/EFI ::/EFI/BOOT
  mcopy -i "$disk@@$((start * SECTOR))" "$work/BOOTX64.EFI" ::/EFI/BOOT/BOOTX64.EFI
  cp /usr/share/OVMF/OVMF_VARS_4M.fd "$work/vars.fd"
  timeout 30 qemu-system-x86_64 -machine q35 \
    -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
    -drive if=pflash,format=raw,unit=1,file="$work/vars.fd" \
    $(qemu_args "$disk" "$log") -device isa-debug-exit,iobase=0xf4,iosize=0x04 </dev/null ||
    status=$?
  if [ "$status" != 33 ] || [ "$(grep -ac '^PASS ' "$log")" != 3 ] || grep -aq '^FAIL ' "$log"; then
    sed 's/^/    /' "$log"
    fail "QEMU status $status, expected 33 and three passed checks"
  fi
  echo "ok   $case_name"
}

# ------------------------------------------------------------------------------
all_cases=$(declare -F | sed -n 's/^declare -f case_//p')
selected=${*:-$all_cases}
failures=0
for case_name in $selected; do
  if ! declare -F "case_$case_name" >/dev/null; then
    echo "boot-tests: no case $case_name (cases: $(echo $all_cases))"
    exit 2
  fi
  set +e
  (
    set -e
    trap release_mount EXIT
    "case_$case_name"
  )
  status=$?
  set -e
  if [ $status != 0 ]; then
    [ $status = $CASE_FAILED ] || echo "FAIL $case_name: a step failed (status $status)"
    failures=$((failures + 1))
  fi
  rm -f "$disk"
done

if [ "$failures" != 0 ]; then
  echo "boot-tests: $failures case(s) failed"
  exit 1
fi
echo "boot-tests: all $(wc -w <<<"$selected") cases passed"
