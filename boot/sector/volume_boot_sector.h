// The boot sector of a volume (its BPB) for the three file systems whose
// boot code the boot tools write: NTFS, FAT32 and FAT16. Every field is
// checked before anything is built on it: a sector that is not one of these,
// or whose numbers do not fit together, is refused with a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bytes/little_endian.h"

namespace boot {

enum class FileSystemKind { Ntfs, Fat32, Fat16 };

// "NTFS", "FAT32" or "FAT16".
const char* fileSystemName(FileSystemKind kind);

struct VolumeBootSector {
  FileSystemKind kind = FileSystemKind::Ntfs;
  std::uint32_t bytesPerSector = 0;     // +0x0B u16: FAT 512 or 4096, NTFS 256 to 4096
  std::uint32_t sectorsPerCluster = 0;  // +0x0D u8 (NTFS: a value over 128 is 2^(256 - v))
  std::uint32_t reservedSectors = 0;    // FAT +0x0E u16; NTFS: the 16 sectors of $Boot
  std::uint32_t fatCount = 0;           // FAT +0x10 u8
  std::uint32_t rootEntries = 0;        // FAT16 +0x11 u16: the fixed root folder
  std::uint32_t sectorsPerFat = 0;      // FAT16 +0x16 u16, FAT32 +0x24 u32
  std::uint32_t hiddenSectors = 0;      // +0x1C u32: the partition's start on its disk
  std::uint64_t totalSectors = 0;       // FAT +0x13 u16 or +0x20 u32; NTFS +0x28 u64
  std::uint32_t rootCluster = 0;        // FAT32 +0x2C u32
  std::uint32_t fsInfoSector = 0;       // FAT32 +0x30 u16
  std::uint32_t backupBootSector = 0;   // FAT32 +0x32 u16; 0 or 0xFFFF when there is none
  std::uint64_t mftCluster = 0;         // NTFS +0x30 u64
  std::uint32_t mftRecordBytes = 0;     // NTFS +0x40 s8: clusters, or 2^-v bytes when negative
  std::uint32_t indexBlockBytes = 0;    // NTFS +0x44 s8, the same encoding
  std::uint64_t clusterCount = 0;       // of the data area
  std::size_t driveByteOffset = 0;      // NTFS and FAT16 0x24, FAT32 0x40
  std::size_t codeOffset = 0;           // where the boot code starts: 0x54, 0x5A or 0x3E

  std::uint32_t clusterBytes() const { return bytesPerSector * sectorsPerCluster; }
};

inline constexpr std::size_t kHiddenSectorsOffset = 0x1C;
inline constexpr std::size_t kBootSignatureOffset = 0x1FE;  // 55 AA

// Reads the first sector of a volume (at least 512 bytes). False with a
// one-line reason for anything that is not a consistent NTFS, FAT32 or FAT16
// boot sector, exFAT and FAT12 included.
bool parseVolumeBootSector(const le::Bytes& sector, VolumeBootSector& volume, std::string& reason);

// Whether the volume fits inside a partition of `partitionBytes`: an NTFS
// volume keeps its backup boot sector in the sector after its last one.
bool volumeFitsPartition(const VolumeBootSector& volume, std::uint64_t partitionBytes,
                         std::string& reason);

}  // namespace boot
