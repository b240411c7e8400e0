#!/bin/bash
# Builds codec_vectors.cpp against wimlib with this machine's compiler and runs
# it: chunks compressed by wimlib, with their original bytes, for the
# decompressors' tests (native and under Wine alike).
#   make-codec-vectors.sh <output folder>
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 <output folder>" >&2
  exit 2
fi
out=$1
if [ ! -f /usr/include/wimlib.h ]; then
  echo "error: wimlib.h not found. The decompressors' tests need wimlib's library to make" \
    "their chunks: apt-get install libwim-dev (scripts/setup-debian.sh installs it)." >&2
  exit 1
fi
rm -rf "$out"
mkdir -p "$out"
g++ -std=c++17 -O2 -Wall -Wextra "$(dirname "$0")/codec_vectors.cpp" -lwim -o "$out/codec_vectors"
"$out/codec_vectors" "$out"
