#include "install/console_text.h"

#include <gtest/gtest.h>

namespace {

using console_text::CommandKind;

TEST(ConsoleText, ExitAndClsInAnyLetterCaseAreTheConsolesOwnWords) {
  EXPECT_EQ(console_text::classify("exit"), CommandKind::Exit);
  EXPECT_EQ(console_text::classify("EXIT"), CommandKind::Exit);
  EXPECT_EQ(console_text::classify("eXiT"), CommandKind::Exit);
  EXPECT_EQ(console_text::classify("Cls"), CommandKind::Cls);
  EXPECT_EQ(console_text::classify("exit 1"), CommandKind::Line);
  EXPECT_EQ(console_text::classify("cls2"), CommandKind::Line);
  EXPECT_EQ(console_text::classify(""), CommandKind::Line);
}

TEST(ConsoleText, LineEndsInCrLf) {
  EXPECT_EQ(console_text::lineToSend(""), "\r\n");
  EXPECT_EQ(console_text::lineToSend("dir"), "dir\r\n");
}

TEST(ConsoleText, LogIsEmptiedOnlyPastThirtyThousand) {
  EXPECT_FALSE(console_text::mustEmptyLog(29990, 10));
  EXPECT_TRUE(console_text::mustEmptyLog(29990, 20));
  EXPECT_FALSE(console_text::mustEmptyLog(0, 260));
  EXPECT_TRUE(console_text::mustEmptyLog(30000, 1));
}

TEST(ConsoleText, PieceIsCutAtTheFirstNul) {
  const char bytes[] = {'a', 'b', '\0', 'c', 'd'};
  EXPECT_EQ(console_text::pieceOf(bytes, 5), "ab");
  EXPECT_EQ(console_text::pieceOf(bytes, 2), "ab");
  EXPECT_EQ(console_text::pieceOf(bytes, 0), "");
  // A piece may end between the two bytes of a character: kept unchanged.
  const char split[] = {'x', '\xB0'};
  EXPECT_EQ(console_text::pieceOf(split, 2), std::string("x\xB0"));
}

}  // namespace
