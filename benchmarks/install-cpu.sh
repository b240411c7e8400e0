#!/bin/bash
# What the program itself costs while it installs an image: a real
# installation under Wine, through the real program and its stand-in tools,
# of an LZX image of MB megabytes (default 256; half random, half base64 text).
# Prints, for each run and then as min/median/max over the runs, the program's
# CPU time (the sum over its threads), the wall time and their ratio, the
# share of one core: for the apply (while the imaging tool runs, which is
# when the three timers tick and the log grows) and for the whole
# installation (confirmation to final message, with the window's one-off
# work: repaints, the boot set-up, the message box). And how busy the machine
# was with other work just before each run (wall time depends on it; the
# program's CPU time much less).
#   benchmarks/install-cpu.sh [MB, at least 256; default 256]
# Builds build/win64 (roamdeck and the driver install_cpu) and makes its own
# test bench (Xvfb, prefixes; tests/bench) under build/bench-install-cpu/
# (ROAMDECK_BENCH_DIR to choose another place); ROAMDECK_BENCH_RUNS runs (3).
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
megabytes=${1:-256}
runs=${ROAMDECK_BENCH_RUNS:-3}
work=${ROAMDECK_BENCH_DIR:-$PWD/build/bench-install-cpu}
[ "$megabytes" -ge 256 ] || { echo "error: at least 256 MB" >&2; exit 2; }
for tool in wimcapture Xvfb cmake; do
  command -v "$tool" >/dev/null || { echo "error: $tool is needed (scripts/setup-debian.sh)" >&2; exit 1; }
done
mkdir -p "$work"

echo "== building build/win64 (roamdeck, install_cpu)"
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win64 --target roamdeck install_cpu -j2 >/dev/null

image=$work/install.wim
if [ ! -f "$work/image.done" ] || [ "$(cat "$work/image.done")" != "$megabytes" ]; then
  echo "== capturing a $megabytes MB image"
  rm -rf "$work/tree" "$image"
  mkdir -p "$work/tree/Windows/System32" "$work/tree/data"
  echo "[boot]" >"$work/tree/Windows/win.ini"
  files=$((megabytes / 32))
  for i in $(seq "$files"); do
    if [ $((i % 2)) -eq 0 ]; then
      head -c $((32 << 20)) /dev/urandom >"$work/tree/data/random$i.bin"
    else
      head -c $((32 << 20)) < <(base64 -w 76 /dev/urandom) >"$work/tree/data/text$i.txt"
    fi
  done
  wimcapture "$work/tree" "$image" "Windows 10 Bench" --compress=lzx >/dev/null
  rm -rf "$work/tree"
  echo "$megabytes" >"$work/image.done"
fi

bench=$work/bench
trap 'bash tests/bench/stop-bench.sh "$bench"' EXIT
echo "== starting the bench"
bash tests/bench/start-bench.sh "$bench" >/dev/null
prefix=$bench/install-prefix
mkdir -p "$prefix/drives/e/sources"
ln -f "$image" "$prefix/drives/e/sources/install.wim" 2>/dev/null ||
  cp "$image" "$prefix/drives/e/sources/install.wim"

# Busy jiffies and all jiffies of the whole machine, from /proc/stat.
machine() { awk '/^cpu /{print $2+$3+$4+$7+$8+$9, $2+$3+$4+$5+$6+$7+$8+$9}' /proc/stat; }

echo "== $runs runs on $(nproc) cores, load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
results=()
for run in $(seq "$runs"); do
  rm -rf "${prefix:?}/drives/d/"* "${prefix:?}/drives/d/".[!.]* 2>/dev/null || true
  # The apply itself keeps both cores busy: how busy the machine is with
  # other work is seen in the second before the run.
  read -r busy0 all0 < <(machine)
  sleep 1
  read -r busy1 all1 < <(machine)
  load=$(awk -v b=$((busy1 - busy0)) -v a=$((all1 - all0)) -v n="$(nproc)" \
    'BEGIN{printf "%.0f", a ? 100*n*b/a : 0}')
  # Output to a file, not a pipe: Wine's services would keep a pipe open.
  ROAMDECK_BENCH=$bench ROAMDECK_PREFIX=install-prefix \
    bash tests/bench/wine-run.sh build/win64/bin/install_cpu.exe </dev/null >"$work/run.txt" 2>&1 ||
    { cat "$work/run.txt" >&2; exit 1; }
  line=$(grep -a 'cpu_ms=' "$work/run.txt" | tr -d '\r')
  field() { sed -E "s/.*(^| )$1=([0-9]+).*/\2/" <<<"$line"; }
  cpu=$(field cpu_ms) wall=$(field wall_ms) apply_cpu=$(field apply_cpu_ms) apply_wall=$(field apply_wall_ms)
  share=$(awk -v c="$cpu" -v w="$wall" 'BEGIN{printf "%.1f", 100*c/w}')
  apply_share=$(awk -v c="$apply_cpu" -v w="$apply_wall" 'BEGIN{printf "%.1f", w ? 100*c/w : 0}')
  printf 'run %d: apply: CPU %4d ms, wall %5d ms, %5.1f %%;  whole: CPU %4d ms, wall %5d ms, %5.1f %%;  machine busy before: %s %%\n' \
    "$run" "$apply_cpu" "$apply_wall" "$apply_share" "$cpu" "$wall" "$share" "$load"
  results+=("$apply_cpu $apply_wall $apply_share $cpu $wall $share $load")
done

# min/median/max of one column of the results.
stats() {
  printf '%s\n' "${results[@]}" | awk -v k="$1" '{print $k}' | sort -g |
    awk '{v[NR]=$1} END{printf "%s / %s / %s", v[1], v[int((NR+1)/2)], v[NR]}'
}
echo "== min / median / max over $runs runs (load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "apply, program CPU ms:         $(stats 1)"
echo "apply, wall ms:                $(stats 2)"
echo "apply, share of one core %:    $(stats 3)"
echo "whole, program CPU ms:         $(stats 4)"
echo "whole, wall ms:                $(stats 5)"
echo "whole, share of one core %:    $(stats 6)"
echo "machine busy before, % of one core: $(stats 7)"
