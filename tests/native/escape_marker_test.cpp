#include "image/escape_marker.h"

#include <gtest/gtest.h>

namespace {

TEST(EscapeMarker, EscapesQuantifiersBracketsAndBraces) {
  EXPECT_EQ(EscapeMarker("a?b*c+d"), "a\\?b\\*c\\+d");
  EXPECT_EQ(EscapeMarker("[x](y){z}"), "\\[x\\]\\(y\\)\\{z\\}");
  EXPECT_EQ(EscapeMarker("}"), "\\}");
}

TEST(EscapeMarker, LeavesDotAnchorsBarBackslashAndSlashAlone) {
  EXPECT_EQ(EscapeMarker("a.b^$|\\/"), "a.b^$|\\/");
  EXPECT_EQ(EscapeMarker("<name>"), "<name>");
  EXPECT_EQ(EscapeMarker(""), "");
}

TEST(EscapeMarker, QuoteWordAndLineEnds) {
  EXPECT_EQ(EscapeMarker("href=#引号"), "href=\"");
  EXPECT_EQ(EscapeMarker("a\r\nb"), "a\\nb");
  EXPECT_EQ(EscapeMarker("a\nb\r"), "a\nb\r");  // only the pair is replaced
}

TEST(EscapeMarker, NeverTouchesTheSecondByteOfADoubleByteCharacter) {
  // 0x81 0x5B is a GBK character whose second byte is '['; likewise
  // 0x81 0x3F ('?'), 0x81 0x7D ('}') and 0x81 0x28 ('(').
  for (const char* text : {"\x81\x5B", "\x81\x3F", "\x81\x7D", "\x81\x28", "\x81\x2B"})
    EXPECT_EQ(EscapeMarker(text), text);
  // The same byte on its own is escaped.
  EXPECT_EQ(EscapeMarker("\x81\x5B["), "\x81\x5B\\[");
}

TEST(ReplaceAllGbk, ResumesBehindEachReplacement) {
  EXPECT_EQ(replaceAllGbk("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(replaceAllGbk("abab", "ab", ""), "");
  EXPECT_EQ(replaceAllGbk("abc", "", "x"), "abc");
  // "#引号" split across a character boundary is not an occurrence.
  EXPECT_EQ(replaceAllGbk("\x81#引号", "#引号", "\""), "\x81#引号");
}

}  // namespace
