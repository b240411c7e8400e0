#!/bin/bash
# Builds the libFuzzer harnesses (the WIM reader's two, the icon directory's one) with clang into
# build/fuzz/ (outside the CMake build: CI never builds them).
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
out=build/fuzz
mkdir -p "$out"
flags=(-std=c++17 -Wall -Wextra -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -I.)
for harness in wim_info_fuzzer wim_xml_fuzzer; do
  clang++ "${flags[@]}" "fuzz/$harness.cpp" standins/wim/image_xml.cpp standins/wim/utf.cpp \
    standins/wim/wim_header.cpp standins/wim/wim_info.cpp -o "$out/$harness"
done
# The support module's ICO/CUR directory reader.
clang++ "${flags[@]}" fuzz/icon_directory_fuzzer.cpp support/icon_directory.cpp \
  -o "$out/icon_directory_fuzzer"
echo "built $out/wim_info_fuzzer, $out/wim_xml_fuzzer and $out/icon_directory_fuzzer"
