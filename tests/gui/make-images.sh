#!/bin/bash
# make-images.sh DIR: the image files that the GUI tests browse to, made with
# Debian's wimtools from small trees made here.
#   four.wim            four images; the second has a Chinese name
#   two.wim             two images, LZX as install.wim has it; image 2 is a small
#                       Windows tree with tens of MB of file data (install tests)
#   with space/, p&mkdir pwned/, 100%/   copies of four.wim under awkward paths
#   damaged.wim         two.wim with one byte of file data flipped after capture
#   notwim.wim          not an image at all
set -euo pipefail
out=$(realpath -m "$1")
command -v wimcapture >/dev/null || { echo "wimtools is not installed" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out/trees"
cd "$out/trees"

for n in 1 2 3 4; do
  mkdir -p "t$n/dir$n"
  echo "image $n" >"t$n/readme.txt"
  head -c $((n * 1000)) /dev/urandom >"t$n/dir$n/data.bin"
done
wimcapture t1 ../four.wim "Windows 7 HOMEBASIC" --compress=xpress >/dev/null
wimappend t2 ../four.wim "Windows 7 旗舰版" >/dev/null
wimappend t3 ../four.wim "Windows 7 PROFESSIONAL" >/dev/null
wimappend t4 ../four.wim "Windows 7 A&B <x>" >/dev/null

mkdir -p small/Windows/System32 big/Windows/System32 big/Users/Public big/空目录 big/数据
echo "first" >small/Windows/win.ini
echo "[boot]" >big/Windows/win.ini
: >big/Windows/System32/empty.dll
for i in 1 2 3; do head -c $((20 * 1024 * 1024)) /dev/urandom >"big/数据/part$i.bin"; done
echo "中文内容" >big/Users/Public/说明.txt
wimcapture small ../two.wim "Windows 10 Home" --compress=lzx >/dev/null
wimappend big ../two.wim "Windows 10 专业版" >/dev/null

cd "$out"
for folder in "with space" "p&mkdir pwned" "100%"; do
  mkdir -p "$folder"
  cp four.wim "$folder/four.wim"
done
cp two.wim damaged.wim
# 30 MiB in lies inside the file data of image 2 (three 20 MiB files of
# random bytes, whose chunks LZX cannot shrink and so stores as they are).
offset=$((30 * 1024 * 1024))
byte=$(od -An -tu1 -j "$offset" -N1 damaged.wim | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 0xFF)))" | dd of=damaged.wim bs=1 seek="$offset" conv=notrunc status=none
head -c 4096 /dev/urandom >notwim.wim
rm -rf trees
echo "images ready in $out"
