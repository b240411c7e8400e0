#include "install/progress_text.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(LineSplitting, CutsAtCrLfOnlyAndDropsTheEmptyLastPiece) {
  EXPECT_EQ(LineCount(""), 0);
  EXPECT_EQ(LineCount("a"), 1);
  EXPECT_EQ(LineCount("a\r\n"), 1);
  EXPECT_EQ(LineCount("a\r\nb"), 2);
  EXPECT_EQ(LineCount("a\r\n\r\nb\r\n"), 3);  // empty lines inside count
  EXPECT_EQ(LineCount("a\nb\rc"), 1);         // lone LF and CR do not split
  EXPECT_EQ(LineCount("\r\n"), 1);
  EXPECT_EQ(LineAt("\r\n", 1), "");
  EXPECT_EQ(LineAt("a\r\n\r\nb\r\n", 2), "");
  EXPECT_EQ(LineAt("a\r\n\r\nb\r\n", 3), "b");
  EXPECT_EQ(LineAt("a\r\nb", 0), "");
  EXPECT_EQ(LineAt("a\r\nb", 3), "");
  EXPECT_EQ(LineAt("a\nb\rc", 1), "a\nb\rc");
}

TEST(TextBetween, FindsTheTextBetweenMarkers) {
  EXPECT_EQ(TextBetween("x[ 47% ] Applying", "[ ", "% ] Applying"), "47");
  EXPECT_EQ(TextBetween("ab", "a", "b"), "");  // touching markers
  EXPECT_EQ(TextBetween("abc", "x", "c"), "");
  EXPECT_EQ(TextBetween("abc", "a", "x"), "");
  EXPECT_EQ(TextBetween("a1b a2b", "a", "b", 3), "2");  // positions count from 1
  EXPECT_EQ(TextBetween("AbC", "a", "c", 0, true), "b");
  EXPECT_EQ(TextBetween("AbC", "a", "c"), "");
  EXPECT_EQ(TextBetween("say \"hi\"", "#引号", "#引号"), "hi");
  // The end marker is searched after the start marker only.
  EXPECT_EQ(TextBetween("b a x b", "a", "b"), " x ");
}

TEST(TextBetween, MatchesOnlyOnCharacterBoundaries) {
  // 0xB0 0xA1 is one character; "\xA1[" must not match inside it.
  EXPECT_EQ(TextBetween("\xB0\xA1[x]", "\xA1[", "]"), "");
  EXPECT_EQ(TextBetween("\xA1[x]", "\xA1[", "]"), "x");
  // 0x81 0x5D: the second byte is ']', which is not an end marker here.
  EXPECT_EQ(TextBetween("[\x81\x5D]", "[", "]"), "\x81\x5D");
}

struct LineCase {
  const char* log;
  const char* percentLabel;
  int bar;
  const char* remainingLabel;
};

TEST(ProgressView, EachLineShape) {
  const LineCase cases[] = {
      {"[  47% ] Applying progress ", "已完成： 47 %", 47, "剩余时间：正在计算"},
      {"[  47% ] Applying progress: 2:30 mins remaining ", "已完成： 47 %", 47,
       "剩余时间：00: 2:30 "},
      {"[   5% ] Applying progress: 9 secs remaining ", "已完成：  5 %", 5, "剩余时间：00:00: 9 "},
      {"[  12% ] Applying progress: 1:02:03 hrs remaining ", "已完成： 12 %", 12,
       "剩余时间：正在计算"},
      {"[ 100% ] Applying progress ", "已完成：100 %", 100, "剩余时间：正在计算"},
      {"[ WARN ] something odd", "已完成： %", 0, "剩余时间：正在计算"},
      {"[ ERROR ] broken image", "已完成： %", 0, "剩余时间：正在计算"},
      {"C:\\windows\\system32>", "已完成： %", 0, "剩余时间：正在计算"},
      {"", "已完成： %", 0, "剩余时间：正在计算"},
      // A box ending in CR LF: the complete line before it is parsed.
      {"banner\r\n[  30% ] Applying progress: 7 secs remaining \r\n", "已完成： 30 %", 30,
       "剩余时间：00:00: 7 "},
      // A read that ended mid-line: fields whose end marker is missing are empty.
      {"[  30% ] Applying progress ok\r\n[  31% ] Applying progress: 1:", "已完成： 31 %", 31,
       "剩余时间：正在计算"},
      {"[  30% ] Applying progress ok\r\n[  3", "已完成： %", 0, "剩余时间：正在计算"},
      // "secs remaining" needs its trailing space.
      {"[  40% ] Applying progress: 9 secs remaining", "已完成： 40 %", 40, "剩余时间：正在计算"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.log);
    ProgressView view = progressViewOf(c.log);
    EXPECT_EQ(view.percentLabel, c.percentLabel);
    EXPECT_EQ(view.barPosition, c.bar);
    EXPECT_EQ(view.remainingLabel, c.remainingLabel);
  }
}

std::string lastLine(const std::string& text) { return LineAt(text, LineCount(text)); }

TEST(LogTail, KeepsTheLastLineOfTheWholeBox) {
  LogTail tail;
  resetLogTail(tail, "banner\r\nC:\\>");
  EXPECT_EQ(tail.text, "C:\\>");
  appendToLogTail(tail, "cmd\r");
  appendToLogTail(tail, "\n[  5% ] Applying progress \r\n");  // CR LF split over two pieces
  EXPECT_EQ(tail.text, "[  5% ] Applying progress \r\n");
  resetLogTail(tail, "");
  EXPECT_EQ(tail.text, "");

  // Random pieces of separators and text, with the box emptied now and then
  // as the reader does: the tail's last line is always the box's.
  std::mt19937 random(7);
  const char alphabet[] = {'a', ' ', '\r', '\n', '\r', '\n', '\xB0', '%'};
  std::string box;
  for (int step = 0; step < 5000; ++step) {
    std::string piece(random() % 6, ' ');
    for (char& c : piece) c = alphabet[random() % sizeof alphabet];
    if (random() % 50 == 0) {
      box = piece;
      resetLogTail(tail, box);
    } else {
      box += piece;
      appendToLogTail(tail, piece);
    }
    ASSERT_EQ(lastLine(tail.text), lastLine(box)) << step;
    ASSERT_LE(tail.text.size(), box.size());
  }
}

TEST(ProgressView, LeadingNumberTruncatesTowardZero) {
  EXPECT_EQ(leadingNumber("  47"), 47);
  EXPECT_EQ(leadingNumber("47.9"), 47);
  EXPECT_EQ(leadingNumber("-3.7"), -3);
  EXPECT_EQ(leadingNumber("x47"), 0);
  EXPECT_EQ(leadingNumber(""), 0);
  EXPECT_EQ(leadingNumber("99999999999"), 2147483647);
}

TEST(Clock, FormatsElapsedTime) {
  EXPECT_EQ(FormatClock(0), "00:00:00");
  EXPECT_EQ(FormatClock(3725), "01:02:05");
  EXPECT_EQ(elapsedLabel(59999), "已用时间：00:00:59");
  EXPECT_EQ(elapsedLabel(3600000), "已用时间：01:00:00");
  EXPECT_EQ(elapsedLabel(360000000), "已用时间：100:00:00");
  EXPECT_EQ(elapsedLabel(999), "已用时间：00:00:00");
}

}  // namespace
