#!/bin/bash
# Apply throughput of the WIM engine (the native wimengine,
# SHA-1 checking on as always) against wimlib's wimapply, on the same images,
# the same target file system and the same cache state (both read images
# that the page cache holds: each run is preceded by one warm-up of each).
# Two targets: a folder beside the images (disk-backed: the disk's write
# speed may bound both), timed once as the tool ends and once with a final
# `sync` counted, so that the page cache cannot hide the writing; and, when
# there is room, a tmpfs (/dev/shm: the work itself, decompression, hashing
# and file creation, decides).
# It builds what it needs and prints one table of ratios:
#   benchmarks/apply-vs-wimapply.sh [data size in MB, at least 500; default 600]
# The data is real: files of /usr/lib, taken in path order until the size is
# reached. The images are XPRESS, LZX (non-solid, 32 KiB chunks) and LZMS in
# solid resources, as install.wim and install.esd hold them. Work files go to
# build/bench-apply/ (ROAMDECK_BENCH_DIR to choose another place).
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
megabytes=${1:-600}
runs=${ROAMDECK_BENCH_RUNS:-3}
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

targets=("$work/target")
if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] &&
  [ "$(df -B1 --output=avail /dev/shm | tail -n1)" -gt $((dataBytes * 2)) ]; then
  targets+=("/dev/shm/roamdeck-bench-target")
fi

# seconds <command...>: runs it into an empty target, prints the wall time;
# with synced=1 the sync that puts its writes on the disk is timed too.
synced=0
seconds() {
  rm -rf "$target"
  mkdir -p "$target"
  sync
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  [ "$synced" = 0 ] || sync
  end=$(date +%s.%N)
  python3 -c "print(f'{$end - $start:.3f}')"
}

echo "== applying; $runs timed runs each after one warm-up, best run counts"
table=$work/table.txt
printf '%-11s %-10s %8s %8s | %-20s | %-20s | %s\n' codec target "data MB" "image MB" \
  "wimapply s (MB/s)" "wimengine s (MB/s)" ratio >"$table"
runs_of=("${targets[0]}:0" "${targets[0]}:1")
[ "${#targets[@]}" -lt 2 ] || runs_of+=("${targets[1]}:0")
for run_of in "${runs_of[@]}"; do
  target=${run_of%:*} synced=${run_of##*:}
  fs=$(stat -f -c %T "$(dirname "$target")")
  [ "$synced" = 0 ] || fs="$fs+sync"
  for codec in $codecs; do
    image=$work/$codec.wim
    imageBytes=$(stat -c %s "$image")
    echo "   wimapply $image 1 $target"
    echo "   $engine $image 1 $target"
    seconds wimapply "$image" 1 "$target" >/dev/null
    seconds "$engine" "$image" 1 "$target" >/dev/null
    peer=999999
    ours=999999
    for _ in $(seq "$runs"); do
      peer=$(python3 -c "print(min($peer, $(seconds wimapply "$image" 1 "$target")))")
      ours=$(python3 -c "print(min($ours, $(seconds "$engine" "$image" 1 "$target")))")
    done
    python3 -c "
mb = $dataBytes / 1e6
print(f'{\"$codec\":<11} {\"$fs\":<10} {mb:8.0f} {$imageBytes / 1e6:8.0f} | {$peer:7.2f} ({mb / $peer:6.1f})     | {$ours:7.2f} ({mb / $ours:6.1f})     | {$peer / $ours:5.2f}x')
" >>"$table"
  done
  rm -rf "$target"
done
echo
cat "$table"
