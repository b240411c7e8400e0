#!/bin/bash
# The apply onto NTFS: wimlib's wimapply in its NTFS-3G mode (the block
# device as target, through libntfs-3g without FUSE) against the WIM engine
# (native wimengine) both ways: given the block device, written directly
# through libntfs-3g as well, and onto an ntfs-3g mount. As root:
#   benchmarks/apply-ntfs3g-vs-wimapply.sh [data size in MB; default 600]
# The data is real: files of /usr/lib in path order, copied onto an NTFS
# volume through ntfs-3g and captured from its block device (LZX), so that
# the image holds security descriptors and times as a Windows image does.
# Each timed run formats a fresh volume (an image file beside the others)
# first; the engine's time includes the unmount, which flushes ntfs-3g.
# The best of ROAMDECK_BENCH_RUNS runs (default 3) counts, after one
# warm-up. Then one more run of the engine under strace counts its system
# calls on the mount per file: each is at least one FUSE request. Work files
# go to build/bench-ntfs3g/ (ROAMDECK_BENCH_DIR to choose another place);
# ROAMDECK_NTFS3G_OPTIONS gives the engine's mount options (-o; big_writes, as the README
# mounts it, unless set, also to empty).
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
megabytes=${1:-600}
runs=${ROAMDECK_BENCH_RUNS:-3}
work=${ROAMDECK_BENCH_DIR:-$PWD/build/bench-ntfs3g}
options=${ROAMDECK_NTFS3G_OPTIONS-big_writes}
[ "$(id -u)" = 0 ] || { echo "error: run as root (loop devices, mounts)" >&2; exit 1; }
for tool in wimcapture wimapply ntfs-3g mkntfs strace cmake python3; do
  command -v "$tool" >/dev/null || { echo "error: $tool is needed (scripts/setup-debian.sh)" >&2; exit 1; }
done
mkdir -p "$work"

loops=()
cleanup() {
  umount "$work/mnt" 2>/dev/null || true
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
}
trap cleanup EXIT

echo "== building wimengine (native, Release, no sanitizers)"
cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DROAMDECK_TESTS=OFF >/dev/null
cmake --build "$work/build" --target wimengine -j2 >/dev/null
engine=$work/build/bin/wimengine

volumeBytes=$(((megabytes * 2 + 256) << 20))
makeVolume() {  # makeVolume <name>: a fresh NTFS volume over an image file; sets $loop
  rm -f "$work/$1.img"
  truncate -s "$volumeBytes" "$work/$1.img"
  loop=$(losetup -f --show "$work/$1.img")
  loops+=("$loop")
  mkntfs -Q -F -q "$loop" 2>/dev/null
}
dropVolume() {
  losetup -d "$loop"
  rm -f "$work/$2.img"
}

image=$work/lzx-$megabytes.wim
if [ ! -f "$image" ]; then
  echo "== copying $megabytes MB of /usr/lib onto an NTFS volume and capturing it"
  makeVolume source
  mkdir -p "$work/mnt"
  ntfs-3g "$loop" "$work/mnt"
  python3 - "$megabytes" "$work/mnt" <<'PY'
import os, shutil, sys
limit, target, total = int(sys.argv[1]) << 20, sys.argv[2], 0
for root, dirs, files in os.walk('/usr/lib'):
    dirs.sort()
    for name in sorted(files):
        path = os.path.join(root, name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        dest = os.path.join(target, os.path.relpath(path, '/usr/lib'))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        try:
            shutil.copyfile(path, dest)
        except OSError:
            continue
        total += os.path.getsize(path)
        if total >= limit:
            sys.exit(0)
sys.exit('only %d MB found' % (total >> 20))
PY
  umount "$work/mnt"
  wimcapture "$loop" "$image.part" data --compress=lzx >/dev/null
  mv "$image.part" "$image"
  dropVolume "$loop" source
fi
read -r files folders dataBytes < <(wiminfo "$image" 1 |
  awk '/^File Count/ { f = $3 } /^Directory Count/ { d = $3 } /^Total Bytes/ { b = $3 }
       END { print f, d, b }')

seconds() {  # seconds engine|direct|wimapply: one apply onto a fresh volume, its wall time
  makeVolume target
  local start end
  sync
  if [ "$1" = engine ]; then
    ntfs-3g ${options:+-o "$options"} "$loop" "$work/mnt"
    start=$(date +%s.%N)
    "$engine" "$image" 1 "$work/mnt" >"$work/engine.log"
    umount "$work/mnt"
  elif [ "$1" = direct ]; then
    start=$(date +%s.%N)
    "$engine" "$image" 1 "$loop" >"$work/direct.log"
  else
    start=$(date +%s.%N)
    wimapply "$image" 1 "$loop" >/dev/null
  fi
  end=$(date +%s.%N)
  dropVolume "$loop" target
  python3 -c "print(f'{$end - $start:.3f}')"
}

echo "== applying $image ($files files, $folders folders); $runs timed runs each after one warm-up"
seconds wimapply >/dev/null
seconds direct >/dev/null
seconds engine >/dev/null
peer=999999 direct=999999 ours=999999
for _ in $(seq "$runs"); do
  peer=$(python3 -c "print(min($peer, $(seconds wimapply)))")
  direct=$(python3 -c "print(min($direct, $(seconds direct)))")
  ours=$(python3 -c "print(min($ours, $(seconds engine)))")
done
for log in engine direct; do
  grep -q 'WARN' "$work/$log.log" && { echo "the engine warned ($log):"; cat "$work/$log.log"; }
done

echo "== counting the engine's system calls (strace -c -f)"
makeVolume target
ntfs-3g ${options:+-o "$options"} "$loop" "$work/mnt"
strace -f -c -o "$work/strace.txt" "$engine" "$image" 1 "$work/mnt" >/dev/null
umount "$work/mnt"
dropVolume "$loop" target

python3 - "$work/strace.txt" "$files" "$folders" "$dataBytes" "$peer" "$ours" "$options" "$direct" <<'PY'
import sys
path, files, folders, data, peer, ours = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), \
    int(sys.argv[4]), float(sys.argv[5]), float(sys.argv[6])
direct = float(sys.argv[8])
calls = {}
for line in open(path):
    parts = line.split()
    if len(parts) >= 5 and parts[-1].isidentifier() and parts[3].isdigit():
        calls[parts[-1]] = int(parts[3])
entries = files + folders
onMount = ['openat', 'write', 'writev', 'close', 'lsetxattr', 'mkdir', 'link', 'newfstatat', 'statx',
           'lstat', 'getxattr', 'statfs', 'symlink', 'utimensat', 'lseek']
print()
print(f'{data / 1e6:.0f} MB in {files} files and {folders} folders, LZX')
print(f'wimapply (NTFS-3G mode, block device): {peer:7.2f} s ({data / 1e6 / peer:6.1f} MB/s)')
print(f'wimengine direct (block device):        {direct:7.2f} s ({data / 1e6 / direct:6.1f} MB/s)')
print(f'wimengine onto an ntfs-3g mount{" (-o " + sys.argv[7] + ")" if sys.argv[7] else ""}: {ours:7.2f} s ({data / 1e6 / ours:6.1f} MB/s)')
print(f'ratio (wimapply time / engine direct time): {peer / direct:5.2f}x')
print(f'ratio (wimapply time / engine mount time):  {peer / ours:5.2f}x')
print(f'engine system calls per file or folder ({entries} entries; a call on the mount is at '
      f'least one FUSE request; the few on the image file are counted too):')
for name in onMount:
    if name in calls:
        print(f'  {name:<11} {calls[name]:>9}  {calls[name] / entries:6.2f} per entry')
print(f'  {"all calls":<11} {sum(calls.values()):>9}  {sum(calls.values()) / entries:6.2f} per entry')
PY
