#!/bin/bash
# screenshot.sh EXE OUT.png: starts the program in the bench, photographs the
# screen once its window is up, then closes it with Esc. The picture is a test
# artefact for a person to look at: Chinese captions must be readable.
set -euo pipefail
exe=$1
out=$2
bench=${ROAMDECK_BENCH:?run through ctest, after the bench_start fixture}
here=$(dirname "$(realpath "$0")")
display=$(cat "$bench/display")

"$here/wine-run.sh" "$exe" </dev/null >/dev/null 2>&1 &
program=$!
sleep 4
mkdir -p "$(dirname "$out")"
xwd -root -display "$display" | convert xwd:- "png:$out"
DISPLAY=$display xdotool key Escape
for _ in $(seq 50); do
  kill -0 "$program" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$program" 2>/dev/null; then
  kill "$program"
  echo "program did not close on Esc" >&2
  exit 1
fi
# The picture must show something besides the desktop's own colour.
colours=$(convert "$out" -format '%k' info:)
echo "screenshot: $out ($colours colours)"
[ "$colours" -gt 16 ]
