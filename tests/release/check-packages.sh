#!/bin/bash
# check-packages.sh [WORK]: builds the release packages twice, from two copies
# of the sources in different folders, one after the other, and checks that
# both give the same bytes; then unpacks them and checks what they hold:
# the programs' machine types and version resources (the embedded tools'
# too), the readmes, the x64 program starting to its window under Wine, the
# native tools' --version from the tarball, and the Debian package's control
# data, dependencies and files (and lintian, where it is installed); last,
# that a new VERSION rebuilds into the programs.
# WORK defaults to build/release-check.
set -euo pipefail
source=$(cd "$(dirname "$(realpath "$0")")/../.." && pwd)
work=$(realpath -m "${1:-$source/build/release-check}")
here=$source/tests/release
version=$(head -n 1 "$source/VERSION")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

# The sources as checked out, modified files included, in two folders of
# different depth; each copy builds in its own folder.
copies=("$work/one/src" "$work/two/elsewhere/roamdeck-src")
for copy in "${copies[@]}"; do
  rm -rf "$copy"
  mkdir -p "$copy"
  (cd "$source" && git ls-files -z | tar --null -T - --ignore-failed-read -cf -) | tar -x -C "$copy"
done
for copy in "${copies[@]}"; do
  start=$(date +%s)
  bash "$copy/scripts/package.sh" >"$copy.log" 2>&1 || { cat "$copy.log"; exit 1; }
  echo "packages built in $copy/dist in $(($(date +%s) - start)) s"
done
one=${copies[0]}/dist
two=${copies[1]}/dist

x86=roamdeck-$version-windows-x86
x64=roamdeck-$version-windows-x64
tools=roamdeck-tools-$version-linux-x86_64
deb=roamdeck-tools_${version}_amd64.deb
expected=("$x64.zip" "$x86.zip" "$deb" "$tools.tar.gz" SHA256SUMS)
listed=$(cd "$one" && ls | sort | tr '\n' ' ')
wanted=$(printf '%s\n' "${expected[@]}" | sort | tr '\n' ' ')
[ "$listed" = "$wanted" ] && pass "dist holds $wanted" || fail "dist holds $listed, expected $wanted"

for file in "${expected[@]}"; do
  if cmp -s "$one/$file" "$two/$file"; then
    pass "$file is the same in both builds ($(stat -c %s "$one/$file") bytes)"
  else
    fail "$file differs between the two builds"
  fi
done
(cd "$one" && sha256sum --quiet -c SHA256SUMS) && pass "SHA256SUMS matches" ||
  fail "SHA256SUMS does not match the packages"

unpacked=$work/unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked"

# The Windows zips: the program, its license and readme, nothing else.
for pair in "$x86:0x14c" "$x64:0x8664"; do
  name=${pair%%:*}
  machine=${pair#*:}
  entries=$(python3 -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
    "$one/$name.zip")
  want="$name/ $name/LICENSE.txt $name/README.txt $name/roamdeck.exe"
  [ "$entries" = "$want" ] && pass "$name.zip holds $want" || fail "$name.zip holds $entries"
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
    "$one/$name.zip" "$unpacked"
  python3 "$here/pe_check.py" "$unpacked/$name/roamdeck.exe" "$machine" "$version" 101,102,103,104 ||
    fail "$name/roamdeck.exe"
  readme=$unpacked/$name/README.txt
  if [ "$(head -c 3 "$readme" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
    ! grep -q $'[^\r]$' "$readme" && grep -q "Roamdeck $version" "$readme" &&
    grep -q "管理员" "$readme" && grep -q "administrator" "$readme"; then
    pass "$name/README.txt: UTF-8 with BOM, CR LF, version, Chinese and English"
  else
    fail "$name/README.txt is not a Notepad-ready bilingual readme of $version"
  fi
  grep -q "GNU GENERAL PUBLIC LICENSE" "$unpacked/$name/LICENSE.txt" &&
    grep -q "GPL-3.0-or-later" "$unpacked/$name/LICENSE.txt" &&
    pass "$name/LICENSE.txt is the GPL" || fail "$name/LICENSE.txt is not the GPL"
done

# The x64 program from its zip, under Wine, to its main window.
if bash "$here/start-window.sh" "$unpacked/$x64/roamdeck.exe" "$work/wine" "$work/window.png"; then
  pass "$x64/roamdeck.exe opens its main window under Wine ($work/window.png)"
else
  fail "$x64/roamdeck.exe does not open its main window under Wine"
fi

# The tarball: sorted, root-owned entries; each tool runs and knows the version.
listing=$(tar -tvzf "$one/$tools.tar.gz")
owners=$(echo "$listing" | awk '{print $2}' | sort -u | tr '\n' ' ')
[ "$owners" = "0/0 " ] && pass "$tools.tar.gz: every entry owned by 0/0" ||
  fail "$tools.tar.gz: owners $owners"
names=$(tar -tzf "$one/$tools.tar.gz")
[ "$names" = "$(echo "$names" | LC_ALL=C sort)" ] && pass "$tools.tar.gz: entries sorted" ||
  fail "$tools.tar.gz: entries not sorted"
tar -xzf "$one/$tools.tar.gz" -C "$unpacked"
for tool in wimengine bootsect bcdboot bootice; do
  for file in "bin/$tool" "man/man1/$tool.1" "bash-completion/$tool"; do
    [ -f "$unpacked/$tools/$file" ] || fail "$tools.tar.gz has no $file"
  done
  answer=$("$unpacked/$tools/bin/$tool" --version 2>&1) || fail "$tool --version failed"
  [ "$answer" = "$tool (Roamdeck) $version" ] && pass "$tool --version: $answer" ||
    fail "$tool --version says \"$answer\""
  grep -q "^$tool \\\\- [a-z]" "$unpacked/$tools/man/man1/$tool.1" &&
    grep -q "^.TH .* \"Roamdeck $version\"" "$unpacked/$tools/man/man1/$tool.1" ||
    fail "man/man1/$tool.1 has no NAME line or no version"
  # Release build: no sanitizer runtime, no symbols.
  if objdump -p "$unpacked/$tools/bin/$tool" | grep -q 'NEEDED.*lib[at]san\|NEEDED.*libubsan'; then
    fail "$tool links a sanitizer runtime"
  fi
  file "$unpacked/$tools/bin/$tool" 2>/dev/null | grep -q "not stripped" && fail "$tool is not stripped"
done
for file in LICENSE README; do [ -f "$unpacked/$tools/$file" ] || fail "$tools.tar.gz has no $file"; done

# The Debian package.
field() { dpkg-deb -f "$one/$deb" "$1"; }
[ "$(field Package)" = roamdeck-tools ] && [ "$(field Version)" = "$version" ] &&
  [ "$(field Architecture)" = amd64 ] && pass "$deb: roamdeck-tools $version amd64" ||
  fail "$deb: control says $(field Package) $(field Version) $(field Architecture)"
depends=$(field Depends)
for needed in libc6 libstdc++6 libgcc-s1 fusefat; do
  [[ ", $depends," == *", $needed "* || ", $depends," == *", $needed,"* ]] ||
    fail "$deb does not depend on $needed: $depends"
done
# Every library the tools load comes from a package the control names.
for tool in wimengine bootsect bcdboot bootice; do
  for library in $(objdump -p "$unpacked/$tools/bin/$tool" | awk '/NEEDED/ {print $2}'); do
    path=$(ldconfig -p | awk -v l="$library" '$1 == l && /x86-64/ && !seen {print $NF; seen = 1}')
    owner=$(dpkg -S "$(realpath "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null || true)
    owner=${owner%%:*}
    [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] ||
      fail "$tool needs $library ($owner), which $deb does not depend on"
  done
done
pass "$deb depends on: $depends; recommends: $(field Recommends)"
files=$(dpkg-deb -c "$one/$deb" | awk '{print $2, $6}' | grep -v '/$' | sort)
want=$(for tool in bcdboot bootice bootsect wimengine; do
  echo "root/root ./usr/bin/$tool"
  echo "root/root ./usr/share/man/man1/$tool.1.gz"
  echo "root/root ./usr/share/bash-completion/completions/$tool"
done
echo "root/root ./usr/share/doc/roamdeck-tools/changelog.gz"
echo "root/root ./usr/share/doc/roamdeck-tools/copyright")
[ "$files" = "$(echo "$want" | sort)" ] && pass "$deb holds the four tools, their manual pages and bash completions, copyright, changelog" ||
  fail "$deb holds: $files"
dpkg-deb -x "$one/$deb" "$unpacked/deb"
answer=$("$unpacked/deb/usr/bin/bcdboot" --version)
[ "$answer" = "bcdboot (Roamdeck) $version" ] && pass "the packaged bcdboot runs" || fail "packaged bcdboot: $answer"
if command -v lintian >/dev/null; then
  if lintian --fail-on error,warning "$one/$deb"; then
    pass "lintian: no errors or warnings"
  else
    fail "lintian reports errors or warnings"
  fi
else
  echo "lintian is not installed: scripts/setup-debian.sh installs it"
  fail "lintian is missing"
fi

# A new VERSION reaches the programs through their builds alone: configure,
# header, resources. The second copy has been compared; give it another one.
copy=${copies[1]}
IFS=. read -r major minor patch build <<<"$version"
bumped=$major.$minor.$patch.$((build + 1))
echo "$bumped" >"$copy/VERSION"
cmake --build "$copy/build/release/native" -j"${JOBS:-$(nproc)}" --target bootsect >/dev/null
cmake --build "$copy/build/release/win64" -j"${JOBS:-$(nproc)}" --target roamdeck >/dev/null
answer=$("$copy/build/release/native/bin/bootsect" --version)
[ "$answer" = "bootsect (Roamdeck) $bumped" ] && pass "after VERSION $bumped, bootsect says $answer" ||
  fail "after VERSION $bumped, bootsect says \"$answer\""
python3 "$here/pe_check.py" "$copy/build/release/win64/bin/roamdeck.exe" 0x8664 "$bumped" \
  101,102,103,104 >/dev/null && pass "after VERSION $bumped, the rebuilt roamdeck.exe and its tools carry it" ||
  fail "after VERSION $bumped, the rebuilt roamdeck.exe does not carry it everywhere"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) of the release packages failed"
  exit 1
fi
echo "the release packages of $version are reproducible and complete"
