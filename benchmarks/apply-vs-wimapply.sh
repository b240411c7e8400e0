#!/bin/bash
# Apply throughput of the WIM engine (the native wimengine, SHA-1 checking on
# as always) against wimlib's wimapply and against copying the same files
# with `cp -a`, on the same images, the same target file system and the same
# cache state. Three targets: a disk-backed ext4, timed once with a final
# `sync` counted, so that the page cache cannot hide the writing, and once as
# the tool ends; and, when there is room, a tmpfs (/dev/shm: the work itself,
# decompression, hashing and file creation, decides).
# The disks of shared machines are noisy: the same copy can take twice as
# long a minute later. So the copy and the two tools take turns, round after
# round (best of 5 each), only ratios within one run are compared, and the
# spread of the copy's times is printed beside them.
# Every run starts from an empty target with nothing left to write out and,
# as root, from caches that hold the inputs and nothing else. As root the
# ext4 is made anew for every run: in a folder emptied again and again, ext4
# reuses no inode for 30 seconds after its removal, and the search past
# thousands of them adds up to seconds of system time to whichever run comes
# next.
# It builds what it needs and prints one table:
#   benchmarks/apply-vs-wimapply.sh [data size in MB, at least 500; default 600]
# The data is real: files of /usr/lib, taken in path order until the size is
# reached. The images are XPRESS, LZX (non-solid, 32 KiB chunks) and LZMS in
# solid resources, as install.wim and install.esd hold them. Work files go to
# build/bench-apply/ (ROAMDECK_BENCH_DIR to choose another place);
# ROAMDECK_BENCH_RUNS sets the rounds.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
megabytes=${1:-600}
runs=${ROAMDECK_BENCH_RUNS:-5}
work=${ROAMDECK_BENCH_DIR:-$PWD/build/bench-apply}
mkdir -p "$work"

for tool in wimcapture wimapply cmake python3; do
  command -v "$tool" >/dev/null || { echo "error: $tool is needed (scripts/setup-debian.sh)" >&2; exit 1; }
done

echo "== building wimengine (native, Release, no sanitizers)"
cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DROAMDECK_TESTS=OFF >/dev/null
cmake --build "$work/build" --target wimengine -j"$(nproc)" >/dev/null
engine=$work/build/bin/wimengine
[ -x "$engine" ] || engine=$(find "$work/build" -name wimengine -type f -perm -u+x | head -n1)

data=$work/data
if [ ! -f "$work/data.done" ] || [ "$(cat "$work/data.done")" != "$megabytes" ]; then
  echo "== copying $megabytes MB of /usr/lib to $data"
  rm -rf "$data"
  mkdir -p "$data"
  python3 - "$megabytes" "$data" <<'EOF'
import os, shutil, sys
limit = int(sys.argv[1]) << 20
target = sys.argv[2]
total = 0
for root, dirs, files in os.walk('/usr/lib'):
    dirs.sort()
    for name in sorted(files):
        path = os.path.join(root, name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        size = os.path.getsize(path)
        dest = os.path.join(target, os.path.relpath(path, '/usr/lib'))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        try:
            shutil.copyfile(path, dest)
        except OSError:
            continue
        total += size
        if total >= limit:
            print(f"{total >> 20} MB in files")
            sys.exit(0)
print(f"only {total >> 20} MB found", file=sys.stderr)
sys.exit(1)
EOF
  echo "$megabytes" >"$work/data.done"
  rm -f "$work"/*.wim
fi
dataBytes=$(du -sb "$data" | cut -f1)

declare -A capture=(
  [xpress]="--compress=xpress"
  [lzx]="--compress=lzx"
  [lzms-solid]="--solid"
)
codecs="xpress lzx lzms-solid"
for codec in $codecs; do
  if [ ! -f "$work/$codec.wim" ]; then
    echo "== wimcapture $data $work/$codec.wim ${capture[$codec]}"
    wimcapture "$data" "$work/$codec.wim" "$codec" ${capture[$codec]} >/dev/null
  fi
done

# The disk-backed target: as root, an ext4 file system made anew for every
# run, as the partition a user installs to is, on a loop device that writes
# straight through to a file on this disk (direct I/O: nothing is cached
# twice). Otherwise a folder beside the images, emptied for every run.
disk=$work/target
fresh=0
if [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null && command -v losetup >/dev/null; then
  image=$work/disk.img
  rm -f "$image"
  truncate -s $((dataBytes * 3 > 3221225472 ? dataBytes * 3 : 3221225472)) "$image"
  loop=$(losetup --direct-io=on --find --show "$image")
  trap 'umount "$disk" 2>/dev/null; losetup -d "$loop"; rm -f "$image"' EXIT
  fresh=1
else
  echo "warning: not root: the target is a folder emptied before each run; ext4 does not reuse" \
    "an inode for 30 s after its removal, and the search past them adds to whichever run follows" >&2
fi
targets=("$disk")
if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] &&
  [ "$(df -B1 --output=avail /dev/shm | tail -n1)" -gt $((dataBytes * 2)) ]; then
  targets+=("/dev/shm/roamdeck-bench-target")
fi

# prepare: an empty target, nothing left to write out, and, as root, the
# inputs read back into a page cache that holds nothing else.
prepare() {
  if [ "$fresh" = 1 ] && [ "$target" = "$disk" ]; then
    ! mountpoint -q "$disk" || umount "$disk"
    mkfs.ext4 -q -F -E nodiscard "$loop"
    mkdir -p "$disk"
    mount "$loop" "$disk"
  else
    rm -rf "$target"
    mkdir -p "$target"
  fi
  sync
  if [ "$(id -u)" = 0 ]; then
    echo 3 >/proc/sys/vm/drop_caches
    (cd "$work" && tar -cf - data ./*.wim | cat >/dev/null)
  fi
}

# seconds <command...>: runs it into the prepared target and prints the wall
# time; with synced=1 the sync that puts its writes on the disk is timed too.
synced=0
seconds() {
  prepare
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  [ "$synced" = 0 ] || sync
  end=$(date +%s.%N)
  python3 -c "print(f'{$end - $start:.3f}')"
}

copy() { cp -a "$data/." "$1/"; }

times=$work/times.txt
: >"$times"
echo "== $runs rounds on each target, after one warm-up of each; the copy and the tools take turns"
modes=("${targets[0]}:1" "${targets[0]}:0")
[ "${#targets[@]}" -lt 2 ] || modes+=("${targets[1]}:0")
for mode in "${modes[@]}"; do
  target=${mode%:*} synced=${mode##*:}
  fs=$(stat -f -c %T "$(dirname "$target")")
  [ "$target" != "$disk" ] || [ "$fresh" = 0 ] || fs=ext4
  [ "$fs" != ext2/ext3 ] || fs=ext4
  [ "$synced" = 0 ] || fs="$fs+sync"
  echo "   $fs: $target"
  seconds copy "$target" >/dev/null
  for codec in $codecs; do
    seconds wimapply "$work/$codec.wim" 1 "$target" >/dev/null
    seconds "$engine" "$work/$codec.wim" 1 "$target" >/dev/null
  done
  for _ in $(seq "$runs"); do
    echo "$fs copy - $(seconds copy "$target")" >>"$times"
    for codec in $codecs; do
      echo "$fs wimapply $codec $(seconds wimapply "$work/$codec.wim" 1 "$target")" >>"$times"
      echo "$fs wimengine $codec $(seconds "$engine" "$work/$codec.wim" 1 "$target")" >>"$times"
    done
  done
  [ "$target" = "$disk" ] && [ "$fresh" = 1 ] || rm -rf "$target"
done

python3 - "$times" "$dataBytes" "$work" $codecs <<'EOF'
import os, sys
times, data_bytes, work, codecs = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
runs = {}
for line in open(times):
    fs, tool, codec, seconds = line.split()
    runs.setdefault((fs, tool, codec), []).append(float(seconds))
best = {key: min(values) for key, values in runs.items()}
modes = list(dict.fromkeys(key[0] for key in runs))
rounds = len(runs[(modes[0], 'copy', '-')])
print()
print(f'{data_bytes / 1e6:.0f} MB of files; best of {rounds} rounds, in seconds')
print(f'{"target":<11} {"codec":<11} {"image MB":>8} | {"copy":>5} {"wimapply":>8} {"wimengine":>9}'
      f' | {"engine/copy":>11} {"wimapply/engine":>15}')
for fs in modes:
    copy = best[(fs, 'copy', '-')]
    for codec in codecs:
        peer, ours = best[(fs, 'wimapply', codec)], best[(fs, 'wimengine', codec)]
        image = os.path.getsize(os.path.join(work, codec + '.wim')) / 1e6
        print(f'{fs:<11} {codec:<11} {image:8.0f} | {copy:5.2f} {peer:8.2f} {ours:9.2f}'
              f' | {ours / copy:10.2f}x {peer / ours:14.2f}x')
    spread = runs[(fs, 'copy', '-')]
    print(f'{"":<11} the copy took {min(spread):.2f} to {max(spread):.2f} s '
          f'(its slowest run {max(spread) / min(spread):.2f}x its fastest)')
# On the disk with the sync counted: the engine against the larger of the
# copy's time and its own time on tmpfs (it cannot beat either), and against
# wimapply; on tmpfs, against wimapply.
synced = next((m for m in modes if m.endswith('+sync')), None)
if synced and 'tmpfs' in modes:
    print()
    for codec in codecs:
        ours = best[(synced, 'wimengine', codec)]
        bound = max(best[(synced, 'copy', '-')], best[('tmpfs', 'wimengine', codec)])
        ahead = best[(synced, 'wimapply', codec)] / ours
        fast = best[('tmpfs', 'wimapply', codec)] / best[('tmpfs', 'wimengine', codec)]
        print(f'{codec:<11} {synced}: {ours / bound:.2f}x the larger of the copy and its tmpfs time,'
              f' {ahead:.2f}x ahead of wimapply; tmpfs: {fast:.2f}x ahead of wimapply')
EOF
