// Partition tables: the MBR of disk sector 0 with its chain of extended boot
// records, and the GPT behind a protective MBR. Read from sectors through a
// callback, so the same code serves a disk, a disk image and the tests; every
// offset and count is checked before it is used.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "boot/disk/disk_ids.h"

namespace boot {

// MBR layout.
inline constexpr std::size_t kMbrCodeSize = 0x1B8;         // 440 bytes of boot code
inline constexpr std::size_t kMbrSignatureOffset = 0x1B8;  // u32 disk signature
inline constexpr std::size_t kMbrTableOffset = 0x1BE;      // four 16-byte entries
inline constexpr std::size_t kMbrEntrySize = 16;
inline constexpr std::uint8_t kActive = 0x80;

// The EFI system partition's type.
extern const Guid kEfiSystemPartitionType;

struct Partition {
  int slot = -1;         // MBR: 0 to 3 for a primary entry; -1 for a logical one or GPT
  int number = 0;        // as systems count them: MBR slot + 1 (logical from 5), GPT entry + 1
  bool logical = false;  // inside an extended partition: can never be active
  std::uint64_t startLba = 0;
  std::uint64_t sectors = 0;
  std::uint8_t status = 0;  // MBR +0 status: 0x80 active
  std::uint8_t type = 0;    // MBR +4 type
  Guid gptType{};           // GPT entry +0x00
  Guid gptUnique{};         // GPT entry +0x10
};

struct DiskLayout {
  PartitionStyle style = PartitionStyle::Mbr;
  std::uint32_t signature = 0;  // MBR +0x1B8
  Guid diskGuid{};              // GPT header +0x38
  std::vector<Partition> partitions;
};

// Reads `count` sectors from `lba` into `out`; false when they cannot be read.
using ReadSectors = std::function<bool(std::uint64_t lba, std::uint32_t count, le::Bytes& out)>;

// The disk's partitions. A disk with a protective MBR (type EE) is read as
// GPT, with both CRCs checked. `diskSectors` bounds every partition and
// table; 0 when the disk's size is not known.
bool readDiskLayout(const ReadSectors& read, std::uint32_t sectorSize, std::uint64_t diskSectors,
                    DiskLayout& layout, std::string& reason);

// A GPT disk's EFI system partition (the first, should it have several), or
// null; an MBR disk has none in this sense.
const Partition* efiSystemPartition(const DiskLayout& layout);

// The partition that starts at `startLba`, or null.
const Partition* partitionStartingAt(const DiskLayout& layout, std::uint64_t startLba);

// Marks the primary entry `slot` (0 to 3) of an MBR sector active and the
// other three inactive; no other byte changes. False, with the sector
// unchanged, when the sector is no MBR or the slot holds no partition.
bool activateMbrEntry(le::Bytes& sector0, int slot, std::string& reason);

// True when the 440 bytes of boot code are all zero: the disk was
// partitioned without boot code and cannot start anything.
bool mbrCodeAreaEmpty(const le::Bytes& sector0);

std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

}  // namespace boot
