/* A test UEFI boot manager: what bcdboot copies as \EFI\Boot\bootx64.efi in
 * the boot tests. Started by the firmware, it says so on QEMU's debug console
 * (port 0xE9) and ends QEMU through isa-debug-exit (port 0xF4): 0x10 gives
 * QEMU's exit status 33. It needs nothing of the firmware's services. */
typedef unsigned long long UINT64;
typedef void* EFI_HANDLE;

static void outByte(unsigned short port, unsigned char value) {
  __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

static void say(const char* text) {
  while (*text) outByte(0xE9, (unsigned char)*text++);
}

UINT64 efi_main(EFI_HANDLE image, void* systemTable) {
  (void)image;
  say(systemTable ? "PASS test EFI boot manager started by the firmware\n"
                  : "FAIL no system table\n");
  outByte(0xF4, systemTable ? 0x10 : 0x11);
  for (;;) __asm__ volatile("hlt");
  return 0;
}
