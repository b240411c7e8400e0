// Which image of an ICO or CUR file becomes the icon, on well-formed,
// truncated and hostile directories.
#include "support/icon_directory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& bytes, std::uint32_t value) {
  bytes.push_back(value & 0xFF);
  bytes.push_back((value >> 8) & 0xFF);
}

void put32(Bytes& bytes, std::uint32_t value) {
  put16(bytes, value & 0xFFFF);
  put16(bytes, value >> 16);
}

struct Entry {
  unsigned char width;
  std::uint32_t size;
  std::uint32_t offset;
};

// A directory with the given entries, followed by `payload` bytes.
Bytes iconFile(std::uint16_t type, std::uint16_t count, const std::vector<Entry>& entries,
               std::size_t payload) {
  Bytes bytes;
  put16(bytes, 0);
  put16(bytes, type);
  put16(bytes, count);
  for (const Entry& entry : entries) {
    bytes.push_back(entry.width);
    bytes.push_back(entry.width);
    bytes.push_back(0);
    bytes.push_back(0);
    put16(bytes, 1);
    put16(bytes, 32);
    put32(bytes, entry.size);
    put32(bytes, entry.offset);
  }
  bytes.resize(bytes.size() + payload, 0xAB);
  return bytes;
}

bool choose(const Bytes& bytes, IconImageSpan* span) {
  return chooseIconImage(bytes.data(), bytes.size(), span);
}

TEST(ChooseIconImage, TakesTheOnlyImage) {
  Bytes file = iconFile(1, 1, {{24, 100, 22}}, 100);
  IconImageSpan span;
  ASSERT_TRUE(choose(file, &span));
  EXPECT_EQ(span.offset, 22u);
  EXPECT_EQ(span.size, 100u);
}

TEST(ChooseIconImage, PrefersTheFirstSixteenPixelImage) {
  Bytes file = iconFile(1, 4, {{32, 10, 70}, {16, 11, 80}, {48, 12, 91}, {16, 13, 103}}, 60);
  IconImageSpan span;
  ASSERT_TRUE(choose(file, &span));
  EXPECT_EQ(span.offset, 80u);
  EXPECT_EQ(span.size, 11u);
}

TEST(ChooseIconImage, TakesTheLastImageWithoutASixteenPixelOne) {
  Bytes file = iconFile(2, 3, {{32, 10, 54}, {48, 10, 64}, {24, 10, 74}}, 30);
  IconImageSpan span;
  ASSERT_TRUE(choose(file, &span));
  EXPECT_EQ(span.offset, 74u);
}

TEST(ChooseIconImage, AcceptsAnImageThatEndsExactlyAtTheEnd) {
  Bytes file = iconFile(1, 1, {{24, 10, 22}}, 10);
  IconImageSpan span;
  ASSERT_TRUE(choose(file, &span));
  EXPECT_EQ(span.offset + span.size, file.size());
}

TEST(ChooseIconImage, RefusesEmptyAndShortInput) {
  IconImageSpan span;
  span.offset = 7;
  EXPECT_FALSE(chooseIconImage(nullptr, 0, &span));
  Bytes header = {0, 0, 1, 0, 1};  // five bytes: the count is incomplete
  EXPECT_FALSE(choose(header, &span));
  EXPECT_FALSE(choose(Bytes{}, &span));
  EXPECT_EQ(span.offset, 7u);  // untouched on failure
}

TEST(ChooseIconImage, RefusesADirectoryWithoutEntries) {
  IconImageSpan span;
  EXPECT_FALSE(choose(iconFile(1, 0, {}, 40), &span));
}

TEST(ChooseIconImage, ReadsOnlyTheEntriesTheBytesHold) {
  // Five entries promised, two present (the second cut short): the first is
  // the last complete one.
  Bytes file = iconFile(1, 5, {{24, 4, 0}, {16, 4, 0}}, 0);
  file.resize(6 + 16 + 10);
  IconImageSpan span;
  ASSERT_TRUE(choose(file, &span));
  EXPECT_EQ(span.offset, 0u);
  // A count of 65535 over a short file.
  Bytes many = iconFile(1, 0xFFFF, {{32, 4, 0}}, 0);
  ASSERT_TRUE(choose(many, &span));
  EXPECT_EQ(span.size, 4u);
}

TEST(ChooseIconImage, RefusesImagesOutsideTheBytes) {
  IconImageSpan span;
  EXPECT_FALSE(choose(iconFile(1, 1, {{16, 100, 22}}, 99), &span));  // one byte short
  EXPECT_FALSE(choose(iconFile(1, 1, {{16, 4, 500}}, 10), &span));   // offset past the end
  EXPECT_FALSE(choose(iconFile(1, 1, {{16, 4, 32}}, 10), &span));    // offset at the end
  EXPECT_FALSE(choose(iconFile(1, 1, {{16, 0, 22}}, 10), &span));    // empty image
  // Offset and size that wrap around 32 bits.
  EXPECT_FALSE(choose(iconFile(1, 1, {{16, 0x20, 0xFFFFFFF0u}}, 10), &span));
  EXPECT_FALSE(choose(iconFile(1, 1, {{16, 0xFFFFFFFFu, 22}}, 10), &span));
  EXPECT_FALSE(choose(iconFile(1, 1, {{16, 0xFFFFFFFFu, 0xFFFFFFFFu}}, 10), &span));
}

TEST(ChooseIconImage, DoesNotFallBackWhenTheChosenImageIsBroken) {
  // The 16-pixel image is out of bounds; the good 32-pixel one is not taken
  // instead: the file is simply unusable.
  Bytes file = iconFile(1, 2, {{32, 4, 38}, {16, 4, 1000}}, 8);
  IconImageSpan span;
  EXPECT_FALSE(choose(file, &span));
}

}  // namespace
