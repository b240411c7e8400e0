#!/bin/bash
# stop-bench.sh DIR: ends the Wine server and Xvfb of a test bench.
bench=$(realpath -m "$1")
if [ -d "$bench/prefix" ]; then
  WINEPREFIX="$bench/prefix" wineserver -k 2>/dev/null
  WINEPREFIX="$bench/prefix" wineserver -w 2>/dev/null
fi
if [ -f "$bench/xvfb.pid" ]; then
  kill "$(cat "$bench/xvfb.pid")" 2>/dev/null
  rm -f "$bench/xvfb.pid"
fi
exit 0
