#!/bin/bash
# package.sh [--build DIR] [--dist DIR]
# Builds the release packages of the commit in this folder into dist/ (or DIR):
#   roamdeck-<version>-windows-x86.zip       the 32-bit program, as shipped
#   roamdeck-<version>-windows-x64.zip       the 64-bit program (64-bit WinPE and Windows)
#   roamdeck-tools-<version>-linux-x86_64.tar.gz and
#   roamdeck-tools_<version>_amd64.deb       the native tools
#   SHA256SUMS
# The builds (build/release/ or DIR) are release builds of their own, without
# the tests. Two runs on the same commit give the same bytes, wherever the
# folders are and whenever they run: times come from SOURCE_DATE_EPOCH (the
# commit's time unless set), paths are mapped away, archives are sorted.
set -euo pipefail
source=$(cd "$(dirname "$(realpath "$0")")/.." && pwd)
build=$source/build/release
dist=$source/dist
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(realpath -m "$2"); shift 2 ;;
    --dist) dist=$(realpath -m "$2"); shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--dist DIR]" >&2; exit 2 ;;
  esac
done

version=$(head -n 1 "$source/VERSION")
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct 2>/dev/null); then
    echo "not a git checkout: set SOURCE_DATE_EPOCH to the time of the sources" >&2
    exit 2
  fi
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022
jobs=${JOBS:-$(nproc)}

configure() {  # configure FOLDER [CMAKE ARGUMENTS...]
  local folder=$1
  shift
  cmake -S "$source" -B "$folder" -DCMAKE_BUILD_TYPE=Release -DROAMDECK_TESTS=OFF \
    -DROAMDECK_REPRODUCIBLE=ON "$@" >/dev/null
}
configure "$build/win32" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-i686.cmake"
cmake --build "$build/win32" -j"$jobs" --target roamdeck
configure "$build/win64" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build/win64" -j"$jobs" --target roamdeck
configure "$build/native"
native_tools=(wimengine bootsect bcdboot bootice)
cmake --build "$build/native" -j"$jobs" --target "${native_tools[@]}"

stage=$build/stage
rm -rf "$stage"
mkdir -p "$stage" "$dist"
rm -f "$dist"/roamdeck-* "$dist/SHA256SUMS"

# Every file of a tree dated at the commit, so that no archive sees a build time.
settle() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

# Windows reads these in Notepad: CR LF, and UTF-8 with a byte order mark so
# that older Notepads (Windows 7, WinPE) take the Chinese text as UTF-8.
windows_text() { printf '\xEF\xBB\xBF'; sed 's/$/\r/' "$1"; }

for pair in x86:win32 x64:win64; do
  arch=${pair%%:*}
  name=roamdeck-$version-windows-$arch
  folder=$stage/$name
  mkdir -p "$folder"
  install -m 644 "$build/${pair#*:}/bin/roamdeck.exe" "$folder/roamdeck.exe"
  sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" "$source/packaging/windows/README.txt" \
    >"$stage/readme-$arch.txt"
  windows_text "$stage/readme-$arch.txt" >"$folder/README.txt"
  sed 's/$/\r/' "$source/LICENSE" >"$folder/LICENSE.txt"
  settle "$folder"
  python3 "$source/packaging/zip_tree.py" "$dist/$name.zip" "$folder"
done

# The native tools: a tarball to unpack anywhere, and a Debian package.
mkdir -p "$stage/man"
for tool in "${native_tools[@]}"; do
  sed "s/@VERSION@/$version/g" "$source/packaging/linux/$tool.1" >"$stage/man/$tool.1"
done
name=roamdeck-tools-$version-linux-x86_64
folder=$stage/$name
mkdir -p "$folder/bin" "$folder/man/man1" "$folder/bash-completion"
for tool in "${native_tools[@]}"; do
  install -m 755 "$build/native/bin/$tool" "$folder/bin/$tool"
  install -m 644 "$stage/man/$tool.1" "$folder/man/man1/$tool.1"
  install -m 644 "$source/packaging/linux/completion/$tool" "$folder/bash-completion/$tool"
done
install -m 644 "$source/LICENSE" "$folder/LICENSE"
sed "s/@VERSION@/$version/g" "$source/packaging/linux/README" >"$folder/README"
settle "$folder"
tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  --format=gnu -C "$stage" -cf - "$name" | gzip -9n >"$dist/$name.tar.gz"

package=roamdeck-tools
root=$stage/deb
completions=$root/usr/share/bash-completion/completions
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$root/usr/share/doc/$package" \
  "$completions"
for tool in "${native_tools[@]}"; do
  install -m 755 "$build/native/bin/$tool" "$root/usr/bin/$tool"
  gzip -9n <"$stage/man/$tool.1" >"$root/usr/share/man/man1/$tool.1.gz"
  # bash-completion loads these by the command's name.
  install -m 644 "$source/packaging/linux/completion/$tool" "$completions/$tool"
done
sed -e "s/@VERSION@/$version/g" -e "s/@YEAR@/$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y)/g" \
  "$source/packaging/debian/copyright" \
  >"$root/usr/share/doc/$package/copyright"
date=$(date -u -R -d "@$SOURCE_DATE_EPOCH")
sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$date/g" "$source/packaging/debian/changelog" |
  gzip -9n >"$root/usr/share/doc/$package/changelog.gz"
# The libraries the tools link, as Debian's own packaging tools declare them.
mkdir -p "$stage/shlibs/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: amd64\n' "$package" "$package" \
  >"$stage/shlibs/debian/control"
shlibs=$(cd "$stage/shlibs" && dpkg-shlibdeps -O "${native_tools[@]/#/$root/usr/bin/}" 2>/dev/null)
shlibs=${shlibs#shlibs:Depends=}
size=$(du -s --apparent-size -k "$root/usr" | cut -f1)
sed -e "s/@VERSION@/$version/g" -e "s/@SHLIBS@/$shlibs/g" -e "s/@SIZE@/$size/g" \
  "$source/packaging/debian/control" >"$root/DEBIAN/control"
find "$root" -type d -exec chmod 755 {} +
find "$root" -type f ! -path "$root/usr/bin/*" -exec chmod 644 {} +
settle "$root"
dpkg-deb --root-owner-group -Zxz --build "$root" "$dist/${package}_${version}_amd64.deb" >/dev/null

(cd "$dist" && sha256sum roamdeck-* >SHA256SUMS)
echo "packages of $version (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH) in $dist:"
(cd "$dist" && ls -l roamdeck-* SHA256SUMS)
