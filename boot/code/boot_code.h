// The boot code the boot tools write, assembled from the .asm files beside
// this one. Each image covers the sectors its code occupies, with zeros
// where the volume's BPB (or the MBR's signature and table) goes: the
// placement keeps those bytes of the disk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace boot {

struct CodeImage {
  const std::uint8_t* bytes;
  std::size_t size;
};

CodeImage mbrCode();        // 440 bytes: disk sector 0, 0x000-0x1B7
CodeImage ntfsBootCode();   // 8192 bytes: the volume's first 8 KiB ($Boot)
CodeImage fat32BootCode();  // 1024 bytes: sector 0, then one extra sector
CodeImage fat16BootCode();  // 512 bytes: sector 0

// FAT32: the u16 in sector 0 that the placement fills with the extra
// sector's number (from the volume's start), and how many extra sectors
// there are.
inline constexpr std::size_t kFat32ExtraSectorField = 0x5A;
inline constexpr std::size_t kFat32ExtraSectors = 1;

}  // namespace boot
