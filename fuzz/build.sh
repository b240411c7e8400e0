#!/bin/bash
# Builds the libFuzzer harnesses (the WIM reader, its decoders and the apply, the icon directory,
# the boot library's boot sector, partition table, hive and PE readers, the
# firmware's boot entries) with clang into
# build/fuzz/ (outside the CMake build: CI never builds them).
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
out=build/fuzz
mkdir -p "$out"
flags=(-std=c++17 -Wall -Wextra -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -I.)
for harness in wim_info_fuzzer wim_xml_fuzzer; do
  clang++ "${flags[@]}" "fuzz/$harness.cpp" wim/format/image_xml.cpp wim/format/utf.cpp \
    wim/format/wim_header.cpp wim/format/wim_info.cpp -o "$out/$harness"
done
# The XPRESS and LZX decoders, each on its own.
for codec in xpress lzx; do
  clang++ "${flags[@]}" "fuzz/${codec}_fuzzer.cpp" "wim/${codec}_decoder.cpp" \
    -o "$out/${codec}_fuzzer"
done
# The LZMS chunk decoder.
clang++ "${flags[@]}" fuzz/lzms_fuzzer.cpp wim/codecs/lzms_decoder.cpp -o "$out/lzms_fuzzer"
# The metadata parser alone, and the whole apply (every decoder included).
engine=$(ls wim/*.cpp | grep -v -e _win32.cpp)
clang++ "${flags[@]}" fuzz/image_metadata_fuzzer.cpp wim/format/image_tree.cpp \
  wim/format/utf.cpp wim/format/sha1.cpp -o "$out/image_metadata_fuzzer"
# shellcheck disable=SC2086
clang++ "${flags[@]}" fuzz/wim_apply_fuzzer.cpp $engine -lpthread -o "$out/wim_apply_fuzzer"
# The support module's ICO/CUR directory reader.
clang++ "${flags[@]}" fuzz/icon_directory_fuzzer.cpp support/icon_directory.cpp \
  -o "$out/icon_directory_fuzzer"
# The boot library's readers: boot sectors with the placement, partition tables.
clang++ "${flags[@]}" fuzz/boot_sector_fuzzer.cpp boot/sector/volume_boot_sector.cpp \
  boot/sector/boot_code_placement.cpp boot/disk/partition_table.cpp -o "$out/boot_sector_fuzzer"
# The boot library's hive reader (with its writer, for the round trip) and PE reader.
clang++ "${flags[@]}" fuzz/hive_fuzzer.cpp boot/store/hive.cpp -o "$out/hive_fuzzer"
clang++ "${flags[@]}" fuzz/pe_version_fuzzer.cpp boot/store/pe_version.cpp -o "$out/pe_version_fuzzer"
# The firmware's boot entries: load options and edk2's variable store.
clang++ "${flags[@]}" fuzz/firmware_fuzzer.cpp boot/firmware/load_option.cpp \
  boot/firmware/variable_store.cpp boot/disk/disk_ids.cpp -o "$out/firmware_fuzzer"
echo "built in $out:" && ls "$out"
