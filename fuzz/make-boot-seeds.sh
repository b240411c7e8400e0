#!/bin/bash
# Remakes the seeds of the boot library's harnesses:
#   corpus/hive/        boot stores that the library writes (BIOS, UEFI, merged)
#   corpus/pe_version/  two tiny programs with a version resource, linked by MinGW
#   corpus/firmware/    OVMF variable stores cut to 8 KiB (as shipped, and as the
#                       boot_nvram test leaves one: the firmware's entries and
#                       bcdboot's) and the load options in them
# Needs g++, the MinGW cross tools and OVMF; the seeds are kept in the repository.
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
rm -rf fuzz/corpus/firmware && mkdir -p fuzz/corpus/firmware
filled=build/native/boot-nvram/filled.fd
[ -f "$filled" ] || filled=
python3 - fuzz/corpus/firmware /usr/share/OVMF/OVMF_VARS_4M.fd $filled <<'EOF'
import struct, sys
out, stores = sys.argv[1], sys.argv[2:]
for n, name in enumerate(stores):
    data = bytearray(open(name, "rb").read())
    at, options = 100, {}
    while struct.unpack_from("<H", data, at)[0] == 0x55AA:
        name_size, data_size = struct.unpack_from("<II", data, at + 0x24)
        var = data[at + 60:at + 60 + name_size].decode("utf-16-le").rstrip("\0")
        if var.startswith("Boot0"):
            options[var] = data[at + 60 + name_size:at + 60 + name_size + data_size]
        at = (at + 60 + name_size + data_size + 3) & ~3
    # The variables and 1 KiB of free space, in whole 4 KiB blocks.
    size = (at + 0x400 + 0xFFF) & ~0xFFF
    data = data[:size]
    struct.pack_into("<Q", data, 0x20, size)
    struct.pack_into("<I", data, 0x38, size // 0x1000)
    struct.pack_into("<H", data, 0x32, 0)
    struct.pack_into("<H", data, 0x32, -sum(struct.unpack_from("<36H", data)) & 0xFFFF)
    struct.pack_into("<I", data, 72 + 0x10, size - 72)
    open("%s/store_%d.fd" % (out, n), "wb").write(data)
    for var, value in options.items():
        open("%s/option_%d_%s.bin" % (out, n, var), "wb").write(value)
EOF
ls -l fuzz/corpus/hive fuzz/corpus/pe_version fuzz/corpus/firmware
