#!/bin/bash
# Builds the two libFuzzer harnesses of the WIM reader with clang into
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
echo "built $out/wim_info_fuzzer and $out/wim_xml_fuzzer"
