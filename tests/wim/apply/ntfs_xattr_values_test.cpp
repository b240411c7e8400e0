// The values written through ntfs-3g's extended attributes: byte order and
// layout, and the names it cannot take.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wim/apply/ntfs_xattr_values.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(NtfsXattrValues, NumbersAreBigEndianAndAttributesOnlyTheSettableOnes) {
  // read-only | hidden | directory | archive | reparse point | compressed
  EXPECT_EQ(wim::ntfsAttributesValue(0x00000C33), (Bytes{0, 0, 0, 0x23}));
  EXPECT_EQ(wim::ntfsAttributesValue(0x00002000), (Bytes{0, 0, 0x20, 0}));
  const Bytes times = wim::ntfsTimesValue(0x01D2030405060708, 0x1112131415161718, 0x21);
  EXPECT_EQ(times, (Bytes{0x01, 0xD2, 3,    4,    5, 6, 7, 8, 0x11, 0x12, 0x13, 0x14,
                          0x15, 0x16, 0x17, 0x18, 0, 0, 0, 0, 0,    0,    0,    0x21}));
}

TEST(NtfsXattrValues, ReparseBufferIsHeaderThenTheImagesData) {
  const Bytes data{1, 2, 3};
  EXPECT_EQ(wim::reparseBuffer(0xA000000C, le::ByteSpan{data.data(), data.size()}),
            (Bytes{0x0C, 0, 0, 0xA0, 3, 0, 0, 0, 1, 2, 3}));
  EXPECT_EQ(wim::reparseBuffer(0x80000017, le::ByteSpan{}), (Bytes{0x17, 0, 0, 0x80, 0, 0, 0, 0}));
  const Bytes tooLarge(16 * 1024 - 7);
  EXPECT_TRUE(
      wim::reparseBuffer(0xA0000003, le::ByteSpan{tooLarge.data(), tooLarge.size()}).empty());
  const Bytes largest(16 * 1024 - 8);
  EXPECT_EQ(wim::reparseBuffer(0xA0000003, le::ByteSpan{largest.data(), largest.size()}).size(),
            16u * 1024);
}

TEST(NtfsXattrValues, StreamNamesThatNtfs3gCannotCarryAreRefused) {
  std::string attribute, reason;
  ASSERT_TRUE(wim::streamAttributeName(u"Zone.Identifier", attribute, reason));
  EXPECT_EQ(attribute, "user.Zone.Identifier");
  ASSERT_TRUE(wim::streamAttributeName(u"\u6570\U0001F600", attribute, reason));
  EXPECT_EQ(attribute, "user.\xE6\x95\xB0\xF0\x9F\x98\x80");

  const std::u16string refused[] = {u"", std::u16string(u"a\0b", 3), u"x\xD800", u"\xDC00y",
                                    std::u16string(84, u'\u6570')};  // 252 bytes + "user."
  for (const std::u16string& name : refused) {
    attribute = "unchanged";
    reason.clear();
    EXPECT_FALSE(wim::streamAttributeName(name, attribute, reason)) << name.size();
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(attribute, "unchanged");
  }
  ASSERT_TRUE(wim::streamAttributeName(std::u16string(83, u'\u6570'), attribute, reason));
  EXPECT_EQ(attribute.size(), 254u);
}

}  // namespace
