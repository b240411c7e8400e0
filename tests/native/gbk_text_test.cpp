#include "common/gbk_text.h"

#include <gtest/gtest.h>

namespace {

// The compiler turns every literal into GBK: this is what the windows get.
TEST(GbkLiterals, ChineseLiteralsAreGbkBytes) {
  EXPECT_EQ(std::string("安装"), std::string("\xB0\xB2\xD7\xB0"));
  EXPECT_EQ(std::string("格式化"), std::string("\xB8\xF1\xCA\xBD\xBB\xAF"));
  EXPECT_EQ(std::string("　"), std::string(gbk::kIdeographicSpace));
}

TEST(GbkText, CharLengthStepsOverWholeCharacters) {
  const std::string text = "a\xB0\xB2z\xB0";  // a, 安, z, a lone lead byte at the end
  EXPECT_EQ(gbk::charLength(text, 0), 1u);
  EXPECT_EQ(gbk::charLength(text, 1), 2u);
  EXPECT_EQ(gbk::charLength(text, 3), 1u);
  EXPECT_EQ(gbk::charLength(text, 4), 1u);  // truncated: never step past the end
}

TEST(GbkText, TrimRemovesAsciiAndIdeographicSpacesOnly) {
  EXPECT_EQ(gbk::trimSpaces("  dir  "), "dir");
  EXPECT_EQ(gbk::trimSpaces("\xA1\xA1 dir \xA1\xA1\xA1\xA1"), "dir");
  EXPECT_EQ(gbk::trimSpaces("   "), "");
  EXPECT_EQ(gbk::trimSpaces("\xA1\xA1"), "");
  EXPECT_EQ(gbk::trimSpaces(""), "");
  EXPECT_EQ(gbk::trimSpaces("\tdir\r\n"), "\tdir\r\n");  // tabs and line ends stay
  EXPECT_EQ(gbk::trimSpaces("a b"), "a b");              // inner spaces stay
}

TEST(GbkText, TrimNeverSplitsACharacterWhoseBytesLookLikeSpace) {
  // B0 A1 is 啊; followed by A1 20 the pair "A1 A1" straddles two characters
  // and is not an ideographic space. Likewise a second byte 0x20 is not a space
  // in GBK, but a lead byte at the end before a space must keep its character.
  EXPECT_EQ(gbk::trimSpaces("\xB0\xA1\xA1\xA1"), "\xB0\xA1");
  EXPECT_EQ(gbk::trimSpaces("x\xB0\xA1"), "x\xB0\xA1");
  EXPECT_EQ(gbk::trimSpaces("\xA1\xA1\xB0\xA1\xA1\xA1 "), "\xB0\xA1");
}

TEST(GbkText, AsciiLowerLeavesDoubleByteCharactersAlone) {
  EXPECT_EQ(gbk::asciiLower("EXIT"), "exit");
  // 0x81 0x41 is a GBK character whose second byte is 'A'.
  EXPECT_EQ(gbk::asciiLower("\x81\x41X"), "\x81\x41x");
  EXPECT_TRUE(gbk::equalsIgnoringAsciiCase("ClS", "cls"));
  EXPECT_FALSE(gbk::equalsIgnoringAsciiCase("\x81\x41", "\x81\x61"));
  EXPECT_FALSE(gbk::equalsIgnoringAsciiCase("cls ", "cls"));
}

}  // namespace
