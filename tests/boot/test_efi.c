/* A stand-in for an EFI boot application, for UEFI boot tests in QEMU with
 * OVMF. Started as \EFI\BOOT\BOOTX64.EFI, it reports on the debug console
 * (port 0xE9, "PASS ..." / "FAIL ..." lines like the BIOS test BOOTMGR) and
 * ends QEMU through isa-debug-exit: 0x10 (status 33) when every check
 * passed, 0x11 (status 35) otherwise. It also names the boot entry that
 * started it ("started as Boot0001", from BootCurrent).
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
/* System table +0x58: the runtime services; their +0x48: GetVariable. */
enum { kRuntimeServices = 0x58, kGetVariable = 0x48 };

/* EFI_GET_VARIABLE (name, vendor GUID, attributes, data size, data): the
 * firmware's calling convention is the Microsoft one, as this compiler's. */
typedef uint64_t (*GetVariable)(const uint16_t*, const uint8_t*, uint32_t*, uint64_t*, void*);

/* 8BE4DF61-93CA-11D2-AA0D-00E098032B8C, in memory order. */
static const uint8_t kGlobalVariable[16] = {0x61, 0xDF, 0xE4, 0x8B, 0xCA, 0x93, 0xD2, 0x11,
                                            0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C};

static void outb(uint16_t port, uint8_t value) {
  __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

static void print(const char* text) {
  while (*text) outb(kDebugPort, (uint8_t)*text++);
}

static int failures;

static const uint8_t* pointerAt(const uint8_t* table, int offset) {
  const uint8_t* pointer;
  __builtin_memcpy(&pointer, table + offset, sizeof pointer);
  return pointer;
}

/* "started as Boot0003": the entry BootCurrent names, so that a test can
 * tell which boot entry started the program (the fallback path makes one
 * of the firmware's own). */
static void reportBootCurrent(const uint8_t* system_table) {
  static const uint16_t name[] = {'B', 'o', 'o', 't', 'C', 'u', 'r', 'r', 'e', 'n', 't', 0};
  static const char digits[] = "0123456789ABCDEF";
  const uint8_t* runtime = pointerAt(system_table, kRuntimeServices);
  if (!runtime) return;
  GetVariable get = (GetVariable)pointerAt(runtime, kGetVariable);
  uint16_t current = 0;
  uint64_t size = sizeof current;
  uint32_t attributes = 0;
  if (get(name, kGlobalVariable, &attributes, &size, &current) != 0 || size != 2) {
    print("no BootCurrent\n");
    return;
  }
  char text[] = "started as Boot0000\n";
  for (int i = 0; i < 4; ++i) text[15 + i] = digits[(current >> (12 - 4 * i)) & 0xF];
  print(text);
}

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
  if (signature == kSystemTableSignature) reportBootCurrent(system_table);
  print("test efi done\n");
  outb(kExitPort, failures ? kExitFail : kExitPass);
  for (;;) __asm__ volatile("hlt");
}
