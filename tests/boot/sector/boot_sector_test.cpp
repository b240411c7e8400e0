// Boot sectors and the placement of boot code: what is accepted, what is
// refused, and that only the code areas change.
#include <gtest/gtest.h>

#include "boot/sector/boot_code_placement.h"
#include "boot/sector/volume_boot_sector.h"

namespace {

using le::Bytes;

void put(le::Bytes& b, std::size_t at, std::size_t width, std::uint64_t value) {
  ASSERT_TRUE(le::put(b, at, width, value));
}

void putText(le::Bytes& b, std::size_t at, const char* text) {
  for (std::size_t i = 0; text[i]; ++i) b[at + i] = static_cast<std::uint8_t>(text[i]);
}

le::Bytes signedSector() {
  le::Bytes b(512, 0);
  b[0] = 0xEB;
  b[1] = 0x52;
  b[2] = 0x90;
  b[0x1FE] = 0x55;
  b[0x1FF] = 0xAA;
  return b;
}

// As mkntfs makes it: 4 KiB clusters, 1 KiB records, 4 KiB index blocks,
// 100 MiB less a sector.
le::Bytes ntfsSector() {
  le::Bytes b = signedSector();
  putText(b, 3, "NTFS    ");
  put(b, 0x0B, 2, 512);
  put(b, 0x0D, 1, 8);
  put(b, 0x28, 8, 204799);
  put(b, 0x30, 8, 4);
  put(b, 0x40, 1, 0xF6);
  put(b, 0x44, 1, 1);
  return b;
}

// As mkfs.fat -F 32 makes it on 260 MiB.
le::Bytes fat32Sector() {
  le::Bytes b = signedSector();
  put(b, 0x0B, 2, 512);
  put(b, 0x0D, 1, 1);
  put(b, 0x0E, 2, 32);
  put(b, 0x10, 1, 2);
  put(b, 0x20, 4, 532480);
  put(b, 0x24, 4, 4160);
  put(b, 0x2C, 4, 2);
  put(b, 0x30, 2, 1);
  put(b, 0x32, 2, 6);
  put(b, 0x42, 1, 0x29);
  putText(b, 0x52, "FAT32   ");
  return b;
}

le::Bytes fat16Sector() {
  le::Bytes b = signedSector();
  put(b, 0x0B, 2, 512);
  put(b, 0x0D, 1, 4);
  put(b, 0x0E, 2, 4);
  put(b, 0x10, 1, 2);
  put(b, 0x11, 2, 512);
  put(b, 0x20, 4, 204800);
  put(b, 0x16, 2, 200);
  put(b, 0x26, 1, 0x29);
  putText(b, 0x36, "FAT16   ");
  return b;
}

std::string refusal(const le::Bytes& sector) {
  boot::VolumeBootSector volume;
  std::string reason;
  EXPECT_FALSE(boot::parseVolumeBootSector(sector, volume, reason));
  return reason;
}

TEST(VolumeBootSector, ReadsTheThreeFileSystems) {
  boot::VolumeBootSector v;
  std::string reason;
  ASSERT_TRUE(boot::parseVolumeBootSector(ntfsSector(), v, reason)) << reason;
  EXPECT_EQ(v.kind, boot::FileSystemKind::Ntfs);
  EXPECT_EQ(v.clusterBytes(), 4096u);
  EXPECT_EQ(v.mftRecordBytes, 1024u);
  EXPECT_EQ(v.codeOffset, 0x54u);

  ASSERT_TRUE(boot::parseVolumeBootSector(fat32Sector(), v, reason)) << reason;
  EXPECT_EQ(v.kind, boot::FileSystemKind::Fat32);
  EXPECT_EQ(v.backupBootSector, 6u);
  EXPECT_EQ(v.driveByteOffset, 0x40u);

  ASSERT_TRUE(boot::parseVolumeBootSector(fat16Sector(), v, reason)) << reason;
  EXPECT_EQ(v.kind, boot::FileSystemKind::Fat16);
  EXPECT_EQ(v.codeOffset, 0x3Eu);

  // 2 MiB NTFS clusters are written as 2^(256 - v); a size in clusters then
  // stands for more than a record, so records are given in bytes.
  le::Bytes big = ntfsSector();
  put(big, 0x0D, 1, 256 - 12);
  put(big, 0x44, 1, 0xF4);
  ASSERT_TRUE(boot::parseVolumeBootSector(big, v, reason)) << reason;
  EXPECT_EQ(v.clusterBytes(), 2u << 20);
  EXPECT_EQ(v.indexBlockBytes, 4096u);
}

TEST(VolumeBootSector, RefusesWhatItCannotBoot) {
  le::Bytes s = ntfsSector();
  s[0x1FF] = 0;
  EXPECT_NE(refusal(s).find("55 AA"), std::string::npos);

  s = ntfsSector();
  putText(s, 3, "EXFAT   ");
  EXPECT_NE(refusal(s).find("exFAT"), std::string::npos);

  s = ntfsSector();
  put(s, 0x0B, 2, 8192);
  EXPECT_NE(refusal(s).find("sector size"), std::string::npos);

  s = ntfsSector();
  put(s, 0x44, 1, 3);  // three clusters
  EXPECT_NE(refusal(s).find("index blocks"), std::string::npos);

  s = ntfsSector();
  put(s, 0x0D, 1, 3);
  EXPECT_NE(refusal(s).find("power of two"), std::string::npos);

  s = ntfsSector();
  put(s, 0x30, 8, 1ull << 40);
  EXPECT_NE(refusal(s).find("MFT"), std::string::npos);

  s = fat32Sector();
  put(s, 0x24, 4, 10);  // FATs too small for the clusters
  EXPECT_NE(refusal(s).find("fewer entries"), std::string::npos);

  s = fat32Sector();
  put(s, 0x2C, 4, 1u << 30);
  EXPECT_NE(refusal(s).find("root folder"), std::string::npos);

  s = fat16Sector();
  put(s, 0x20, 4, 8000);  // under 4085 clusters: FAT12
  EXPECT_NE(refusal(s).find("FAT12"), std::string::npos);

  s = fat16Sector();
  put(s, 0x10, 1, 0);
  EXPECT_NE(refusal(s).find("FATs"), std::string::npos);

  EXPECT_NE(refusal(le::Bytes(100, 0)).find("whole"), std::string::npos);
}

TEST(VolumeBootSector, AVolumeMustFitItsPartition) {
  boot::VolumeBootSector v;
  std::string reason;
  ASSERT_TRUE(boot::parseVolumeBootSector(ntfsSector(), v, reason));
  EXPECT_TRUE(boot::volumeFitsPartition(v, 204800ull * 512, reason));
  // The backup boot sector needs the partition's last sector.
  EXPECT_FALSE(boot::volumeFitsPartition(v, 204799ull * 512, reason));
}

// A code image whose every byte is 0xC0, so that what was copied shows.
boot::VolumeBootCode codeImage(std::size_t size, std::size_t field = 0) {
  boot::VolumeBootCode code;
  code.image.assign(size, 0xC0);
  code.extraSectorField = field;
  return code;
}

le::Bytes volumeHead(const le::Bytes& sector0, std::size_t size) {
  le::Bytes head(size, 0);
  std::copy(sector0.begin(), sector0.end(), head.begin());
  return head;
}

TEST(BootCodePlacement, NtfsKeepsTheBpbAndMirrorsTheBackup) {
  boot::VolumeBootSector v;
  std::string reason;
  const le::Bytes sector0 = ntfsSector();
  ASSERT_TRUE(boot::parseVolumeBootSector(sector0, v, reason));
  boot::Placement p;
  ASSERT_TRUE(boot::placeBootCode(v, volumeHead(sector0, 8192), codeImage(8192), 2048, p, reason))
      << reason;
  ASSERT_EQ(p.writes.size(), 2u);
  const le::Bytes& boot = p.writes[0].bytes;
  ASSERT_EQ(boot.size(), 8192u);
  for (std::size_t i = 3; i < 0x54; ++i)
    if (i < 0x1C || i >= 0x20) {
      EXPECT_EQ(boot[i], sector0[i]) << "BPB byte " << i;
    }
  EXPECT_EQ(le::u32(boot, 0x1C), 2048u);
  EXPECT_TRUE(p.hiddenSectorsChanged);
  EXPECT_EQ(boot[0], 0xC0);
  EXPECT_EQ(boot[0x54], 0xC0);
  EXPECT_EQ(boot[0x1FE], 0x55);
  EXPECT_EQ(boot[0x1FF], 0xAA);
  EXPECT_EQ(boot[8191], 0xC0);
  EXPECT_EQ(p.writes[1].sector, 204799u);
  EXPECT_EQ(p.writes[1].bytes, le::Bytes(boot.begin(), boot.begin() + 512));

  // A right HiddenSectors, or an unknown start, is left alone.
  ASSERT_TRUE(
      boot::placeBootCode(v, volumeHead(sector0, 8192), codeImage(8192), std::nullopt, p, reason));
  EXPECT_FALSE(p.hiddenSectorsChanged);
  EXPECT_EQ(le::u32(p.writes[0].bytes, 0x1C), 0u);
  EXPECT_FALSE(boot::placeBootCode(v, volumeHead(sector0, 8192), codeImage(4096), 0, p, reason));
  EXPECT_TRUE(p.writes.empty());
}

TEST(BootCodePlacement, Fat32UsesFreeReservedSectorsOnly) {
  boot::VolumeBootSector v;
  std::string reason;
  const le::Bytes sector0 = fat32Sector();
  ASSERT_TRUE(boot::parseVolumeBootSector(sector0, v, reason));
  le::Bytes head = volumeHead(sector0, 32 * 512);
  head[512 + 7] = 1;      // FSInfo
  head[2 * 512 + 9] = 1;  // something of somebody else's in sector 2
  const std::size_t field = 0x1F0;
  boot::Placement p;
  ASSERT_TRUE(boot::placeBootCode(v, head, codeImage(1024, field), std::nullopt, p, reason))
      << reason;
  ASSERT_EQ(p.writes.size(), 3u);
  EXPECT_EQ(p.writes[0].sector, 3u);  // the first free one: not 1, not 2
  EXPECT_EQ(p.writes[1].sector, 0u);
  EXPECT_EQ(le::u16(p.writes[1].bytes, field), 3u);
  EXPECT_EQ(p.writes[2].sector, 6u);
  EXPECT_EQ(p.writes[2].bytes, p.writes[1].bytes);
  for (std::size_t i = 3; i < 0x5A; ++i) EXPECT_EQ(p.writes[1].bytes[i], sector0[i]) << i;

  // Running again finds its own code where it put it.
  le::Bytes again = head;
  std::copy(p.writes[0].bytes.begin(), p.writes[0].bytes.end(), again.begin() + 3 * 512);
  ASSERT_TRUE(boot::placeBootCode(v, again, codeImage(1024, field), std::nullopt, p, reason));
  EXPECT_EQ(p.writes[0].sector, 3u);

  // Every reserved sector in use: no room, and nothing to write.
  for (std::size_t s = 2; s < 32; ++s) head[s * 512 + 1] = 1;
  EXPECT_FALSE(boot::placeBootCode(v, head, codeImage(1024, field), std::nullopt, p, reason));
  EXPECT_NE(reason.find("free reserved sectors"), std::string::npos);
}

TEST(BootCodePlacement, Fat16WritesSectorZeroAlone) {
  boot::VolumeBootSector v;
  std::string reason;
  const le::Bytes sector0 = fat16Sector();
  ASSERT_TRUE(boot::parseVolumeBootSector(sector0, v, reason));
  boot::Placement p;
  ASSERT_TRUE(boot::placeBootCode(v, sector0, codeImage(512), 63, p, reason)) << reason;
  ASSERT_EQ(p.writes.size(), 1u);
  const le::Bytes& written = p.writes[0].bytes;
  for (std::size_t i = 3; i < 0x3E; ++i)
    if (i < 0x1C || i >= 0x20) {
      EXPECT_EQ(written[i], sector0[i]) << i;
    }
  EXPECT_EQ(le::u32(written, 0x1C), 63u);
  EXPECT_EQ(written[0x3E], 0xC0);
  EXPECT_EQ(written[0x1FE], 0x55);
}

}  // namespace
