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
