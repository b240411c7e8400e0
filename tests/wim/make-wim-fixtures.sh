#!/bin/bash
# Makes the WIM files that the reader's tests read, with wimlib's tools as the
# independent writer: small trees captured with each compression, a file of
# four images with awkward names, a bootable one with an integrity table, a
# split one and a pipable one. Beside each image, wiminfo's own view of it
# (--header and the image list) for the tests to compare against.
#   make-wim-fixtures.sh <output folder>
# The tests run natively and under Wine; Wine cannot start Linux programs, so
# the images are made here, once, before either runs.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <output folder>" >&2
  exit 2
fi
out=$1

for tool in wimcapture wimappend wiminfo wimsplit; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "error: $tool not found. The WIM reader's tests need Debian's wimtools" \
      "package to make their images: apt-get install wimtools" \
      "(scripts/setup-debian.sh installs it)." >&2
    exit 1
  fi
done

# wiminfo prints names in the locale's encoding: make that UTF-8.
export LC_ALL=C.UTF-8

rm -rf "$out"
mkdir -p "$out/trees" "$out/scratch"
trees=$out/trees

mkdir -p "$trees/small/docs"
printf 'first file\n' >"$trees/small/readme.txt"
printf 'second file, one folder down\n' >"$trees/small/docs/notes.txt"

mkdir -p "$trees/other/a/b"
printf 'other tree\n' >"$trees/other/a/b/deep.txt"
printf '%s\n' {1..200} >"$trees/other/numbers.txt"

# Big enough to need a second part when split at 0.1 MiB.
mkdir -p "$trees/large"
head -c 250000 /dev/urandom >"$trees/large/random.bin"

quiet() { "$@" >/dev/null; }

# wiminfo's view, for the tests: the header fields and the image list.
describe() {
  wiminfo --header "$1" >"$1.header.txt"
  wiminfo "$1" >"$1.wiminfo.txt"
}

for compression in none xpress lzx lzms; do
  quiet wimcapture "$trees/small" "$out/$compression.wim" "Compression $compression" \
    "One image stored with $compression" --compress="$compression"
  quiet wimappend "$trees/other" "$out/$compression.wim" "Second $compression image"
done

# A solid (ESD-style) file: version 0xE00, resources packed with LZMS.
quiet wimcapture "$trees/small" "$out/solid.wim" "Solid image" --solid

# Four images whose names test the text handling: plain ASCII, Chinese,
# XML's special characters, and a character outside the BMP (U+20000, a
# surrogate pair in UTF-16).
four=$out/four.wim
quiet wimcapture "$trees/small" "$four" "Windows 7 HOMEBASIC" "Home Basic" --compress=lzx
quiet wimappend "$trees/other" "$four" "Windows 7 家庭高级版" "家庭高级版 & more"
quiet wimappend "$trees/small" "$four" "Tom & Jerry <Ultimate> \"x\" 'y'" "a < b > c"
quiet wimappend "$trees/other" "$four" "专业版 𠀀 Pro"
quiet wiminfo "$four" 1 --image-property DISPLAYNAME="Windows 7 Home Basic" \
  --image-property FLAGS=HomeBasic

# Bootable (boot index 2) with an integrity table.
quiet wimcapture "$trees/small" "$out/boot.wim" "Boot one" --compress=xpress
quiet wimappend "$trees/other" "$out/boot.wim" "Boot two" --boot --check

# A split image: its one big file fills a part of its own.
quiet wimcapture "$trees/large" "$out/large.wim" "Large image" --compress=none
quiet wimsplit "$out/large.wim" "$out/split.swm" 0.1

# wimlib's pipable form, which this reader refuses.
wimcapture "$trees/small" "$out/pipable.wim" "Pipable" --pipable >/dev/null 2>&1

for image in "$out"/*.wim "$out"/*.swm; do
  describe "$image"
done

echo "WIM fixtures made in $out:"
ls -l "$out"
