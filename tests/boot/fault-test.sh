#!/bin/bash
# Faults lose nothing: bootsect, bcdboot and BOOTICE (built without the
# sanitizers, whose runtime keeps libfiu's preload out) are run on a disk
# image with a FAT32 system partition whose store already holds another
# Windows, and
#   - each pwrite, fsync and rename a tool makes fails in turn, with ENOSPC
#     and with EIO (strace's fault injection, which can fail the Nth call);
#   - those calls fail at random with libfiu's POSIX preload (fiu-run);
#   - each tool is killed (SIGKILL) at random moments, its calls slowed so
#     that the moments fall between its writes.
# After each: the tool said why (or was killed), the store is the old one
# byte for byte or a new one that loads and still holds the other Windows,
# bootmgr is old or new, the boot sector and its backup are old or new, the
# volumes pass fsck.fat -n / ntfsfix -n, and nothing outside what the tool
# writes has changed. Outcomes of each kind boot in QEMU. As root.
#   fault-test.sh <plain native bin folder> <version sample exe> <work folder> [kills per tool]
set -euo pipefail
bin=$(realpath "$1") kernel=$(realpath "$2") work=$3 kills=${4:-50}
here=$(dirname "$(realpath "$0")")
[ "$(id -u)" -eq 0 ] || { echo "the fault tests need root (loop devices, FUSE mounts)"; exit 1; }
for tool in bootsect bcdboot bootice wimengine; do
  [ -x "$bin/$tool" ] || { echo "no $bin/$tool: build the tools without the sanitizers first" \
    "(cmake -DROAMDECK_TESTS=OFF; scripts/test-all.sh does)"; exit 1; }
done
for tool in fiu-run strace hivexregedit fsck.fat ntfsfix mcopy wimcapture; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup-debian.sh)"; exit 1; }
done
rm -rf "$work" && mkdir -p "$work" && work=$(realpath "$work")
source "$here/disk-helpers.sh"

# Partition 1: FAT32 system; 2: NTFS, the Windows being set up; 3: NTFS,
# the other Windows already in the store.
sysStart=2048 sysSize=73728 winStart=75776 winSize=12288 otherStart=88064 otherSize=12288
disk=$work/disk.img
truncate -s 50M "$disk"
printf 'label: dos\nlabel-id: 0x5eed1357\nstart=%s, size=%s, type=c\nstart=%s, size=%s, type=7\nstart=%s, size=%s, type=7\n' \
  $sysStart $sysSize $winStart $winSize $otherStart $otherSize | sfdisk -q "$disk"
attach "$disk" $sysStart $sysSize && system=$loop
attach "$disk" $winStart $winSize && windows=$loop
attach "$disk" $otherStart $otherSize && other=$loop
mkfs.fat -F 32 -s 1 -h $sysStart "$system" >/dev/null 2>&1
mkntfs -Q -F -q -p $winStart "$windows" 2>/dev/null
mkntfs -Q -F -q -p $otherStart "$other" 2>/dev/null
# Both Windows from one test tree; this one's boot manager is larger, so that
# its bootmgr is a new file over the other's.
make_test_windows "$work/tree" "$kernel" "$here"
mkdir "$work/s" "$work/w" "$work/o"
for part in "$windows:$work/w" "$other:$work/o"; do
  ntfs-3g "${part%%:*}" "${part#*:}" && cp -r "$work/tree/Windows" "${part#*:}/" && umount "${part#*:}"
done
ntfs-3g "$windows" "$work/w" && bash "$here/make-test-bootmgr.sh" "$work/w/Windows/Boot/PCAT/bootmgr" 331776 &&
  umount "$work/w"
# bcdboot's mounts, for each run: the Windows partitions read-only, as it
# only reads them, so that their bytes stay.
# BOOTICE reads the start chain back through the mounts it finds: given
# read-only ones, a kill leaves no look of its own behind.
before_run() {
  case $1 in
    bcdboot) mode=rw+ ;;
    bootice) mode=ro ;;
    *) return 0 ;;
  esac
  ntfs-3g -o ro "$windows" "$work/w" && ntfs-3g -o ro "$other" "$work/o" &&
    fusefat -o $mode "$system" "$work/s" >/dev/null 2>&1
}
after_run() {
  case $1 in
    bcdboot | bootice) umount "$work/s" "$work/w" "$work/o" ;;
  esac
}
mounts+=("$work/s" "$work/w" "$work/o")
before_run bcdboot
"$bin/bcdboot" "$work/o/Windows" /S "$work/s" >/dev/null || fail "the first bcdboot failed"
after_run bcdboot
cp "$disk" "$work/old.img"
# BOOTICE ends by reading the whole start chain back, so its runs start from
# a disk whose system partition also has its boot code: the old state of
# every other tool is the one before bootsect.
"$bin/bootsect" /NT60 "$system" >/dev/null || fail "the first bootsect failed"
blockdev --flushbufs "$system"
cp "$disk" "$work/old-bootice.img"
# The old image of the tool being run ($tool, as the loops below name it).
old_of() { if [ "${tool:-}" = bootice ]; then echo "$work/old-bootice.img"; else echo "$work/old.img"; fi; }
mkdir "$work/old"
mcopy_out() { mcopy -n -i "$1@@$((sysStart * 512))" "::$2" "$3"; }
mcopy_out "$work/old.img" /Boot/BCD "$work/old/BCD"
mcopy_out "$work/old.img" /bootmgr "$work/old/bootmgr"
otherLoader=$(hivexregedit --export "$work/old/BCD" '\Objects' 2>/dev/null |
  grep -B2 'dword:10200003' | grep -m1 -o '{[0-9a-f-]*}')
[ -n "$otherLoader" ] || fail "the first store has no OS loader"

# The image as it was, with the partitions' caches dropped.
restore() {
  cp "$(old_of)" "$disk"
  blockdev --flushbufs "$system" "$windows" "$other"
}

# rest_unchanged START:LENGTH...: the disk is the old one byte for byte but
# for those ranges (in order).
rest_unchanged() {
  local at=0 part start
  for part in "$@"; do
    start=${part%%:*}
    [ "$start" -le "$at" ] || cmp -s -i "$at" -n $((start - at)) "$disk" "$(old_of)" || return 1
    at=$((start + ${part#*:}))
  done
  cmp -s -i "$at" "$disk" "$(old_of)"
}
sector() { dd if="$1" bs=512 skip="$2" count=1 status=none | sha256sum | cut -c1-64; }

# What each tool may write: bcdboot the system partition's files, bootsect
# its reserved sectors (FAT32) or $Boot and the backup (NTFS), BOOTICE the MBR.
reserved=$(python3 -c "import sys; d=open(sys.argv[1],'rb').read(); print(int.from_bytes(d[$((sysStart * 512 + 14)):$((sysStart * 512 + 16))],'little'))" "$disk")
ntfsSectors=$(python3 -c "import sys; d=open(sys.argv[1],'rb').read(); print(int.from_bytes(d[$((winStart * 512 + 0x28)):$((winStart * 512 + 0x30))],'little'))" "$disk")
declare -A allowed=(
  [bcdboot]="$((sysStart * 512)):$((sysSize * 512))"
  [bootsect]="$((sysStart * 512)):$((reserved * 512))"
  [bootsect-ntfs]="$((winStart * 512)):8192 $(((winStart + ntfsSectors) * 512)):512"
  [bootice]="0:512"
)
# The command of each tool, on the mounted system partition (bcdboot) or
# the partition's device, as a script: bcdboot finds fusefat's device from
# the command lines that name its mount point, and strace's would too.
command_of() {
  local script=$work/run-$1.sh
  case $1 in
    bcdboot) echo "exec $bin/bcdboot $work/w/Windows /S $work/s" >"$script" ;;
    bootsect) echo "exec $bin/bootsect /NT60 $system" >"$script" ;;
    bootsect-ntfs) echo "exec $bin/bootsect /NT60 $windows" >"$script" ;;
    bootice) echo "exec $bin/bootice /DEVICE=$system /partitions /activate /quiet" >"$script" ;;
  esac
  echo "bash $script"
}

# The new state of each tool's own bytes, from a run that nothing stops.
declare -A newSector newBackup
mkdir "$work/new"
for tool in bcdboot bootsect bootsect-ntfs bootice; do
  restore
  before_run $tool
  # shellcheck disable=SC2046
  $(command_of $tool) >"$work/new/$tool.log" || { cat "$work/new/$tool.log"; fail "$tool failed"; }
  after_run $tool
  newSector[$tool]=$(sector "$disk" $sysStart)
  newBackup[$tool]=$(sector "$disk" $((sysStart + 6)))
  [ $tool != bootsect-ntfs ] || {
    newSector[$tool]=$(sector "$disk" $winStart)
    newBackup[$tool]=$(sector "$disk" $((winStart + ntfsSectors)))
  }
  [ $tool != bootice ] || newSector[$tool]=$(sector "$disk" 0)
  [ $tool != bcdboot ] || mcopy_out "$disk" /bootmgr "$work/new/bootmgr"
done
oldSys=$(sector "$work/old.img" $sysStart) oldSysBackup=$(sector "$work/old.img" $((sysStart + 6)))
oldWin=$(sector "$work/old.img" $winStart)
oldWinBackup=$(sector "$work/old.img" $((winStart + ntfsSectors)))
oldMbr=$(sector "$work/old.img" 0)

# judge TOOL HOW LOG: the outcome of one stopped run, as "old" or "new".
declare -A outcomes
# A broken outcome is counted and reported; the test fails at the end.
broken=0 brokenRuns=0
wrong() {
  echo "FAIL: $*"
  broken=$((broken + 1))
}
judge() {
  local tool=$1 how=$2 log=$3 state=old loaders brokenBefore=$broken
  # shellcheck disable=SC2086
  rest_unchanged ${allowed[$tool]} || wrong "$tool ($how) changed bytes outside what it writes"
  fsck.fat -n "$system" >/dev/null 2>&1 || wrong "$tool ($how): fsck.fat -n finds the system partition damaged"
  # ntfsfix compares the backup boot sector with the first: between those
  # two writes, that and only that differs.
  local fix
  fix=$(ntfsfix -n "$windows" 2>&1) ||
    { [ $tool = bootsect-ntfs ] && [ "$(sector "$disk" $winStart)" = "${newSector[$tool]}" ] &&
      [ "$(sector "$disk" $((winStart + ntfsSectors)))" = "$oldWinBackup" ] &&
      [ "$(grep -c BAD <<<"$fix")" -eq 1 ] && grep -q "alternate boot sector... BAD" <<<"$fix"; } ||
    { echo "$fix"; wrong "$tool ($how): ntfsfix -n finds the Windows partition damaged"; }
  case $tool in
    bcdboot)
      mcopy_out "$disk" /Boot/BCD "$work/BCD" 2>/dev/null || wrong "bcdboot ($how) left no store"
      if ! cmp -s "$work/BCD" "$work/old/BCD"; then
        state=new
        loaders=$(hivexregedit --export "$work/BCD" '\Objects' 2>/dev/null | grep -c 'dword:10200003') ||
          wrong "bcdboot ($how): the store neither is the old one nor loads"
        [ "$loaders" -eq 2 ] || wrong "bcdboot ($how): the new store holds $loaders OS loaders, not 2"
      fi
      hivexregedit --export "$work/BCD" '\Objects' >"$work/BCD.reg" 2>/dev/null &&
        grep -qF "$otherLoader" "$work/BCD.reg" || wrong "bcdboot ($how): the other Windows' entry is gone"
      mcopy_out "$disk" /bootmgr "$work/bootmgr" 2>/dev/null || wrong "bcdboot ($how) left no bootmgr"
      cmp -s "$work/bootmgr" "$work/old/bootmgr" || cmp -s "$work/bootmgr" "$work/new/bootmgr" ||
        wrong "bcdboot ($how): bootmgr is neither the old nor the new one"
      # A failed run takes its new file away; a killed one leaves it to the
      # next run, which removes it first.
      if [[ $how != kill* ]]; then
        mdir -b -i "$disk@@$((sysStart * 512))" ::/ ::/Boot >"$work/listing" 2>/dev/null || true
        ! grep -q roamdeck-new "$work/listing" || wrong "bcdboot ($how) left a new file behind"
      fi
      ;;
    bootsect | bootsect-ntfs)
      local s b os ob
      if [ $tool = bootsect ]; then
        s=$(sector "$disk" $sysStart) b=$(sector "$disk" $((sysStart + 6))) os=$oldSys ob=$oldSysBackup
      else
        s=$(sector "$disk" $winStart) b=$(sector "$disk" $((winStart + ntfsSectors))) os=$oldWin ob=$oldWinBackup
      fi
      [ "$s" = "$os" ] || { [ "$s" = "${newSector[$tool]}" ] && state=new; } ||
        wrong "$tool ($how): the boot sector is neither old nor new"
      [ "$b" = "$ob" ] || [ "$b" = "${newBackup[$tool]}" ] ||
        wrong "$tool ($how): the backup boot sector is neither old nor new"
      # The BPB stays byte for byte, and FAT32's FSInfo and its backup too.
      local first=$sysStart bpb=79
      [ $tool = bootsect ] || first=$winStart bpb=73
      cmp -s -n $bpb -i $((first * 512 + 11)) "$disk" "$work/old.img" || wrong "$tool ($how) changed the BPB"
      [ $tool = bootsect-ntfs ] ||
        { [ "$(sector "$disk" $((sysStart + 1)))" = "$(sector "$work/old.img" $((sysStart + 1)))" ] &&
          [ "$(sector "$disk" $((sysStart + 7)))" = "$(sector "$work/old.img" $((sysStart + 7)))" ]; } ||
        wrong "$tool ($how) changed FSInfo or its backup"
      # The backup follows the boot sector, never leads it.
      [ "$state" = new ] || [ "$b" = "$ob" ] || wrong "$tool ($how): the backup is new, the boot sector old"
      ;;
    bootice)
      local m
      m=$(sector "$disk" 0)
      [ "$m" = "$oldMbr" ] || { [ "$m" = "${newSector[$tool]}" ] && state=new; } ||
        wrong "bootice ($how): the MBR is neither old nor new"
      ;;
  esac
  [ "$broken" -eq "$brokenBefore" ] || { brokenRuns=$((brokenRuns + 1)) && return 0; }
  outcomes[$tool.$state]=$((${outcomes[$tool.$state]:-0} + 1))
  [ -e "$work/sample-$tool-$state.img" ] || cp "$disk" "$work/sample-$tool-$state.img"
  judged=$((judged + 1))
  echo "$state" >"$log.state"
}

# A failed run must fail and say which call failed and the system's reason.
expect_said() {
  local tool=$1 how=$2 code=$3 log=$4 cause=$5
  [ "$code" -ne 0 ] || { cat "$log"; fail "$tool ($how) reported success"; }
  grep -q "error: .*$cause" "$log" || { cat "$log"; fail "$tool ($how) did not name $cause"; }
}

# Every call of a kind, failed in turn: the Nth of N counted in a clean run.
judged=0 injected=0
declare -A calls
for tool in bcdboot bootsect bootsect-ntfs bootice; do
  restore
  before_run $tool
  # shellcheck disable=SC2046
  strace -f -qq -o "$work/$tool.trace" -e trace=pwrite64,fsync,rename $(command_of $tool) >/dev/null
  after_run $tool
  for call in pwrite64 fsync rename; do
    calls[$tool.$call]=$(grep -c "^[0-9]* *$call(" "$work/$tool.trace" || true)
    for error in ENOSPC EIO; do
      for ((n = 1; n <= ${calls[$tool.$call]}; n++)); do
        restore
        before_run $tool
        log=$work/$tool-$call-$n-$error.log
        set +e
        # shellcheck disable=SC2046
        strace -f -qq -o /dev/null -e trace=$call -e inject=$call:error=$error:when=$n \
          $(command_of $tool) >"$log" 2>&1
        code=$?
        set -e
        after_run $tool
        injected=$((injected + 1))
        expect_said $tool "$call #$n $error" $code "$log" "($error)"
        judge $tool "$call #$n $error" "$log"
      done
    done
  done
done
inTurn=$injected
echo "faults: ${calls[bcdboot.pwrite64]} pwrite, ${calls[bcdboot.fsync]} fsync and" \
  "${calls[bcdboot.rename]} rename calls of bcdboot, ${calls[bootsect.pwrite64]}/${calls[bootsect-ntfs.pwrite64]}" \
  "sector writes of bootsect (FAT32/NTFS), ${calls[bootice.pwrite64]} of BOOTICE, each failed in turn"

# The same calls failing at random, through libfiu's POSIX preload.
random_runs=4 randomHits=0
for tool in bcdboot bootsect bootice; do
  for point in pwrite:5:EIO pwrite:28:ENOSPC; do
    for ((r = 0; r < random_runs; r++)); do
      IFS=: read -r name number cause <<<"$point"
      restore
      before_run $tool
      log=$work/$tool-fiu-$name-$cause-$r.log
      set +e
      # shellcheck disable=SC2046
      fiu-run -x -c "enable_random name=posix/io/rw/$name,probability=0.5,failinfo=$number" \
        -c "enable_random name=posix/io/sync/fsync,probability=0.3,failinfo=$number" \
        -c "enable_random name=posix/io/dir/rename,probability=0.5,failinfo=$number" \
        $(command_of $tool) >"$log" 2>&1
      code=$?
      set -e
      after_run $tool
      # A run that drew no failure ends well; it is judged all the same.
      if [ "$code" -ne 0 ]; then
        injected=$((injected + 1)) randomHits=$((randomHits + 1))
        expect_said $tool "fiu $point" $code "$log" "($cause)"
      fi
      judge $tool "fiu $point" "$log"
    done
  done
done

# Killed at random moments: each pwrite, fsync and rename takes 20 ms longer,
# so that a moment inside the run falls between two of them; the moments
# spread over the time such a run takes.
# A tool that ended before the kill is not counted: each is run until it
# was killed $kills times.
killed=0
for tool in bcdboot bootsect bootice; do
  # The time from the tool's start (as the kills below see it) to its end.
  restore
  before_run $tool
  # shellcheck disable=SC2046
  strace -f -qq -o /dev/null -e trace=pwrite64,fsync,rename \
    -e inject=pwrite64,fsync,rename:delay_enter=20000 $(command_of $tool) >/dev/null 2>&1 &
  tracer=$!
  until pgrep -P $tracer >/dev/null || ! kill -0 $tracer 2>/dev/null; do sleep 0.005; done
  started=$(date +%s%N)
  wait $tracer || true
  window=$((($(date +%s%N) - started) / 1000000))
  after_run $tool
  [ "$window" -gt 10 ] || window=10
  [ "$window" -lt 1000 ] || window=999
  for ((k = 0, attempts = 0; k < kills && attempts < 4 * kills; attempts++)); do
    restore
    before_run $tool
    log=$work/$tool-kill-$attempts.log
    # shellcheck disable=SC2046
    strace -f -qq -o /dev/null -e trace=pwrite64,fsync,rename \
      -e inject=pwrite64,fsync,rename:delay_enter=20000 $(command_of $tool) >"$log" 2>&1 &
    tracer=$!
    # The moment counts from the tool's start, not strace's.
    for ((wait = 0; wait < 100; wait++)); do
      child=$(pgrep -P $tracer || true)
      [ -z "$child" ] || break
      sleep 0.01
    done
    sleep "$(printf '0.%03d' $((RANDOM % window)))"
    if [ -n "$child" ] && kill -KILL "$child" 2>/dev/null; then
      k=$((k + 1)) killed=$((killed + 1)) injected=$((injected + 1))
      wait $tracer 2>/dev/null || true
      after_run $tool
      judge $tool "kill $attempts" "$log"
    else
      # It ended first: a clean run, as the ones above.
      wait $tracer 2>/dev/null || true
      after_run $tool
    fi
  done
  [ "$k" -ge "$kills" ] || fail "$tool was killed $k times, not $kills: it ends too soon"
done

# Samples of the outcomes, made whole by the other two tools where they need
# it, boot in QEMU: the test boot manager reports how it was started.
boots=0
boot_sample() {
  local image=$1 name=$2 code
  cp "$image" "$disk"
  blockdev --flushbufs "$system" "$windows" "$other"
  [[ $name == bootsect* ]] || "$bin/bootsect" /NT60 "$system" >/dev/null
  [[ $name == bootice* ]] || "$bin/bootice" /DEVICE="$system" /partitions /activate /quiet >/dev/null
  sync
  set +e
  timeout 120 qemu-system-i386 -drive file="$disk",format=raw -display none -nic none \
    -no-reboot -debugcon file:"$work/$name.boot.log" -device isa-debug-exit,iobase=0xf4,iosize=0x04
  code=$?
  set -e
  [ "$code" -eq 33 ] && ! grep -q FAIL "$work/$name.boot.log" ||
    { cat "$work/$name.boot.log"; fail "the $name outcome did not start (QEMU $code)"; }
  boots=$((boots + 1))
}
for sample in bcdboot-old bcdboot-new bootsect-new bootice-new; do
  [ -e "$work/sample-${sample%-*}-${sample##*-}.img" ] || fail "no $sample outcome came up"
  boot_sample "$work/sample-${sample%-*}-${sample##*-}.img" "$sample"
done

# The apply: a target that fills up part-way (a tmpfs whose pages hold far
# more than the files' bytes), one too small from the start, write and read
# errors half-way, and an image corrupted half-way. Each names its cause,
# and the image is never written to.
mkdir -p "$work/apply/tree" "$work/apply/t"
for ((i = 0; i < 60; i++)); do head -c $((20000 + i * 997)) /dev/urandom >"$work/apply/tree/file$i.bin"; done
for ((i = 0; i < 200; i++)); do echo "small $i" >"$work/apply/tree/small$i.txt"; done
image=$work/apply/image.wim
wimcapture "$work/apply/tree" "$image" --compress=none >/dev/null
imageHash=$(sha256sum <"$image")
apply_faults=0
# apply_case NAME EXPECTED-CODE WORDS... -- COMMAND...: fails with that code, says each of WORDS.
apply_case() {
  local name=$1 expected=$2 code word
  shift 2
  local words=()
  while [ "$1" != -- ]; do words+=("$1") && shift; done
  shift
  set +e
  "$@" >"$work/apply/$name.log" 2>&1
  code=$?
  set -e
  apply_faults=$((apply_faults + 1))
  [ "$code" -eq "$expected" ] || { cat "$work/apply/$name.log"; wrong "apply ($name) ended with $code, not $expected"; }
  for word in "${words[@]}"; do
    grep -q "ERROR.*$word" "$work/apply/$name.log" || { cat "$work/apply/$name.log"; wrong "apply ($name) did not say \"$word\""; }
  done
  [ "$(sha256sum <"$image")" = "$imageHash" ] || wrong "apply ($name) changed the image"
}
mount -t tmpfs -o size=3300k tmpfs "$work/apply/t" && mounts+=("$work/apply/t")
apply_case full 12 "No space left on device (ENOSPC)" "partial copy of the image: format it and apply again" -- \
  "$bin/wimengine" "$image" 1 "$work/apply/t"
umount "$work/apply/t" && mount -t tmpfs -o size=200k tmpfs "$work/apply/t"
apply_case small 12 "bytes free, the image's files need" "nothing was written" -- \
  "$bin/wimengine" "$image" 1 "$work/apply/t"
[ -z "$(ls -A "$work/apply/t")" ] || wrong "apply (small) wrote into a target it refused"
umount "$work/apply/t" && mount -t tmpfs -o size=64m tmpfs "$work/apply/t"
# The writes and reads of a clean apply, to fail one half-way.
strace -f -qq -o "$work/apply/trace" -e trace=write,read "$bin/wimengine" "$image" 1 "$work/apply/t" >/dev/null
writes=$(grep -c '^[0-9]* *write(' "$work/apply/trace")
for error in EIO ENOSPC; do
  rm -rf "${work:?}/apply/t/"*
  # The half-way write to a file, not to the output.
  n=$(awk -v half=$((writes / 2)) \
    '/^[0-9]* *write\(/ && ++k >= half && !/write\([12],/ { print k; exit }' "$work/apply/trace")
  apply_case "write-$error" 12 "($error)" "partial copy" -- strace -f -qq -o /dev/null \
    -e trace=write -e inject=write:error=$error:when=$n "$bin/wimengine" "$image" 1 "$work/apply/t"
done
rm -rf "${work:?}/apply/t/"*
# strace counts each thread's calls: past the main thread's last read, only
# the workers that read the image's chunks fail.
mainPid=$(awk '{ print $1; exit }' "$work/apply/trace")
mainReads=$(grep -c "^$mainPid  *read(" "$work/apply/trace")
apply_case read-EIO 9 "Input/output error" "partial copy" -- strace -f -qq -o /dev/null -e trace=read \
  -e inject=read:error=EIO:when=$((mainReads + 1)) "$bin/wimengine" "$image" 1 "$work/apply/t"
rm -rf "${work:?}/apply/t/"*
cp "$image" "$work/apply/corrupt.wim"
printf '\xff\xfe\xfd\xfc' | dd of="$work/apply/corrupt.wim" bs=1 seek=$(($(stat -c %s "$image") / 3)) conv=notrunc status=none
corruptHash=$(sha256sum <"$work/apply/corrupt.wim")
apply_case corrupt 13 "fails its SHA-1 check" "partial copy" -- "$bin/wimengine" "$work/apply/corrupt.wim" 1 "$work/apply/t"
[ "$(sha256sum <"$work/apply/corrupt.wim")" = "$corruptHash" ] || wrong "apply (corrupt) changed the image"
rm -rf "${work:?}/apply/t/"*
head -c $(($(stat -c %s "$image") / 2)) "$image" >"$work/apply/short.wim"
apply_case short 9 "" -- "$bin/wimengine" "$work/apply/short.wim" 1 "$work/apply/t"
[ -z "$(ls -A "$work/apply/t")" ] || wrong "apply (short) wrote from an image it could not read"
umount "$work/apply/t"
echo "apply: $apply_faults faults (a full and a too small target, write errors, a read error, a corrupted and a cut-short image)"

summary=""
for tool in bcdboot bootsect bootsect-ntfs bootice; do
  summary+=" $tool: ${outcomes[$tool.old]:-0} old, ${outcomes[$tool.new]:-0} new;"
done
echo "faults injected: $injected ($inTurn in turn, $randomHits in $((3 * 2 * random_runs)) runs under" \
  "fiu-run, $killed kills); of $((judged + brokenRuns)) runs judged, $judged left the disk old or" \
  "new, $brokenRuns neither"
echo "outcomes:$summary $boots samples booted in QEMU"
[ "$broken" -eq 0 ] || fail "$broken outcomes broke what the tools must keep"
