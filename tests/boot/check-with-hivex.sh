#!/bin/bash
# Writes the sample hives and stores with the library (boot_store_samples),
# exports each with hivexregedit and compares every key and value it sees
# with what the samples meant (<name>.expected, in the same line format).
set -euo pipefail
program=$1
dir=$2
rm -rf "$dir"
mkdir -p "$dir"
"$program" "$dir"

# "[key]" lines as they are, each value line prefixed by its key; sorted, as
# hivexregedit orders keys and values in its own way.
lines() {
  awk '/^Windows Registry Editor/ || /^$/ { next }
       /^\[/ { key = $0; print; next }
       { print key "|" $0 }' "$1" | LC_ALL=C sort
}

count=0
failed=0
for hive in "$dir"/*.hiv; do
  name=${hive%.hiv}
  if ! hivexregedit --export "$hive" '\' >"$name.export" 2>"$name.stderr"; then
    echo "hivex could not read $(basename "$hive"):" && cat "$name.stderr"
    failed=1
    continue
  fi
  if ! diff <(lines "$name.expected") <(lines "$name.export") >"$name.diff"; then
    echo "hivex sees $(basename "$hive") differently (< meant, > read):" && cat "$name.diff"
    failed=1
  fi
  count=$((count + 1))
done
echo "hivex read $count files"
[ "$count" -ge 1 ] && [ "$failed" -eq 0 ]
