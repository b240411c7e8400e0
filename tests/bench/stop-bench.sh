#!/bin/bash
# stop-bench.sh DIR: ends the Wine server and Xvfb of a test bench.
bench=$(realpath -m "$1")
for name in prefix install-prefix; do
  if [ -d "$bench/$name" ]; then
    WINEPREFIX="$bench/$name" wineserver -k 2>/dev/null
    WINEPREFIX="$bench/$name" wineserver -w 2>/dev/null
  fi
done
if [ -f "$bench/xvfb.pid" ]; then
  kill "$(cat "$bench/xvfb.pid")" 2>/dev/null
  rm -f "$bench/xvfb.pid"
fi
if mountpoint -q "$bench/tiny" 2>/dev/null; then
  umount "$bench/tiny"
fi
exit 0
