#include "boot/sector/volume_boot_sector.h"

namespace boot {

namespace {

// The largest FAT cluster: the FAT boot code reads a cluster in one INT 13h
// call, which moves at most 64 KiB.
constexpr std::uint32_t kMaxFatClusterBytes = 64 * 1024;

bool isPowerOfTwo(std::uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

bool sameText(const le::Bytes& sector, std::size_t offset, const char* text) {
  for (std::size_t i = 0; text[i] != 0; ++i)
    if (offset + i >= sector.size() || sector[offset + i] != static_cast<std::uint8_t>(text[i]))
      return false;
  return true;
}

bool fail(std::string& reason, const std::string& why) {
  reason = why;
  return false;
}

std::string number(std::uint64_t value) { return std::to_string(value); }

bool readFatSectorSize(const le::Bytes& sector, VolumeBootSector& volume, std::string& reason) {
  volume.bytesPerSector = le::u16(sector, 0x0B);
  if (volume.bytesPerSector != 512 && volume.bytesPerSector != 4096)
    return fail(reason, "the boot sector gives a sector size of " + number(volume.bytesPerSector) +
                            " bytes; only 512 and 4096 are valid here");
  return true;
}

bool checkFatClusterSize(const VolumeBootSector& volume, std::string& reason) {
  if (!isPowerOfTwo(volume.sectorsPerCluster))
    return fail(reason, "the boot sector gives " + number(volume.sectorsPerCluster) +
                            " sectors per cluster, which is no power of two");
  if (volume.clusterBytes() > kMaxFatClusterBytes)
    return fail(reason, "the volume's clusters of " + number(volume.clusterBytes()) +
                            " bytes are larger than the 64 KiB the boot code can read");
  return true;
}

// An NTFS size field (+0x40 MFT record, +0x44 index block): a positive s8
// counts clusters, a negative one v gives 2^-v bytes. 0 for what is no
// power of two from 256 bytes to 64 KiB.
std::uint32_t ntfsRecordBytes(const le::Bytes& sector, std::size_t offset,
                              std::uint32_t clusterBytes) {
  const auto value = static_cast<std::int8_t>(le::u8(sector, offset));
  std::uint64_t bytes = 0;
  if (value > 0)
    bytes = std::uint64_t{static_cast<std::uint32_t>(value)} * clusterBytes;
  else if (value < 0 && value >= -31)
    bytes = std::uint64_t{1} << (-value);
  return isPowerOfTwo(bytes) && bytes >= 256 && bytes <= 65536 ? static_cast<std::uint32_t>(bytes)
                                                               : 0;
}

bool parseNtfs(const le::Bytes& sector, VolumeBootSector& volume, std::string& reason) {
  volume.kind = FileSystemKind::Ntfs;
  volume.bytesPerSector = le::u16(sector, 0x0B);
  if (!isPowerOfTwo(volume.bytesPerSector) || volume.bytesPerSector < 256 ||
      volume.bytesPerSector > 4096)
    return fail(reason, "the boot sector gives a sector size of " + number(volume.bytesPerSector) +
                            " bytes; NTFS has sectors of 256 to 4096 bytes");
  const std::uint32_t perCluster = le::u8(sector, 0x0D);
  // Large clusters are written as a negative power of two.
  volume.sectorsPerCluster = perCluster <= 128 ? perCluster : 0;
  if (perCluster > 128) {
    const std::uint32_t shift = 256 - perCluster;
    if (shift > 16)
      return fail(reason, "the boot sector gives clusters of 2^" + number(shift) + " sectors");
    volume.sectorsPerCluster = 1u << shift;
  }
  if (!isPowerOfTwo(volume.sectorsPerCluster))
    return fail(reason, "the boot sector gives " + number(volume.sectorsPerCluster) +
                            " sectors per cluster, which is no power of two");
  volume.reservedSectors = 8192 / volume.bytesPerSector;
  volume.hiddenSectors = le::u32(sector, kHiddenSectorsOffset);
  volume.totalSectors = le::u64(sector, 0x28);
  volume.mftCluster = le::u64(sector, 0x30);
  volume.mftRecordBytes = ntfsRecordBytes(sector, 0x40, volume.clusterBytes());
  if (volume.mftRecordBytes == 0)
    return fail(reason,
                "the boot sector gives MFT records of no size that NTFS has (byte 0x40 is " +
                    number(le::u8(sector, 0x40)) + ")");
  volume.indexBlockBytes = ntfsRecordBytes(sector, 0x44, volume.clusterBytes());
  if (volume.indexBlockBytes == 0)
    return fail(reason,
                "the boot sector gives index blocks of no size that NTFS has (byte 0x44 is " +
                    number(le::u8(sector, 0x44)) + ")");
  if (volume.totalSectors < 16)
    return fail(reason, "the boot sector gives the volume only " + number(volume.totalSectors) +
                            " sectors");
  volume.clusterCount = volume.totalSectors / volume.sectorsPerCluster;
  if (volume.mftCluster == 0 || volume.mftCluster >= volume.clusterCount)
    return fail(reason, "the boot sector places the MFT at cluster " + number(volume.mftCluster) +
                            ", outside the volume's " + number(volume.clusterCount) + " clusters");
  volume.driveByteOffset = 0x24;
  volume.codeOffset = 0x54;
  return true;
}

bool parseFat(const le::Bytes& sector, VolumeBootSector& volume, std::string& reason) {
  if (!readFatSectorSize(sector, volume, reason)) return false;
  volume.sectorsPerCluster = le::u8(sector, 0x0D);
  if (!checkFatClusterSize(volume, reason)) return false;
  volume.reservedSectors = le::u16(sector, 0x0E);
  volume.fatCount = le::u8(sector, 0x10);
  volume.rootEntries = le::u16(sector, 0x11);
  volume.totalSectors = le::u16(sector, 0x13);
  if (volume.totalSectors == 0) volume.totalSectors = le::u32(sector, 0x20);
  volume.hiddenSectors = le::u32(sector, kHiddenSectorsOffset);
  const std::uint32_t fat16Size = le::u16(sector, 0x16);
  const bool fat32Layout = fat16Size == 0;
  volume.sectorsPerFat = fat32Layout ? le::u32(sector, 0x24) : fat16Size;
  if (volume.reservedSectors == 0) return fail(reason, "the boot sector gives no reserved sectors");
  if (volume.fatCount == 0 || volume.fatCount > 2)
    return fail(reason, "the boot sector gives " + number(volume.fatCount) + " FATs");
  if (volume.sectorsPerFat == 0) return fail(reason, "the boot sector gives FATs of no sectors");
  if (fat32Layout && volume.rootEntries != 0)
    return fail(reason, "the boot sector mixes FAT32 and FAT16 fields");
  const std::uint64_t rootSectors =
      (std::uint64_t{volume.rootEntries} * 32 + volume.bytesPerSector - 1) / volume.bytesPerSector;
  const std::uint64_t metaSectors = std::uint64_t{volume.reservedSectors} +
                                    std::uint64_t{volume.fatCount} * volume.sectorsPerFat +
                                    rootSectors;
  if (volume.totalSectors <= metaSectors)
    return fail(reason, "the boot sector's FATs and reserved sectors (" + number(metaSectors) +
                            ") do not fit its " + number(volume.totalSectors) + " sectors");
  volume.clusterCount = (volume.totalSectors - metaSectors) / volume.sectorsPerCluster;
  if (!fat32Layout && volume.clusterCount < 4085)
    return fail(reason, "the volume is FAT12, which has no boot code for Windows' boot manager");
  // Each FAT must have an entry for every cluster, plus the two first.
  const std::uint64_t entryBits = fat32Layout ? 32 : 16;
  const std::uint64_t fatEntries =
      std::uint64_t{volume.sectorsPerFat} * volume.bytesPerSector * 8 / entryBits;
  if (fatEntries < volume.clusterCount + 2)
    return fail(reason, "the boot sector's FATs hold fewer entries than the volume has clusters");

  if (fat32Layout) {
    volume.kind = FileSystemKind::Fat32;
    volume.rootCluster = le::u32(sector, 0x2C);
    volume.fsInfoSector = le::u16(sector, 0x30);
    volume.backupBootSector = le::u16(sector, 0x32);
    if (volume.rootCluster < 2 || volume.rootCluster >= volume.clusterCount + 2)
      return fail(reason, "the boot sector places the root folder at cluster " +
                              number(volume.rootCluster) + ", outside the volume");
    volume.driveByteOffset = 0x40;
    volume.codeOffset = 0x5A;
    return true;
  }
  if (volume.clusterCount >= 65525)
    return fail(reason, "the boot sector gives a FAT16 volume " + number(volume.clusterCount) +
                            " clusters, more than FAT16 can count");
  if (volume.rootEntries == 0) return fail(reason, "the boot sector gives no root folder");
  volume.kind = FileSystemKind::Fat16;
  volume.driveByteOffset = 0x24;
  volume.codeOffset = 0x3E;
  return true;
}

}  // namespace

const char* fileSystemName(FileSystemKind kind) {
  switch (kind) {
    case FileSystemKind::Ntfs:
      return "NTFS";
    case FileSystemKind::Fat32:
      return "FAT32";
    case FileSystemKind::Fat16:
      return "FAT16";
  }
  return "";
}

bool parseVolumeBootSector(const le::Bytes& sector, VolumeBootSector& volume, std::string& reason) {
  volume = VolumeBootSector{};
  if (sector.size() < 512) return fail(reason, "the boot sector could not be read whole");
  if (sector[kBootSignatureOffset] != 0x55 || sector[kBootSignatureOffset + 1] != 0xAA)
    return fail(reason,
                "the volume's first sector has no boot signature (55 AA): "
                "it holds no file system this tool knows");
  // +0x03 the file system's name, eight bytes.
  if (sameText(sector, 0x03, "NTFS    ")) return parseNtfs(sector, volume, reason);
  if (sameText(sector, 0x03, "EXFAT   "))
    return fail(reason, "the volume is exFAT, which this tool cannot make bootable");
  // FAT has no name of its own at +0x03; its BPB says what it is.
  if (sector[0] != 0xEB && sector[0] != 0xE9)
    return fail(reason, "the volume's first sector holds no file system this tool knows");
  return parseFat(sector, volume, reason);
}

bool volumeFitsPartition(const VolumeBootSector& volume, std::uint64_t partitionBytes,
                         std::string& reason) {
  std::uint64_t sectors = volume.totalSectors;
  if (volume.kind == FileSystemKind::Ntfs) ++sectors;  // the backup boot sector
  const std::uint64_t partitionSectors = partitionBytes / volume.bytesPerSector;
  if (sectors <= partitionSectors) return true;
  return fail(reason, "the boot sector gives the volume " + number(sectors) +
                          " sectors, more than its partition's " + number(partitionSectors));
}

}  // namespace boot
