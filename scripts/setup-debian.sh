#!/bin/bash
# Installs what building and testing need on Debian (as root), and the
# Chinese locale that gives Wine the ANSI code page 936. Safe to run again.
set -euo pipefail

packages=(
  cmake make g++ googletest libbenchmark-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  wine64 xvfb x11-apps x11-utils imagemagick xdotool locales fonts-wqy-microhei
  python3 wimtools libwim-dev
  qemu-system-x86 ovmf nasm ntfs-3g ntfs-3g-dev fusefat dosfstools mtools fdisk gdisk libhivex-bin libwin-hivex-perl
  e2fsprogs exfatprogs fiu-utils strace
  dpkg-dev lintian file
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi

if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen
fi
