// The project's own boot code, assembled from the nasm sources beside this
// file: the MBR code area and the volume boot code of NTFS, FAT32 and FAT16.
//
// Where a placer writes each image (every other byte stays the volume's):
//   mbrCode()       disk sector 0, bytes 0x000-0x1B7 (signature, table, 55 AA
//                   stay).
//   ntfsBootCode()  the volume's bytes 0-8191 (sectors 0-15 at 512 B) except
//                   0x03-0x53, the BPB.
//   fat32BootCode() its first 512 bytes over volume sector 0 except 0x03-0x59;
//                   the next kFat32ExtraSectors * 512 bytes into free reserved
//                   sectors N.. of the placer's choice (never 1, never the
//                   backup 6-8), and N as a u16 at kFat32ExtraSectorField of
//                   sector 0.
//   fat16BootCode() volume sector 0 except 0x03-0x3D.
// Every volume also needs HiddenSectors (u32 at 0x1C) = the partition's
// absolute start; the code reads the disk relative to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace boot {

struct CodeImage {
  const std::uint8_t* bytes;
  std::size_t size;
};

CodeImage mbrCode();        // 440 bytes
CodeImage ntfsBootCode();   // 8192 bytes
CodeImage fat32BootCode();  // 512 * (1 + kFat32ExtraSectors) bytes
CodeImage fat16BootCode();  // 512 bytes

// +0x5A u16 in FAT32 sector 0: the volume-relative sector of the extra code
// (0 in the image: the code refuses to start until the placer sets it).
inline constexpr std::size_t kFat32ExtraSectorField = 0x5A;
inline constexpr std::size_t kFat32ExtraSectors = 1;

// What the NTFS boot code reads, as log2 of bytes: the table at
// kNtfsLimitsOffset of its sector 0, which the code itself checks a volume
// against before it reads anything.
//   +0 u8 smallest sector   +1 u8 largest sector   +2 u8 largest cluster
//   +3 u8 largest MFT record   +4 u8 largest index block
// Records and index blocks also take at least one sector.
inline constexpr std::size_t kNtfsLimitsOffset = 0x1F9;
struct NtfsLimits {
  unsigned minSectorShift, maxSectorShift, maxClusterShift, maxRecordShift, maxIndexShift;
};
NtfsLimits ntfsLimits();

// Sizes in bytes of an NTFS volume (powers of two): empty when the NTFS boot
// code reads such a volume, else the reason why it does not.
std::string ntfsGeometryRefusal(std::uint32_t sectorBytes, std::uint32_t clusterBytes,
                                std::uint32_t recordBytes, std::uint32_t indexBlockBytes);

}  // namespace boot
