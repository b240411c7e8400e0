// bcdboot's entry in the firmware's boot menu: "Windows Boot Manager" for
// \EFI\Microsoft\Boot\bootmgfw.efi on the EFI system partition, first in
// BootOrder. The same steps serve the running machine's variables (through
// Windows' firmware calls or Linux's efivarfs, firmware_variables_*.cpp) and
// a VM's variable store file; this file needs no platform API.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "boot/disk/partition_table.h"
#include "boot/firmware/load_option.h"
#include "bytes/little_endian.h"

namespace tools {

// One system's variables under the global GUID, with attributes 7.
struct FirmwareVariables {
  // The variable's data; `exists` false (and true returned) when there is
  // no such variable; false when it cannot be read.
  std::function<bool(const std::string& name, bool& exists, le::Bytes& data, std::string& reason)>
      read;
  std::function<bool(const std::string& name, const le::Bytes& data, std::string& reason)> write;
  // The numbers of the Boot#### variables there are. Empty where the system
  // cannot list its variables (Windows): then the numbers in BootOrder and
  // those from 0000 up to the first free one are looked at.
  std::function<bool(std::vector<std::uint16_t>& numbers, std::string& reason)> listBootOptions;
};

inline constexpr char kBootManagerDescription[] = "Windows Boot Manager";
inline constexpr char kBootManagerPath[] = "\\EFI\\Microsoft\\Boot\\bootmgfw.efi";

// The hard drive node of `partition` of `layout` (the disk as the system
// lists it). On GPT its number is the partition's entry in the table plus
// one, as UEFI counts, not the system's own count (Windows numbers only the
// entries in use): taken from `entries`, the table read from the disk's own
// sectors, matched by the partition's GUID; the system's number where that
// table does not have it.
boot::HardDriveNode partitionNode(const boot::DiskLayout& layout, const boot::DiskLayout& entries,
                                  const boot::Partition& partition);

// The entry bcdboot makes for the boot manager on `partition`.
boot::LoadOption bootManagerOption(const boot::HardDriveNode& partition);

struct BootEntryResult {
  std::uint16_t number = 0;
  bool reused = false;
  bool changed = false;  // something was written
};

// Puts `wanted` in its Boot#### variable and first in BootOrder, writing only
// what differs. The entry is written before BootOrder names it. False, with
// the reason, when a variable cannot be read or written.
bool writeBootEntry(const FirmwareVariables& variables, const boot::LoadOption& wanted,
                    BootEntryResult& result, std::string& reason);

// The same into a VM's variable store file (OVMF_VARS.fd): `file` is changed
// in memory only, and only when every step succeeds.
bool writeBootEntryToStore(le::Bytes& file, const boot::LoadOption& wanted, BootEntryResult& result,
                           std::string& reason);

// Windows 7 has no GetFirmwareType: a dummy variable read tells, by its
// error, a BIOS machine (ERROR_INVALID_FUNCTION) from a UEFI one. Without
// SeSystemEnvironmentPrivilege both fail with ERROR_PRIVILEGE_NOT_HELD, so
// `enablePrivilege` runs first; `probe` reads and returns the error. Where
// the privilege stays missing, the machine is taken for UEFI, and the entry
// that cannot be written then says why.
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
bool probeSaysUefi(const std::function<bool()>& enablePrivilege,
                   const std::function<std::uint32_t()>& probe);

// The running machine's variables, and whether it started through UEFI at
// all (firmware_variables_win32.cpp, firmware_variables_linux.cpp).
bool startedThroughUefi();
bool runningFirmwareVariables(FirmwareVariables& variables, std::string& reason);
// Whether the running machine's firmware can start from the disk at all: not
// so for a disk image file or a loop device over one (Linux), whose
// partitions the firmware never sees.
bool firmwareCanSeeDisk(const std::string& diskPath, std::string& why);

#ifndef _WIN32
// Linux: the variables of an efivarfs mounted at `root`
// (/sys/firmware/efi/efivars), one file NAME-GUID per variable holding a u32
// of attributes and the data.
FirmwareVariables efivarfsVariables(const std::string& root);
#endif

}  // namespace tools
