#!/bin/bash
# Makes the WIM files that the apply's tests read, with wimlib's tools as the
# independent writer, from trees made here: nested folders, empty files and
# folders, Chinese names and one outside the BMP, files around one 32 KiB
# chunk, several files of megabytes (about 50 MB of data to write in all, so
# that the progress has something to show), hard links and symbolic links.
# Beside them: wimapply's own result for each image, to compare with, and
# sha1sum's digests of the files, to check our SHA-1 against.
#   make-apply-fixtures.sh <output folder>
# The tests run natively and under Wine; Wine cannot start Linux programs, so
# everything is made here, once, before either runs.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <output folder>" >&2
  exit 2
fi
out=$1

for tool in wimcapture wimappend wimapply sha1sum; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "error: $tool not found. The apply's tests need Debian's wimtools" \
      "package to make their images: apt-get install wimtools" \
      "(scripts/setup-debian.sh installs it)." >&2
    exit 1
  fi
done

# Names are UTF-8 on this side; wimlib reads them in the locale's encoding.
export LC_ALL=C.UTF-8

rm -rf "$out"
mkdir -p "$out/trees" "$out/reference" "$out/scratch"
trees=$out/trees

# Bytes that differ from file to file and from run to run.
random() { head -c "$1" /dev/urandom >"$2"; }

full=$trees/full
mkdir -p "$full/chunk" "$full/big" "$full/deep/a/b/c/d/e" "$full/deep/a/b/empty inside" \
  "$full/empty folder" "$full/中文目录/子目录" "$full/links"
printf 'Applied by the imaging stand-in.\n' >"$full/readme.txt"
: >"$full/empty.txt"
random 32768 "$full/chunk/exact.bin"  # one chunk of a compressed image, to the byte
random 32767 "$full/chunk/less.bin"
random 32769 "$full/chunk/more.bin"
random $((6 << 20)) "$full/big/six.bin"
random $((12 << 20)) "$full/big/twelve.bin"
random $((15 << 20)) "$full/deep/a/b/c/d/e/fifteen.bin"
random $((9 << 20 | 12345)) "$full/deep/a/nine and a bit.bin"
printf '简体中文的说明。\n' >"$full/中文目录/说明.txt"
: >"$full/中文目录/空文件.txt"
random $((1 << 20)) "$full/中文目录/子目录/数据.bin"
printf 'outside the BMP\n' >"$full/𠀀 surrogates.txt"
printf 'spaces\n' >"$full/name with spaces.txt"
ln "$full/big/six.bin" "$full/links/six again.bin"
ln "$full/readme.txt" "$full/links/readme again.txt"

second=$trees/second
mkdir -p "$second/notes" "$second/empty"
printf 'the second image\n' >"$second/second.txt"
printf '第二个映像\n' >"$second/notes/第二.txt"
random 100000 "$second/notes/data.bin"

# Small, for the damaged copies: each file's content is text found nowhere
# else in the image, so that a test can find its data.
small=$trees/small
mkdir -p "$small/docs" "$small/empty"
printf 'first file of the small image\n' >"$small/readme.txt"
printf 'notes of the small image, one folder down\n' >"$small/docs/notes.txt"
printf '小映像的中文文件\n' >"$small/docs/中文.txt"

# Symbolic links become reparse points, which the apply leaves out.
linked=$trees/linked
mkdir -p "$linked/folder"
printf 'the real file\n' >"$linked/folder/real.txt"
ln -s folder/real.txt "$linked/file link"
ln -s folder "$linked/folder link"

# Compressible data of every sort for the compressed images: machine code
# (E8 calls), counting text, base64 text, runs, a file of exactly one 32 KiB
# chunk and one a byte over, random stretches that chunks store as is, a
# deep tree with Chinese names, hard links, empty files and a symbolic link.
mixed=$trees/mixed
mkdir -p "$mixed/bin" "$mixed/深层/a/b/c/d/e/f/g/h/i/j" "$mixed/empty folder" "$mixed/文本"
cp "$(command -v wimlib-imagex)" "$mixed/bin/imagex.bin"
cat /bin/bash /bin/bash >"$mixed/bin/bash twice.bin"
ln "$mixed/bin/bash twice.bin" "$mixed/bin/hard link.bin"
ln "$mixed/bin/bash twice.bin" "$mixed/深层/a/third name.bin"
seq 1 600000 >"$mixed/文本/数字.txt"
head -c 1500000 /dev/urandom | base64 >"$mixed/文本/base64.txt"
head -c 32768 "$mixed/文本/数字.txt" >"$mixed/exact chunk.txt"
head -c 32769 "$mixed/文本/数字.txt" >"$mixed/chunk and a byte.txt"
head -c 300000 /dev/zero >"$mixed/zeros.bin"
random 200000 "$mixed/random.bin"
printf '很深的文件\n' >"$mixed/深层/a/b/c/d/e/f/g/h/i/j/深.txt"
: >"$mixed/empty.txt"
: >"$mixed/深层/also empty"
cp "$mixed/文本/数字.txt" "$mixed/same content as 数字.txt"
ln -s 文本/数字.txt "$mixed/link to 数字"

quiet() { "$@" >/dev/null; }

quiet wimcapture "$full" "$out/full.wim" "Full tree" --compress=none
quiet wimappend "$second" "$out/full.wim" "第二 image" --compress=none
quiet wimcapture "$small" "$out/small.wim" "Small" --compress=none
quiet wimcapture "$linked" "$out/linked.wim" "Linked" --compress=none
for compression in xpress lzx lzms; do
  quiet wimcapture "$small" "$out/$compression.wim" "Small $compression" \
    --compress="$compression"
done
quiet wimcapture "$small" "$out/solid.wim" "Small solid" --solid

# The mixed tree in every compression, solid resources of several chunks,
# a second image, and a split image; wimapply's trees beside them.
codecs="none xpress lzx lzms"
for compression in $codecs; do
  quiet wimcapture "$mixed" "$out/mixed-$compression.wim" "Mixed $compression" \
    --compress="$compression"
done
quiet wimcapture "$mixed" "$out/mixed-lzx64k.wim" "Mixed LZX 64K" --compress=lzx \
  --chunk-size=65536
quiet wimcapture "$mixed" "$out/mixed-solid.wim" "Mixed solid" --solid --solid-chunk-size=1M
quiet wimcapture "$mixed" "$out/mixed-solid-xpress.wim" "Mixed solid XPRESS" --solid \
  --solid-compress=xpress --solid-chunk-size=64K
quiet wimappend "$second" "$out/mixed-solid.wim" "Second solid" --solid
quiet wimappend "$second" "$out/mixed-lzx.wim" "Second LZX"
quiet wimsplit "$out/mixed-lzx.wim" "$out/split.swm" 2
for name in none xpress lzx lzms lzx64k solid solid-xpress; do
  quiet wimapply "$out/mixed-$name.wim" 1 "$out/reference/mixed-$name"
done
quiet wimapply "$out/mixed-solid.wim" 2 "$out/reference/second-solid"

quiet wimapply "$out/full.wim" 1 "$out/reference/full-1"
quiet wimapply "$out/full.wim" 2 "$out/reference/full-2"

(cd "$full" && find . -type f -printf '%P\0' | sort -z | xargs -0 sha1sum) >"$out/full.sha1"

echo "WIM apply fixtures made in $out:"
ls -l "$out"
