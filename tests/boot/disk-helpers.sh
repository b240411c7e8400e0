# Sourced by the boot tests that work on disk images as root: every loop
# device and mount made through these is undone at exit, however the test
# ends.
loops=() mounts=()
undo_disks() {
  local m l
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
}
trap undo_disks EXIT
fail() { echo "FAIL: $*"; exit 1; }
# attach IMAGE START SECTORS: an offset loop device over one partition, named
# in $loop (not printed: a subshell would lose the record of it).
attach() {
  loop=$(losetup -f --show -o $(($2 * 512)) --sizelimit $(($3 * 512)) "$1")
  loops+=("$loop")
}

# make_test_windows FOLDER KERNEL TESTS: a test Windows in FOLDER: a boot
# manager for each firmware (the test ones of TESTS, this folder), KERNEL as
# ntoskrnl.exe (a version resource of 10.0, build 22621: "Windows 11"), fonts,
# and one locale besides en-US, so that its boot menu is Chinese; and what
# every applied Windows holds for the start chain check: both loaders and
# System32\config\SYSTEM, a registry hive written by the project's own hive
# writer (compiled here, beside FOLDER) and read back with hivex.
make_test_windows() {
  local repo hive_writer
  repo=$(realpath "$3/../..") hive_writer="$(dirname "$1")/make-system-hive"
  [ -x "$hive_writer" ] || g++ -std=c++17 -O1 -I"$repo" -o "$hive_writer" \
    "$3/make_system_hive.cpp" "$repo/boot/store/hive.cpp" || fail "cannot build the hive writer"
  mkdir -p "$1/Windows/System32/config" "$1/Windows/Boot/PCAT/en-US" \
    "$1/Windows/Boot/PCAT/zh-CN" "$1/Windows/Boot/Fonts" "$1/Windows/Boot/EFI/zh-CN"
  bash "$3/make-test-bootmgr.sh" "$1/Windows/Boot/PCAT/bootmgr"
  x86_64-w64-mingw32-gcc -O2 -ffreestanding -fshort-wchar -mno-red-zone -nostdlib \
    -Wl,--subsystem,10 -e efi_main -o "$1/Windows/Boot/EFI/bootmgfw.efi" "$3/test_efi.c"
  cp "$2" "$1/Windows/System32/ntoskrnl.exe"
  echo "BIOS loader" >"$1/Windows/System32/winload.exe"
  echo "UEFI loader" >"$1/Windows/System32/winload.efi"
  "$hive_writer" "$1/Windows/System32/config/SYSTEM" || fail "cannot write the SYSTEM hive"
  [ "$(hivexget "$1/Windows/System32/config/SYSTEM" '\Select' Current)" = 1 ] ||
    fail "hivex does not read the SYSTEM hive as written"
  echo "memory test" >"$1/Windows/Boot/PCAT/memtest.exe"
  echo "next" >"$1/Windows/Boot/PCAT/bootnxt"
  for locale in en-US zh-CN; do echo "$locale" >"$1/Windows/Boot/PCAT/$locale/bootmgr.exe.mui"; done
  echo "zh-CN" >"$1/Windows/Boot/EFI/zh-CN/bootmgfw.efi.mui"
  echo "font" >"$1/Windows/Boot/Fonts/chs_boot.ttf"
}

# bios_boot IMAGE LOG / uefi_boot IMAGE LOG [SECTOR-SIZE]: boots a disk image in
# QEMU with SeaBIOS or OVMF, the debug console into LOG; the status is QEMU's
# (33 when the test boot manager or EFI program passed every check).
bios_boot() {
  local status
  set +e
  timeout 120 qemu-system-i386 -drive file="$1",format=raw -display none -nic none -no-reboot \
    -debugcon file:"$2" -device isa-debug-exit,iobase=0xf4,iosize=0x04
  status=$?
  set -e
  return $status
}
uefi_boot() {
  local status vars drive
  vars=$(mktemp) && cp /usr/share/OVMF/OVMF_VARS_4M.fd "$vars"
  drive=(-drive file="$1",format=raw)
  [ "${3:-512}" = 512 ] || drive=(-drive if=none,id=d0,file="$1",format=raw
    -device virtio-blk-pci,drive=d0,logical_block_size="$3",physical_block_size="$3")
  set +e
  timeout 120 qemu-system-x86_64 -machine q35 \
    -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
    -drive if=pflash,format=raw,unit=1,file="$vars" "${drive[@]}" \
    -display none -nic none -no-reboot -debugcon file:"$2" -device isa-debug-exit,iobase=0xf4,iosize=0x04
  status=$?
  set -e
  rm -f "$vars"
  return $status
}
