#!/bin/bash
# The emulator through which ctest runs every Windows test program: 64-bit
# Wine in one of the bench's prefixes (ROAMDECK_PREFIX, "prefix" unless
# told), on the bench's display, in the Chinese locale.
set -euo pipefail
bench=${ROAMDECK_BENCH:?run through ctest, after the bench_start fixture}
export WINEPREFIX="$bench/${ROAMDECK_PREFIX:-prefix}" WINEARCH=win64 WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
export DISPLAY=$(cat "$bench/display")
exec /usr/lib/wine/wine64 "$@"
