#include "boot/sector/boot_code_placement.h"

#include <algorithm>

namespace boot {

namespace {

constexpr std::size_t kSector0CodeEnd = 0x1FE;  // 55 AA follows
constexpr std::size_t kJumpBytes = 3;           // the jump over the BPB
constexpr std::uint64_t kNtfsBootArea = 8192;   // $Boot: the first 16 sectors of 512 bytes

bool fail(std::string& reason, const std::string& why) {
  reason = why;
  return false;
}

// Sector 0 with the code's jump and code put in, the BPB between kept.
void putSector0Code(le::Bytes& sector0, const le::Bytes& image, std::size_t codeOffset) {
  std::copy(image.begin(), image.begin() + kJumpBytes, sector0.begin());
  std::copy(image.begin() + static_cast<std::ptrdiff_t>(codeOffset),
            image.begin() + kSector0CodeEnd,
            sector0.begin() + static_cast<std::ptrdiff_t>(codeOffset));
}

le::Bytes slice(const le::Bytes& bytes, std::uint64_t from, std::uint64_t count) {
  return le::Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                   bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

bool allZero(const le::Bytes& bytes, std::uint64_t from, std::uint64_t count) {
  return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                     bytes.begin() + static_cast<std::ptrdiff_t>(from + count),
                     [](std::uint8_t b) { return b == 0; });
}

bool isBackupOrInfo(const VolumeBootSector& volume, std::uint64_t sector) {
  if (sector == volume.fsInfoSector) return true;
  const std::uint32_t backup = volume.backupBootSector;
  // The backup keeps three sectors: boot sector, FSInfo and one more.
  return backup != 0 && backup != 0xFFFF && sector >= backup && sector < backup + 3u;
}

// The first run of `count` reserved sectors that nothing else uses: all
// zeros, or already holding exactly this code from an earlier run.
bool findExtraSectors(const VolumeBootSector& volume, const le::Bytes& head, const le::Bytes& extra,
                      std::uint32_t count, std::uint64_t& first) {
  const std::uint32_t size = volume.bytesPerSector;
  for (std::uint64_t start = 2; start + count <= volume.reservedSectors; ++start) {
    bool free = true;
    for (std::uint64_t s = start; s < start + count && free; ++s) {
      const std::uint64_t at = s * size;
      const le::Bytes ours = slice(extra, (s - start) * size, size);
      free =
          !isBackupOrInfo(volume, s) && (allZero(head, at, size) || slice(head, at, size) == ours);
    }
    if (free) {
      first = start;
      return true;
    }
  }
  return false;
}

}  // namespace

std::uint64_t bootAreaBytes(const VolumeBootSector& volume) {
  switch (volume.kind) {
    case FileSystemKind::Ntfs:
      return std::max<std::uint64_t>(kNtfsBootArea, volume.bytesPerSector);
    case FileSystemKind::Fat32:
      return std::uint64_t{volume.reservedSectors} * volume.bytesPerSector;
    case FileSystemKind::Fat16:
      return volume.bytesPerSector;
  }
  return volume.bytesPerSector;
}

bool placeBootCode(const VolumeBootSector& volume, const le::Bytes& head,
                   const VolumeBootCode& code, std::optional<std::uint64_t> partitionStart,
                   Placement& placement, std::string& reason) {
  placement = Placement{};
  const std::uint32_t size = volume.bytesPerSector;
  const std::uint64_t area = bootAreaBytes(volume);
  if (head.size() < area) return fail(reason, "the volume's boot sectors could not be read whole");
  le::Bytes sector0 = slice(head, 0, size);

  if (partitionStart && *partitionStart != volume.hiddenSectors) {
    if (*partitionStart > 0xFFFFFFFFu)
      return fail(reason, "the partition starts at sector " + std::to_string(*partitionStart) +
                              ", beyond what the boot sector's HiddenSectors can hold");
    placement.hiddenSectorsChanged = true;
    placement.oldHiddenSectors = volume.hiddenSectors;
    placement.newHiddenSectors = static_cast<std::uint32_t>(*partitionStart);
    le::put(sector0, kHiddenSectorsOffset, 4, *partitionStart);
  }

  const le::Bytes& image = code.image;
  switch (volume.kind) {
    case FileSystemKind::Ntfs: {
      if (image.size() != kNtfsBootArea)
        return fail(reason, "the NTFS boot code has the wrong size");
      le::Bytes boot = slice(head, 0, area);
      std::copy(sector0.begin(), sector0.end(), boot.begin());
      putSector0Code(boot, image, volume.codeOffset);
      // The rest of $Boot, whatever the sector size.
      std::copy(image.begin() + 512, image.end(), boot.begin() + 512);
      placement.writes.push_back(SectorWrite{0, boot});
      placement.writes.push_back(SectorWrite{volume.totalSectors, slice(boot, 0, size)});
      return true;
    }
    case FileSystemKind::Fat32: {
      if (image.size() < 2 * 512 || image.size() % 512 != 0 ||
          code.extraSectorField < volume.codeOffset || code.extraSectorField + 2 > kSector0CodeEnd)
        return fail(reason, "the FAT32 boot code has the wrong form");
      putSector0Code(sector0, image, volume.codeOffset);
      // The extra code in sectors of the volume's own size.
      const le::Bytes extraCode = slice(image, 512, image.size() - 512);
      const std::uint32_t count = static_cast<std::uint32_t>((extraCode.size() + size - 1) / size);
      le::Bytes extra(std::uint64_t{count} * size, 0);
      std::copy(extraCode.begin(), extraCode.end(), extra.begin());
      std::uint64_t first = 0;
      if (!findExtraSectors(volume, head, extra, count, first))
        return fail(reason, "the FAT32 volume has no " + std::to_string(count) +
                                " free reserved sectors for the boot code (it has " +
                                std::to_string(volume.reservedSectors) + " reserved sectors)");
      le::put(sector0, code.extraSectorField, 2, first);
      placement.writes.push_back(SectorWrite{first, extra});
      placement.writes.push_back(SectorWrite{0, sector0});
      if (volume.backupBootSector != 0 && volume.backupBootSector != 0xFFFF &&
          volume.backupBootSector < volume.reservedSectors)
        placement.writes.push_back(SectorWrite{volume.backupBootSector, sector0});
      return true;
    }
    case FileSystemKind::Fat16: {
      if (image.size() != 512) return fail(reason, "the FAT16 boot code has the wrong size");
      putSector0Code(sector0, image, volume.codeOffset);
      placement.writes.push_back(SectorWrite{0, sector0});
      return true;
    }
  }
  return fail(reason, "unknown file system");
}

}  // namespace boot
