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

quiet wimapply "$out/full.wim" 1 "$out/reference/full-1"
quiet wimapply "$out/full.wim" 2 "$out/reference/full-2"

(cd "$full" && find . -type f -printf '%P\0' | sort -z | xargs -0 sha1sum) >"$out/full.sha1"

echo "WIM apply fixtures made in $out:"
ls -l "$out"
