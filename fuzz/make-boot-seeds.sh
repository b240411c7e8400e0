#!/bin/bash
# Remakes the seeds of the boot library's harnesses:
#   corpus/hive/        boot stores that the library writes (BIOS, UEFI, merged)
#   corpus/pe_version/  two tiny programs with a version resource, linked by MinGW
# Needs g++ and the MinGW cross tools; the seeds are kept in the repository.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

g++ -std=c++17 -O1 -I. tests/boot/store_samples.cpp boot/store/hive.cpp boot/store/bcd_store.cpp boot/disk/disk_ids.cpp \
  -o "$work/samples"
"$work/samples" "$work"
rm -rf fuzz/corpus/hive fuzz/corpus/pe_version
mkdir -p fuzz/corpus/hive fuzz/corpus/pe_version
cp "$work"/bcd-*.hiv fuzz/corpus/hive/

# Entry points of their own: no C runtime, so the files stay a few KB.
echo 'int start(void) { return 0; }' >"$work/start.c"
for arch in i686 x86_64; do
  entry=start
  [ "$arch" = i686 ] && entry=_start
  "$arch-w64-mingw32-windres" tests/boot/version_sample.rc -O coff -o "$work/$arch.o"
  "$arch-w64-mingw32-gcc" -s -nostartfiles -nostdlib -e "$entry" "$work/start.c" "$work/$arch.o" \
    -o "fuzz/corpus/pe_version/version_$arch.exe"
done
ls -l fuzz/corpus/hive fuzz/corpus/pe_version
