// The start chain of a disk, judged link by link from what was read off it.
// BIOS (an MBR disk): the MBR's code and 55 AA, the one active partition,
// its boot sector, bootmgr, \Boot\BCD and the Windows its default loader
// names. UEFI (a GPT disk's EFI system partition, or a FAT system partition
// of an MBR disk that carries the UEFI files): the boot manager, its store,
// the fallback file or the firmware's first entry, and the Windows. Nothing
// here touches a disk: the caller hands in bytes and a look at files, so
// that the check can never write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "boot/disk/partition_table.h"
#include "boot/firmware/load_option.h"
#include "boot/store/bcd_store.h"
#include "bytes/little_endian.h"

namespace tools {

// A file of a partition reached for the check.
struct FileLook {
  bool exists = false;
  bool plain = true;  // false: stored compressed, sparse or encrypted
};

// The files of one partition. Paths run from its root with backslashes
// ("\\Boot\\BCD") and match without regard to case, as the boot code's do.
struct PartitionFiles {
  std::function<FileLook(const std::string& path)> look;
  // At most `limit` bytes from the file's start; false when it cannot be read.
  std::function<bool(const std::string& path, std::uint64_t limit, le::Bytes& bytes)> read;
};

// A partition that a store names, looked for on the machine's other disks.
struct PartitionFound {
  bool found = false;
  std::string name;  // "partition 2 of /dev/sdb"
  bool reached = false;
  std::string whyNotReached;
  PartitionFiles files;
};

struct ChainInput {
  std::string diskName;    // the disk, as messages name it
  std::string deviceName;  // /DEVICE= as given, for what to run next
  std::uint32_t sectorSize = 512;
  boot::DiskLayout layout;
  le::Bytes sector0;                       // the disk's first sector
  const boot::Partition* named = nullptr;  // the partition of /DEVICE, in `layout`
  // `count` bytes from byte `offset` of a partition of this disk, both whole
  // disk sectors.
  std::function<bool(const boot::Partition& partition, std::uint64_t offset, std::uint64_t count,
                     le::Bytes& out, std::string& why)>
      readPartition;
  // The files of a partition of this disk; false with the reason.
  std::function<bool(const boot::Partition& partition, PartitionFiles& files, std::string& why)>
      reach;
  // A partition not on this disk.
  std::function<PartitionFound(const boot::PartitionDevice& device)> elsewhere;
  // The firmware's first boot entry, where the machine started through UEFI
  // and its firmware sees this disk; null otherwise, `noFirmwareEntry` then
  // saying why.
  std::function<bool(boot::LoadOption& first, std::string& why)> firstBootEntry;
  std::string noFirmwareEntry;
  std::string arrow = " -> ";  // between the links of a chain line
};

struct ChainVerdict {
  std::string firmware;  // "BIOS" or "UEFI"
  bool ok = false;
  std::string chain;   // the links that hold, "MBR -> partition 1 (active, FAT32) -> ..."
  std::string reason;  // !ok: the broken link and what to do about it
  std::vector<std::string> warnings;
};

// One verdict for each firmware the disk is set up for: BIOS for an MBR
// disk, UEFI for a GPT disk and for an MBR disk whose system partition
// carries \EFI\Microsoft\Boot.
std::vector<ChainVerdict> judgeStartChain(const ChainInput& input);

// How a registry hive file starts: "regf", and the header's XOR checksum of
// its first 508 bytes at +0x1FC.
bool looksLikeHive(const le::Bytes& head);

// The fallback file UEFI firmware of a boot manager's machine type starts:
// "bootx64.efi", "bootia32.efi" or "bootaa64.efi"; empty for another type.
std::string fallbackFileName(std::uint16_t machine);

}  // namespace tools
