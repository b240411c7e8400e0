#!/bin/bash
# start-bench.sh DIR: the test bench for one test run. Starts Xvfb on a free
# display, makes a fresh prefix in DIR/prefix, and starts a persistent Wine
# server with its background services, so that each test starts quickly.
set -euo pipefail

bench=$(realpath -m "$1")
here=$(dirname "$(realpath "$0")")
bash "$here/stop-bench.sh" "$bench" || true
mkdir -p "$bench"

number=90
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
  number=$((number + 1))
done
Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp </dev/null >"$bench/xvfb.log" 2>&1 &
echo $! >"$bench/xvfb.pid"
echo ":$number" >"$bench/display"
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X$number" ] && break
  sleep 0.1
done

# A 64 KiB drive for tests of a write that runs out of space, where this
# machine lets us mount one.
mkdir -p "$bench/tiny"
if mount -t tmpfs -o size=64k roamdeck-tiny "$bench/tiny" 2>/dev/null; then
  export TINY_DRIVE="$bench/tiny"
else
  echo "no small drive: mounting is not allowed here"
fi

# Two prefixes: most tests use "prefix"; the installation tests use
# "install-prefix", whose drives look like a machine being set up.
bash "$here/make-prefix.sh" "$bench/prefix" ":$number" lists &
lists=$!
bash "$here/make-prefix.sh" "$bench/install-prefix" ":$number" install
wait "$lists"

for name in prefix install-prefix; do
  export WINEPREFIX="$bench/$name" WINEARCH=win64 WINEDEBUG=-all LC_ALL=zh_CN.UTF-8 DISPLAY=":$number"
  # Detached from our output: the server and Wine's services outlive this
  # script, and must not hold ctest's pipe open.
  wineserver -p </dev/null >/dev/null 2>&1
  /usr/lib/wine/wine64 cmd.exe /c exit </dev/null >/dev/null 2>&1
done
echo "bench ready: prefixes in $bench, display :$number"
