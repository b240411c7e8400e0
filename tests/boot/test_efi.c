/* A stand-in for an EFI boot application, for UEFI boot tests in QEMU with
 * OVMF. Started as \EFI\BOOT\BOOTX64.EFI, it reports on the debug console
 * (port 0xE9, "PASS ..." / "FAIL ..." lines like the BIOS test BOOTMGR) and
 * ends QEMU through isa-debug-exit: 0x10 (status 33) when every check
 * passed, 0x11 (status 35) otherwise.
 *
 * x86_64-w64-mingw32-gcc -ffreestanding -fshort-wchar -mno-red-zone -nostdlib
 *   -Wl,--subsystem,10 -e efi_main -o BOOTX64.EFI test_efi.c
 */
#include <stdint.h>

enum {
  kDebugPort = 0xE9,
  kExitPort = 0xF4,
  kExitPass = 0x10,
  kExitFail = 0x11,
};

/* +0x00 u64 signature of the EFI system table, "IBI SYST" */
static const uint64_t kSystemTableSignature = 0x5453595320494249ull;
/* +0x08 u32 revision, +0x0C u32 header size */
enum { kHeaderRevision = 0x08 };

static void outb(uint16_t port, uint8_t value) {
  __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

static void print(const char* text) {
  while (*text) outb(kDebugPort, (uint8_t)*text++);
}

static int failures;

static void report(int passed, const char* check) {
  print(passed ? "PASS " : "FAIL ");
  print(check);
  print("\n");
  if (!passed) ++failures;
}

/* Entered by the firmware with the image handle and the system table. */
uint64_t efi_main(void* image_handle, const uint8_t* system_table) {
  report(image_handle != 0, "image handle given");
  uint64_t signature = 0;
  uint32_t revision = 0;
  if (system_table) {
    for (int i = 7; i >= 0; --i) signature = signature << 8 | system_table[i];
    for (int i = 3; i >= 0; --i) revision = revision << 8 | system_table[kHeaderRevision + i];
  }
  report(signature == kSystemTableSignature, "EFI system table");
  report(revision >= (2u << 16), "UEFI 2.x firmware");
  print("test efi done\n");
  outb(kExitPort, failures ? kExitFail : kExitPass);
  for (;;) __asm__ volatile("hlt");
}
