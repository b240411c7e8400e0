#!/bin/bash
# The native tools as a Linux user meets them: wimengine info against what
# wimlib's wiminfo prints for the same images (a Chinese name with Windows
# properties, an ESD, a split image), apply by name and by index, unknown and
# ambiguous names, the progress on a terminal (through script's pty) and in a
# pipe, --help of every tool, the manual pages and the bash completion.
#   native-tools-test.sh <folder of the native programs> <work folder>
set -euo pipefail
bin=$(realpath "$1")
work=$2
here=$(dirname "$(realpath "$0")")
source_dir=$here/../..
export LC_ALL=C.UTF-8
# The completion asks wimengine itself for the editions.
export PATH="$bin:$PATH"

rm -rf "$work"
mkdir -p "$work/tree/docs"
printf 'first file\n' >"$work/tree/readme.txt"
head -c 300000 /dev/urandom >"$work/tree/docs/random.bin"
cd "$work"

failed=0
pass() { echo "ok: $1"; }
fail() { echo "FAILED: $1"; failed=1; }
check() { if "${@:2}"; then pass "$1"; else fail "$1"; fi; }

quiet() { "$@" >/dev/null; }
quiet wimcapture tree install.wim "Windows 10 专业版" "专业版 & more" --compress=lzx
quiet wimappend tree install.wim "Windows 10 Home" 
quiet wimappend tree install.wim "Twin A"
quiet wimappend tree install.wim "Twin B"
quiet wiminfo install.wim 1 --image-property WINDOWS/ARCH=9 \
  --image-property WINDOWS/EDITIONID=Professional \
  --image-property WINDOWS/LANGUAGES/LANGUAGE=zh-CN \
  --image-property "WINDOWS/LANGUAGES/LANGUAGE[2]=en-US" \
  --image-property WINDOWS/LANGUAGES/DEFAULT=zh-CN \
  --image-property WINDOWS/VERSION/MAJOR=10 --image-property WINDOWS/VERSION/MINOR=0 \
  --image-property WINDOWS/VERSION/BUILD=19045 --image-property WINDOWS/VERSION/SPBUILD=2965
quiet wiminfo install.wim 2 --image-property WINDOWS/ARCH=0 \
  --image-property WINDOWS/EDITIONID=Core
quiet wimcapture tree install.esd "ESD edition" "solid" --solid
quiet wimcapture tree large.wim "Split edition" --compress=none
quiet wimsplit large.wim install.swm 0.1
# Two images of one name, which wimlib refuses to write: the second name
# changed in the XML data itself.
python3 - <<'PY'
data = bytearray(open("install.wim", "rb").read())
old, new = ("<NAME>Twin B</NAME>".encode("utf-16-le"), "<NAME>Twin A</NAME>".encode("utf-16-le"))
assert data.count(old) == 1
data = data.replace(old, new)
open("twins.wim", "wb").write(data)
PY

echo "== info against wiminfo"
compare() {  # compare <image>: every field of every block
  "$bin/wimengine" info "$1" >"$1.info" || { fail "info $1 exited with $?"; return; }
  wiminfo "$1" >"$1.wiminfo"
  if python3 "$here/compare_info.py" "$1.info" "$1.wiminfo"; then
    pass "info $1 says what wiminfo says"
  else
    fail "info $1 differs from wiminfo"
  fi
}
for image in install.wim install.esd install.swm; do compare "$image"; done
check "the Chinese name is shown as it is" grep -qx 'Name: *Windows 10 专业版' install.wim.info
check "the split image's part" grep -qx 'Part: *1 of [0-9]*' install.swm.info
"$bin/wimengine" info --xml install.wim >xml.txt
wiminfo install.wim --xml | iconv -f UTF-16LE -t UTF-8 | sed '1s/^\xEF\xBB\xBF//' >xml.want
check "--xml prints the XML data, as UTF-8" cmp -s xml.txt xml.want
set +e
"$bin/wimengine" info tree/readme.txt >notwim.txt; code=$?
set -e
check "info on no WIM file: exit 5 and an error line" \
  bash -c "[ $code = 5 ] && grep -q '^\[ ERROR \]' notwim.txt"

echo "== apply by name and by index"
mkdir byname byindex unknown twins legacy
"$bin/wimengine" apply install.wim "Windows 10 专业版" byname >byname.log
"$bin/wimengine" apply install.wim 1 byindex >byindex.log
check "by name, the image the name belongs to" grep -q 'Applying image 1 "Windows 10 专业版"' byname.log
check "by name and by index, the same files" diff -r byname byindex
check "the index's image" grep -q 'Applying image 1 ' byindex.log
"$bin/wimengine" install.wim 2 legacy >legacy.log
check "the older form without a command" grep -q 'Applied image 2 to legacy' legacy.log
set +e
"$bin/wimengine" apply install.wim "windows 10 home" unknown >unknown.log; unknownCode=$?
"$bin/wimengine" apply twins.wim "Twin A" twins >twins.log; twinsCode=$?
set -e
check "an unknown name (letter case counts): exit 8" [ "$unknownCode" = 8 ]
check "an unknown name lists the editions" \
  bash -c "grep -q 'no image of install.wim is named' unknown.log && grep -qx '  2  Windows 10 Home' unknown.log"
check "an ambiguous name: exit 8" [ "$twinsCode" = 8 ]
check "an ambiguous name lists both" \
  bash -c "grep -q 'more than one image' twins.log && [ \$(grep -cx '  [34]  Twin A' twins.log) = 2 ]"
check "nothing written for a refused name" \
  bash -c "[ -z \"\$(find unknown twins -mindepth 1)\" ]"

echo "== progress into a pipe and on a terminal"
check "into a pipe: plain lines, no CR" bash -c "! grep -q \$'\\r' byindex.log"
check "into a pipe: imaging tool's lines" grep -qx '\[ 100% \] Applying progress ' byindex.log
rm -rf byindex && mkdir byindex
# script gives the command a pty; its transcript holds what the terminal got.
script -qec "'$bin/wimengine' apply install.wim 1 byindex" /dev/null >pty.log
check "on a terminal: the line rewrites itself" grep -q $'\r\[   0% \] 0 B of 300.0 kB' pty.log
check "on a terminal: the summary" grep -qE $'\r\[ 100% \] 300.0 kB in 0:[0-9]{2}, [0-9.]+ MB/s' pty.log
check "on a terminal: no progress lines" bash -c "! grep -q 'Applying progress' pty.log"
rm -rf byindex && mkdir byindex
"$bin/wimengine" apply --quiet install.wim 1 byindex >quiet.log
check "--quiet prints nothing on success" [ ! -s quiet.log ]
set +e
"$bin/wimengine" apply -q install.wim 9 byindex >quiet.log; code=$?
set -e
check "--quiet still prints the error" \
  bash -c "[ $code = 8 ] && [ \$(wc -l <quiet.log) = 1 ] && grep -q '^\[ ERROR \] there is no image 9' quiet.log"

echo "== --help, manual pages, completion"
for tool in wimengine bootsect bcdboot bootice; do
  for option in --help -h; do
    set +e
    "$bin/$tool" "$option" >help.out 2>help.err; code=$?
    set -e
    check "$tool $option: exit 0, usage on stdout" \
      bash -c "[ $code = 0 ] && grep -q '^Usage: $tool' help.out && [ ! -s help.err ]"
  done
  page=$source_dir/packaging/linux/$tool.1
  warnings=$( { MANWIDTH=80 man --warnings -l "$page" >/dev/null; } 2>&1)
  check "man -l $tool.1 renders without warnings" [ -z "$warnings" ]
  # Every switch the help names is in the manual page.
  for switch in $(grep -oE '(^| )(/[A-Za-z0-9]+|--[a-z]+)' help.out | sort -u); do
    grep -qF -- "${switch//-/\\-}" "$page" ||
      fail "$tool.1 does not mention $switch"
  done
done
completion() {  # completion <tool> <words...>: what bash completes for the last word
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
    "$(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/\1/")" "$1"; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$source_dir/packaging/linux/completion/$1" "${@:2}"
}
export -f completion; export source_dir
check "completion: wimengine's commands" bash -c 'completion wimengine wimengine i | grep -qx info'
check "completion: bcdboot's /f" bash -c '[ "$(completion bcdboot bcdboot /mnt/w/Windows /f U)" = UEFI ]'
check "completion: bootsect's /NT60" bash -c '[ "$(completion bootsect bootsect /n)" = /NT60 ]'
check "completion: bootice's switches" bash -c 'completion bootice bootice /DEVICE=/dev/sdb1 /p | grep -qx /partitions'
check "completion: apply names the editions" \
  bash -c 'completion wimengine wimengine apply install.wim Tw | grep -qx "Twin\\\\ A"'

[ "$failed" = 0 ] && echo "PASSED"
exit "$failed"
