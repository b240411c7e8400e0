// Where a volume's boot code goes. Only the code areas change: every byte of
// the BPB stays (but HiddenSectors, when the partition's real start is known
// and the field disagrees), 55 AA stays, and the backup boot sector is kept
// equal to the new first sector.
//   NTFS:  sector 0's code (0x00-0x02, 0x54-0x1FD) and the rest of the first
//          8 KiB ($Boot); backup in the sector after the volume's last.
//   FAT32: sector 0's code (0x00-0x02, 0x5A-0x1FD) and the extra code
//          sectors, placed in free reserved sectors (never FSInfo or the
//          backup sectors); backup at the BPB's backup sector.
//   FAT16: sector 0's code (0x00-0x02, 0x3E-0x1FD).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "boot/sector/volume_boot_sector.h"

namespace boot {

// Boot code as assembled: an image of the sectors it occupies, with zeros
// where the BPB goes.
struct VolumeBootCode {
  le::Bytes image;  // NTFS 8192 bytes; FAT32 512 × (1 + extra sectors); FAT16 512
  // FAT32: the u16 in sector 0 that tells the code where its extra sectors
  // start (in sectors from the volume's start).
  std::size_t extraSectorField = 0;
};

struct SectorWrite {
  std::uint64_t sector = 0;  // from the volume's start, in its own sector size
  le::Bytes bytes;           // whole sectors
};

struct Placement {
  std::vector<SectorWrite> writes;  // in the order they are to be made
  bool hiddenSectorsChanged = false;
  std::uint32_t oldHiddenSectors = 0;
  std::uint32_t newHiddenSectors = 0;
};

// How many bytes from the volume's start placeBootCode needs to see.
std::uint64_t bootAreaBytes(const VolumeBootSector& volume);

// Works out the writes. `head` holds the first bootAreaBytes() of the
// volume; `partitionStart`, when known, is the partition's first sector on
// its disk, counted in the volume's sector size. False, with a reason and no
// writes, when the code does not fit or has the wrong size.
bool placeBootCode(const VolumeBootSector& volume, const le::Bytes& head,
                   const VolumeBootCode& code, std::optional<std::uint64_t> partitionStart,
                   Placement& placement, std::string& reason);

}  // namespace boot
