#include "boot/disk/partition_table.h"

#include <set>

namespace boot {

namespace {

// GPT header, LBA 1.
constexpr char kGptSignature[] = "EFI PART";   // +0x00
constexpr std::size_t kGptHeaderMinSize = 92;  // +0x0C u32 header size
constexpr std::uint32_t kMaxGptEntries = 1024;
// Extended boot records chained beyond this are a loop or an attack.
constexpr int kMaxLogicalPartitions = 128;

bool fail(std::string& reason, const std::string& why) {
  reason = why;
  return false;
}

bool isExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool hasBootSignature(const le::Bytes& sector) {
  return sector.size() >= 512 && sector[0x1FE] == 0x55 && sector[0x1FF] == 0xAA;
}

Partition mbrEntry(const le::Bytes& sector, int index) {
  const std::size_t at = kMbrTableOffset + static_cast<std::size_t>(index) * kMbrEntrySize;
  Partition entry;
  entry.status = le::u8(sector, at + 0x0);     // +0 status
  entry.type = le::u8(sector, at + 0x4);       // +4 type
  entry.startLba = le::u32(sector, at + 0x8);  // +8 start LBA
  entry.sectors = le::u32(sector, at + 0xC);   // +C sectors
  return entry;
}

bool withinDisk(std::uint64_t start, std::uint64_t sectors, std::uint64_t diskSectors) {
  return diskSectors == 0 || (start <= diskSectors && sectors <= diskSectors - start);
}

// The logical partitions of the extended partition at `extendedStart`: each
// extended boot record holds the logical partition (relative to itself) and
// the next record (relative to the extended partition's start).
bool readLogicalPartitions(const ReadSectors& read, std::uint64_t extendedStart,
                           std::uint64_t diskSectors, DiskLayout& layout, std::string& reason) {
  std::set<std::uint64_t> seen;
  std::uint64_t record = extendedStart;
  for (int count = 0; count < kMaxLogicalPartitions; ++count) {
    if (!seen.insert(record).second) return fail(reason, "the extended partition's chain loops");
    le::Bytes sector;
    if (!read(record, 1, sector) || sector.size() < 512)
      return fail(reason,
                  "cannot read the extended boot record at sector " + std::to_string(record));
    if (!hasBootSignature(sector))
      return fail(reason, "the extended boot record at sector " + std::to_string(record) +
                              " has no boot signature");
    Partition logical = mbrEntry(sector, 0);
    if (logical.type != 0 && logical.sectors != 0) {
      logical.startLba += record;
      logical.logical = true;
      logical.number = 5 + count;
      if (!withinDisk(logical.startLba, logical.sectors, diskSectors))
        return fail(reason, "a logical partition reaches beyond the end of the disk");
      layout.partitions.push_back(logical);
    }
    const Partition next = mbrEntry(sector, 1);
    if (next.type == 0 || next.sectors == 0) return true;
    if (!isExtended(next.type))
      return fail(reason, "the extended boot record at sector " + std::to_string(record) +
                              " links to a partition of type " + std::to_string(next.type));
    record = extendedStart + next.startLba;
  }
  return fail(reason, "the extended partition holds more than " +
                          std::to_string(kMaxLogicalPartitions) + " partitions");
}

Guid guidAt(const le::Bytes& bytes, std::size_t offset) {
  Guid guid;
  if (le::holds(bytes.size(), offset, guid.bytes.size()))
    for (std::size_t i = 0; i < guid.bytes.size(); ++i) guid.bytes[i] = bytes[offset + i];
  return guid;
}

bool readGpt(const ReadSectors& read, std::uint32_t sectorSize, std::uint64_t diskSectors,
             DiskLayout& layout, std::string& reason) {
  layout.style = PartitionStyle::Gpt;
  le::Bytes header;
  if (!read(1, 1, header) || header.size() < kGptHeaderMinSize)
    return fail(reason, "cannot read the GPT header");
  for (std::size_t i = 0; i < 8; ++i)
    if (header[i] != static_cast<std::uint8_t>(kGptSignature[i]))
      return fail(reason, "the disk has a protective MBR but no GPT header");
  const std::uint32_t headerSize = le::u32(header, 0x0C);  // +0x0C header size
  if (headerSize < kGptHeaderMinSize || headerSize > header.size())
    return fail(reason, "the GPT header gives a size of " + std::to_string(headerSize));
  le::Bytes checked(header.begin(), header.begin() + headerSize);
  const std::uint32_t headerCrc = le::u32(header, 0x10);  // +0x10 CRC32 of the header
  le::put(checked, 0x10, 4, 0);
  if (crc32(checked.data(), checked.size()) != headerCrc)
    return fail(reason, "the GPT header fails its CRC check");
  layout.diskGuid = guidAt(header, 0x38);                  // +0x38 disk GUID
  const std::uint64_t entriesLba = le::u64(header, 0x48);  // +0x48 first entry's LBA
  const std::uint32_t count = le::u32(header, 0x50);       // +0x50 number of entries
  const std::uint32_t entrySize = le::u32(header, 0x54);   // +0x54 size of one entry
  const std::uint32_t entriesCrc = le::u32(header, 0x58);  // +0x58 CRC32 of the entries
  if (count > kMaxGptEntries || entrySize < 128 || entrySize > 1024 || entrySize % 8 != 0)
    return fail(reason, "the GPT header gives " + std::to_string(count) + " entries of " +
                            std::to_string(entrySize) + " bytes");
  const std::uint64_t bytes = std::uint64_t{count} * entrySize;
  const std::uint64_t sectors = (bytes + sectorSize - 1) / sectorSize;
  if (entriesLba < 2 || !withinDisk(entriesLba, sectors, diskSectors))
    return fail(reason, "the GPT's entries lie outside the disk");
  le::Bytes entries;
  if (!read(entriesLba, static_cast<std::uint32_t>(sectors), entries) || entries.size() < bytes)
    return fail(reason, "cannot read the GPT's entries");
  if (crc32(entries.data(), static_cast<std::size_t>(bytes)) != entriesCrc)
    return fail(reason, "the GPT's entries fail their CRC check");
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = static_cast<std::size_t>(i) * entrySize;
    Partition partition;
    partition.gptType = guidAt(entries, at + 0x00);    // +0x00 type GUID
    partition.gptUnique = guidAt(entries, at + 0x10);  // +0x10 unique GUID
    if (isNullGuid(partition.gptType)) continue;
    const std::uint64_t first = le::u64(entries, at + 0x20);  // +0x20 first LBA
    const std::uint64_t last = le::u64(entries, at + 0x28);   // +0x28 last LBA, inclusive
    if (last < first || !withinDisk(first, last - first + 1, diskSectors))
      return fail(reason, "GPT entry " + std::to_string(i + 1) + " lies outside the disk");
    partition.startLba = first;
    partition.sectors = last - first + 1;
    partition.number = static_cast<int>(i) + 1;
    layout.partitions.push_back(partition);
  }
  return true;
}

}  // namespace

const Guid kEfiSystemPartitionType = {{0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11, 0xBA, 0x4B,
                                       0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};

bool readDiskLayout(const ReadSectors& read, std::uint32_t sectorSize, std::uint64_t diskSectors,
                    DiskLayout& layout, std::string& reason) {
  layout = DiskLayout{};
  if (sectorSize < 512) return fail(reason, "the disk's sector size is not known");
  le::Bytes sector0;
  if (!read(0, 1, sector0) || sector0.size() < 512)
    return fail(reason, "cannot read the disk's first sector");
  if (!hasBootSignature(sector0))
    return fail(reason, "the disk's first sector has no partition table (no 55 AA)");
  layout.signature = le::u32(sector0, kMbrSignatureOffset);
  std::vector<Partition> primaries;
  for (int slot = 0; slot < 4; ++slot) {
    Partition entry = mbrEntry(sector0, slot);
    if (entry.type == 0xEE) return readGpt(read, sectorSize, diskSectors, layout, reason);
    if (entry.status != 0 && entry.status != kActive)
      return fail(reason, "the disk's first sector holds no valid partition table (entry " +
                              std::to_string(slot + 1) + " has status " +
                              std::to_string(entry.status) + ")");
    if (entry.type == 0 || entry.sectors == 0) continue;
    entry.slot = slot;
    entry.number = slot + 1;
    if (!withinDisk(entry.startLba, entry.sectors, diskSectors))
      return fail(reason,
                  "partition " + std::to_string(slot + 1) + " reaches beyond the end of the disk");
    primaries.push_back(entry);
  }
  layout.partitions = primaries;
  for (const Partition& entry : primaries)
    if (isExtended(entry.type) &&
        !readLogicalPartitions(read, entry.startLba, diskSectors, layout, reason))
      return false;
  return true;
}

const Partition* efiSystemPartition(const DiskLayout& layout) {
  if (layout.style != PartitionStyle::Gpt) return nullptr;
  for (const Partition& partition : layout.partitions)
    if (partition.gptType == kEfiSystemPartitionType) return &partition;
  return nullptr;
}

const Partition* partitionStartingAt(const DiskLayout& layout, std::uint64_t startLba) {
  for (const Partition& partition : layout.partitions)
    if (partition.startLba == startLba && !isExtended(partition.type)) return &partition;
  return nullptr;
}

bool activateMbrEntry(le::Bytes& sector0, int slot, std::string& reason) {
  if (!hasBootSignature(sector0)) return fail(reason, "the disk's first sector holds no MBR");
  if (slot < 0 || slot > 3) return fail(reason, "no such MBR entry");
  const Partition entry = mbrEntry(sector0, slot);
  if (entry.type == 0 || entry.sectors == 0)
    return fail(reason, "MBR entry " + std::to_string(slot + 1) + " holds no partition");
  for (int i = 0; i < 4; ++i)
    sector0[kMbrTableOffset + static_cast<std::size_t>(i) * kMbrEntrySize] =
        i == slot ? kActive : 0;
  return true;
}

bool mbrCodeAreaEmpty(const le::Bytes& sector0) {
  if (sector0.size() < kMbrCodeSize) return false;
  for (std::size_t i = 0; i < kMbrCodeSize; ++i)
    if (sector0[i] != 0) return false;
  return true;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

}  // namespace boot
