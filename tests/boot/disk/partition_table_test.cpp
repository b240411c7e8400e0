// Partition tables read from sectors, and the one edit BOOTICE makes.
#include <gtest/gtest.h>

#include <map>

#include "boot/disk/partition_table.h"

namespace {

using le::Bytes;

struct Disk {
  std::map<std::uint64_t, le::Bytes> sectors;  // missing ones read as zeros
  boot::ReadSectors reader() {
    return [this](std::uint64_t lba, std::uint32_t count, le::Bytes& out) {
      out.clear();
      for (std::uint32_t i = 0; i < count; ++i) {
        auto found = sectors.find(lba + i);
        le::Bytes sector = found != sectors.end() ? found->second : le::Bytes(512, 0);
        out.insert(out.end(), sector.begin(), sector.end());
      }
      return true;
    };
  }
  le::Bytes& sector(std::uint64_t lba) {
    le::Bytes& s = sectors[lba];
    if (s.empty()) {
      s.assign(512, 0);
      s[0x1FE] = 0x55;
      s[0x1FF] = 0xAA;
    }
    return s;
  }
};

void putEntry(le::Bytes& sector, int slot, std::uint8_t status, std::uint8_t type,
              std::uint32_t start, std::uint32_t count) {
  const std::size_t at = 0x1BE + static_cast<std::size_t>(slot) * 16;
  sector[at] = status;
  sector[at + 4] = type;
  le::put(sector, at + 8, 4, start);
  le::put(sector, at + 12, 4, count);
}

boot::DiskLayout layoutOf(Disk& disk, std::uint64_t sectors, bool expectOk = true) {
  boot::DiskLayout layout;
  std::string reason;
  EXPECT_EQ(boot::readDiskLayout(disk.reader(), 512, sectors, layout, reason), expectOk) << reason;
  return layout;
}

TEST(PartitionTable, MbrWithLogicalPartitions) {
  Disk disk;
  le::Bytes& mbr = disk.sector(0);
  le::put(mbr, 0x1B8, 4, 0x12345678);
  putEntry(mbr, 0, 0x80, 0x07, 2048, 4096);
  putEntry(mbr, 2, 0x00, 0x0F, 10000, 20000);  // extended, in slot 3
  putEntry(disk.sector(10000), 0, 0, 0x07, 63, 1000);
  putEntry(disk.sector(10000), 1, 0, 0x05, 2000, 3000);
  putEntry(disk.sector(12000), 0, 0, 0x0C, 63, 500);
  const boot::DiskLayout layout = layoutOf(disk, 40000);
  EXPECT_EQ(layout.style, boot::PartitionStyle::Mbr);
  EXPECT_EQ(layout.signature, 0x12345678u);
  ASSERT_EQ(layout.partitions.size(), 4u);
  const boot::Partition* first = boot::partitionStartingAt(layout, 2048);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->slot, 0);
  const boot::Partition* logical = boot::partitionStartingAt(layout, 12063);
  ASSERT_NE(logical, nullptr);
  EXPECT_TRUE(logical->logical);
  EXPECT_EQ(logical->type, 0x0C);
  EXPECT_EQ(boot::partitionStartingAt(layout, 10000), nullptr);  // the container is no volume
}

TEST(PartitionTable, HostileTablesAreRefused) {
  Disk loop;
  putEntry(loop.sector(0), 0, 0, 0x05, 100, 1000);
  putEntry(loop.sector(100), 1, 0, 0x05, 0, 1000);  // links back to itself
  layoutOf(loop, 5000, false);

  Disk outside;
  putEntry(outside.sector(0), 0, 0, 0x07, 2048, 100000);
  layoutOf(outside, 5000, false);

  Disk badStatus;
  putEntry(badStatus.sector(0), 1, 0x12, 0x07, 2048, 100);
  layoutOf(badStatus, 5000, false);

  Disk unsigned_;
  unsigned_.sectors[0] = le::Bytes(512, 0);
  layoutOf(unsigned_, 5000, false);
}

// A GPT with one EFI system partition and both CRCs, as partitioning tools write it.
Disk gptDisk(bool spoilEntries) {
  Disk disk;
  putEntry(disk.sector(0), 0, 0, 0xEE, 1, 0xFFFFFFFF);
  le::Bytes entries(128 * 128, 0);  // 128 entries of 128 bytes: 32 sectors
  std::copy(boot::kEfiSystemPartitionType.bytes.begin(), boot::kEfiSystemPartitionType.bytes.end(),
            entries.begin());
  for (int i = 0; i < 16; ++i) entries[16 + i] = static_cast<std::uint8_t>(0xA0 + i);
  le::put(entries, 0x20, 8, 2048);
  le::put(entries, 0x28, 8, 206847);
  le::Bytes header(512, 0);
  const char signature[] = "EFI PART";
  std::copy(signature, signature + 8, header.begin());
  le::put(header, 0x08, 4, 0x00010000);
  le::put(header, 0x0C, 4, 92);
  for (int i = 0; i < 16; ++i) header[0x38 + i] = static_cast<std::uint8_t>(i);
  le::put(header, 0x48, 8, 2);
  le::put(header, 0x50, 4, 128);
  le::put(header, 0x54, 4, 128);
  le::put(header, 0x58, 4, boot::crc32(entries.data(), entries.size()));
  le::put(header, 0x10, 4, boot::crc32(header.data(), 92));
  if (spoilEntries) entries[0x20] ^= 1;
  disk.sectors[1] = header;
  for (std::size_t s = 0; s < 32; ++s)
    disk.sectors[2 + s] = le::Bytes(entries.begin() + static_cast<std::ptrdiff_t>(s * 512),
                                    entries.begin() + static_cast<std::ptrdiff_t>(s * 512 + 512));
  return disk;
}

TEST(PartitionTable, GptBehindAProtectiveMbr) {
  EXPECT_EQ(boot::crc32(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
  Disk disk = gptDisk(false);
  const boot::DiskLayout layout = layoutOf(disk, 409600);
  EXPECT_EQ(layout.style, boot::PartitionStyle::Gpt);
  EXPECT_EQ(boot::guidText(layout.diskGuid), "{03020100-0504-0706-0809-0a0b0c0d0e0f}");
  ASSERT_EQ(layout.partitions.size(), 1u);
  EXPECT_EQ(layout.partitions[0].gptType, boot::kEfiSystemPartitionType);
  EXPECT_EQ(boot::guidText(layout.partitions[0].gptType), "{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}");
  EXPECT_EQ(layout.partitions[0].sectors, 204800u);

  Disk spoilt = gptDisk(true);
  layoutOf(spoilt, 409600, false);
}

TEST(PartitionTable, ActivationTouchesOnlyTheStatusBytes) {
  Disk disk;
  le::Bytes& mbr = disk.sector(0);
  for (std::size_t i = 0; i < 440; ++i) mbr[i] = static_cast<std::uint8_t>(i);
  putEntry(mbr, 0, 0x80, 0x07, 2048, 4096);
  putEntry(mbr, 1, 0x00, 0x0C, 8192, 4096);
  const le::Bytes before = mbr;
  le::Bytes edited = mbr;
  std::string reason;
  ASSERT_TRUE(boot::activateMbrEntry(edited, 1, reason)) << reason;
  for (std::size_t i = 0; i < 512; ++i) {
    if (i == 0x1BE)
      EXPECT_EQ(edited[i], 0x00);
    else if (i == 0x1CE)
      EXPECT_EQ(edited[i], 0x80);
    else
      EXPECT_EQ(edited[i], before[i]) << i;
  }
  le::Bytes empty = mbr;
  EXPECT_FALSE(boot::activateMbrEntry(empty, 2, reason));  // no partition there
  EXPECT_EQ(empty, mbr);
  EXPECT_FALSE(boot::mbrCodeAreaEmpty(mbr));
  EXPECT_TRUE(boot::mbrCodeAreaEmpty(le::Bytes(512, 0)));
}

}  // namespace
