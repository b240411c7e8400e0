// The layout that placers rely on: sizes, where each jump lands, the boot
// signature and the FAT32 patch field.
#include "boot/code/boot_code.h"

#include <gtest/gtest.h>

namespace {

std::uint16_t word(const boot::CodeImage& image, std::size_t offset) {
  return static_cast<std::uint16_t>(image.bytes[offset] | image.bytes[offset + 1] << 8);
}

// Byte 0 is a short jump (EB xx 90) to the first byte after the BPB.
void expectJumpTo(const boot::CodeImage& image, std::size_t target) {
  EXPECT_EQ(image.bytes[0], 0xEB);
  EXPECT_EQ(2u + image.bytes[1], target);
  EXPECT_EQ(image.bytes[2], 0x90);
}

// The BPB's place holds zeros: the placer keeps the volume's own bytes there.
void expectEmptyBpb(const boot::CodeImage& image, std::size_t end) {
  for (std::size_t i = 3; i < end; ++i) EXPECT_EQ(image.bytes[i], 0) << "offset " << i;
}

TEST(BootCode, MbrFillsTheCodeAreaOnly) { EXPECT_EQ(boot::mbrCode().size, 440u); }

TEST(BootCode, NtfsIsSixteenSectorsWithCodeFrom0x54) {
  const boot::CodeImage image = boot::ntfsBootCode();
  ASSERT_EQ(image.size, 8192u);
  expectJumpTo(image, 0x54);
  expectEmptyBpb(image, 0x54);
  EXPECT_EQ(word(image, 0x1FE), 0xAA55);
  EXPECT_EQ(word(image, 8190), 0xB007);  // checked after sectors 1-15 are read
}

// The tools refuse exactly the volumes that the table in the image, which the
// code checks itself, leaves out: walked over every power of two.
TEST(BootCode, NtfsGeometryFollowsTheTableInTheImage) {
  const boot::CodeImage image = boot::ntfsBootCode();
  const boot::NtfsLimits limits = boot::ntfsLimits();
  EXPECT_EQ(limits.minSectorShift, image.bytes[boot::kNtfsLimitsOffset]);
  EXPECT_EQ(limits.maxIndexShift, image.bytes[boot::kNtfsLimitsOffset + 4]);
  // What Windows formats: 512 and 4096-byte sectors, clusters up to 2 MiB,
  // 1 and 4 KiB records, 4 KiB index blocks.
  EXPECT_EQ(limits.minSectorShift, 9u);
  EXPECT_EQ(limits.maxSectorShift, 12u);
  EXPECT_EQ(limits.maxClusterShift, 21u);
  EXPECT_GE(limits.maxRecordShift, 12u);
  EXPECT_GE(limits.maxIndexShift, 12u);
  for (unsigned sector = 8; sector <= 13; ++sector)
    for (unsigned cluster = sector; cluster <= 23; ++cluster)
      for (unsigned record = 8; record <= 14; ++record)
        for (unsigned index = 8; index <= 16; ++index) {
          const bool reads = sector >= limits.minSectorShift && sector <= limits.maxSectorShift &&
                             cluster <= limits.maxClusterShift && record >= sector &&
                             record <= limits.maxRecordShift && index >= sector &&
                             index <= limits.maxIndexShift;
          const std::string refusal =
              boot::ntfsGeometryRefusal(1u << sector, 1u << cluster, 1u << record, 1u << index);
          EXPECT_EQ(refusal.empty(), reads)
              << sector << " " << cluster << " " << record << " " << index << ": " << refusal;
        }
  EXPECT_EQ(boot::ntfsGeometryRefusal(512, 4u << 20, 1024, 4096),
            "clusters of 4194304 bytes, and the boot code reads only 512 bytes to 2 MiB");
}

TEST(BootCode, Fat32IsSectorZeroPlusItsExtraSectors) {
  const boot::CodeImage image = boot::fat32BootCode();
  ASSERT_EQ(image.size, 512 * (1 + boot::kFat32ExtraSectors));
  expectJumpTo(image, boot::kFat32ExtraSectorField + 2);
  expectEmptyBpb(image, 0x5A);
  EXPECT_EQ(boot::kFat32ExtraSectorField, 0x5Au);
  EXPECT_EQ(word(image, boot::kFat32ExtraSectorField), 0);  // the placer sets it
  EXPECT_EQ(word(image, 0x1FE), 0xAA55);
  EXPECT_EQ(word(image, image.size - 2), 0xB007);
}

TEST(BootCode, Fat16IsOneSectorWithCodeFrom0x3E) {
  const boot::CodeImage image = boot::fat16BootCode();
  ASSERT_EQ(image.size, 512u);
  expectJumpTo(image, 0x3E);
  expectEmptyBpb(image, 0x3E);
  EXPECT_EQ(word(image, 0x1FE), 0xAA55);
}

}  // namespace
