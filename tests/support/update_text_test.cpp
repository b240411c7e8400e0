// The update page's values, release notes, size text and address check.
#include "support/update_text.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(TextAfterMarker, TakesTheValueUpToTheEndMarker) {
  EXPECT_EQ(textAfterMarker("<td>最新版本:V3.10</td>", "最新版本:", "<"), "V3.10");
  EXPECT_EQ(textAfterMarker("a:1<b:2<", "b:", "<"), "2");
  // The first occurrence wins, and the end marker is searched after it.
  EXPECT_EQ(textAfterMarker("<x:one<x:two<", "x:", "<"), "one");
}

TEST(TextAfterMarker, IsEmptyWhenTheMarkerOrTheEndIsMissing) {
  EXPECT_EQ(textAfterMarker("no markers here", "最新版本:", "<"), "");
  EXPECT_EQ(textAfterMarker("最新版本:V3.10", "最新版本:", "<"), "");
  EXPECT_EQ(textAfterMarker("最新版本:<b>V3.10", "最新版本:", "<"), "");
  EXPECT_EQ(textAfterMarker("", "最新版本:", "<"), "");
}

TEST(TextAfterMarker, MatchesOnlyAtCharacterBoundaries) {
  // 0x81 0x41 is one character whose second byte is 'A': "A:" must not be
  // found inside it, only at the real "A:" further on.
  EXPECT_EQ(textAfterMarker("\x81"
                            "A:bad<A:good<",
                            "A:", "<"),
            "good");
  // Nor may the end marker be taken from the second byte of a character.
  EXPECT_EQ(textAfterMarker("k=\x81@x@", "k=", "@"), "\x81@x");
  // "版本:" is B0 E6 B1 BE 3A; here those bytes start inside the character
  // 81 B0 and must not count.
  std::string text = std::string("\x81\xB0\xE6\xB1\xBE:bad<") + "版本:good<";
  EXPECT_EQ(textAfterMarker(text, "版本:", "<"), "good");
}

TEST(UpdateMarkers, AreTheFourMarkersInReadingOrder) {
  ASSERT_EQ(kUpdateMarkerCount, 4u);
  EXPECT_STREQ(kUpdateMarkers[0], "最新版本:");
  EXPECT_STREQ(kUpdateMarkers[1], "发布时间:");
  EXPECT_STREQ(kUpdateMarkers[2], "文件大小:");
  EXPECT_STREQ(kUpdateMarkers[3], "下载地址:");
  // GBK bytes, as the program compares them: 最 is D7 EE.
  EXPECT_EQ(std::string(kUpdateMarkers[0]).substr(0, 2), "\xD7\xEE");
  EXPECT_STREQ(kValueEnd, "<");
}

TEST(ReadPublishedUpdate, TrimsBothKindsOfSpace) {
  const std::string page =
      "<html><p>最新版本:  V3.10 </p><p>发布时间:\xA1\xA1"
      "2026-12-01\xA1\xA1</p>"
      "<p>文件大小: 1536</p><p>下载地址: http://host/m.zip </p></html>";
  PublishedUpdate update = readPublishedUpdate(page);
  EXPECT_EQ(update.latestVersion, "V3.10");
  EXPECT_EQ(update.releaseTime, "2026-12-01");
  EXPECT_EQ(update.fileSizeText, "1536");
  EXPECT_EQ(update.downloadAddress, "http://host/m.zip");
}

TEST(ReadPublishedUpdate, GivesEmptyValuesForAPageWithoutMarkers) {
  PublishedUpdate update = readPublishedUpdate("<html><body>nothing</body></html>");
  EXPECT_EQ(update.latestVersion, "");
  EXPECT_EQ(update.releaseTime, "");
  EXPECT_EQ(update.fileSizeText, "");
  EXPECT_EQ(update.downloadAddress, "");
}

TEST(ReleaseNotes, RemoveNbspAndKeepOtherEntities) {
  EXPECT_EQ(withoutNbsp("&nbsp;&nbsp;修正&nbsp;错误"), "修正错误");
  EXPECT_EQ(withoutNbsp("a &amp; b"), "a &amp; b");
  EXPECT_EQ(withoutNbsp("&NBSP;"), "&NBSP;");  // letter case counts
  EXPECT_EQ(withoutNbsp("&nbsp"), "&nbsp");
  EXPECT_EQ(joinReleaseNotes({"一&nbsp;", "two"}), "一\r\ntwo\r\n");
  EXPECT_EQ(joinReleaseNotes({}), "");
}

TEST(LeadingInteger, ReadsLikeAtoi) {
  EXPECT_EQ(leadingInteger("1536"), 1536);
  EXPECT_EQ(leadingInteger("0"), 0);
  EXPECT_EQ(leadingInteger("12KB"), 12);
  EXPECT_EQ(leadingInteger("-12"), -12);
  EXPECT_EQ(leadingInteger("+7"), 7);
  EXPECT_EQ(leadingInteger("abc"), 0);
  EXPECT_EQ(leadingInteger(""), 0);
  EXPECT_EQ(leadingInteger("-"), 0);
  EXPECT_EQ(leadingInteger("2147483647"), INT_MAX);
  EXPECT_EQ(leadingInteger("99999999999999999999999"), INT_MAX);
  EXPECT_EQ(leadingInteger("-99999999999999999999999"), INT_MIN);
}

TEST(ShortenByteSizeText, DropsTheWordForBytes) {
  EXPECT_EQ(shortenByteSizeText("0 字节"), "0");
  EXPECT_EQ(shortenByteSizeText("1023 字节"), "1023 B");
  EXPECT_EQ(shortenByteSizeText("1.50 KB"), "1.50 KB");
  EXPECT_EQ(shortenByteSizeText("0 bytes"), "0 bytes");
}

TEST(IsWebAddress, AcceptsOnlyHttpAndHttps) {
  EXPECT_TRUE(isWebAddress("http://host/m.zip"));
  EXPECT_TRUE(isWebAddress("https://host/m.zip"));
  EXPECT_TRUE(isWebAddress("HTTP://HOST/"));
  EXPECT_TRUE(isWebAddress("HttpS://host/"));
  EXPECT_FALSE(isWebAddress(""));
  EXPECT_FALSE(isWebAddress("http:/host"));
  EXPECT_FALSE(isWebAddress("ftp://host/m.zip"));
  EXPECT_FALSE(isWebAddress("file:///C:/Windows/System32/cmd.exe"));
  EXPECT_FALSE(isWebAddress("C:\\Windows\\System32\\cmd.exe"));
  EXPECT_FALSE(isWebAddress(" http://host/"));
  EXPECT_FALSE(isWebAddress("javascript:alert(1)"));
}

TEST(ValidUtf8PrefixLength, StopsAtTheFirstInvalidSequence) {
  EXPECT_EQ(validUtf8PrefixLength(""), 0u);
  EXPECT_EQ(validUtf8PrefixLength("plain"), 5u);
  EXPECT_EQ(validUtf8PrefixLength("\xE6\x9C\x80"
                                  "A"),
            4u);                                              // 最
  EXPECT_EQ(validUtf8PrefixLength("\xF0\x9F\x98\x80!"), 5u);  // U+1F600
  EXPECT_EQ(validUtf8PrefixLength("ab\xFF"
                                  "cd"),
            2u);                                       // never valid
  EXPECT_EQ(validUtf8PrefixLength("ab\x80"), 2u);      // lone continuation
  EXPECT_EQ(validUtf8PrefixLength("ab\xE6\x9C"), 2u);  // cut short
  EXPECT_EQ(validUtf8PrefixLength("ab\xE6"
                                  "A"
                                  "\x80"),
            2u);                                              // broken in the middle
  EXPECT_EQ(validUtf8PrefixLength("a\xC0\xAF"), 1u);          // overlong '/'
  EXPECT_EQ(validUtf8PrefixLength("a\xE0\x80\xAF"), 1u);      // overlong '/'
  EXPECT_EQ(validUtf8PrefixLength("a\xED\xA0\x80"), 1u);      // surrogate D800
  EXPECT_EQ(validUtf8PrefixLength("a\xF4\x90\x80\x80"), 1u);  // above U+10FFFF
  EXPECT_EQ(validUtf8PrefixLength("a\xEF\xBF\xBD"
                                  "b"),
            5u);  // U+FFFD is valid
}

}  // namespace
