#include "install/install_text.h"

#include <gtest/gtest.h>

namespace {

using namespace install_text;

TEST(InstallText, CommandLines) {
  EXPECT_EQ(applyCommandLine("E:\\sources\\install.wim", 2, "D:\\"),
            "Vondrimal.exe /apply \"E:\\sources\\install.wim\" 2 D:\\");
  EXPECT_EQ(applyCommandLine("E:\\my images\\a&b.wim", 0, ""),
            "Vondrimal.exe /apply \"E:\\my images\\a&b.wim\" 0 ");
  EXPECT_EQ(bootsectCommandLine("C:\\"), "bootsect.exe /NT60 C:");
  EXPECT_EQ(bcdbootCommandLine("D:\\", "C:\\"), "BCDBOOT.EXE D:\\Windows /S C:\\");
  EXPECT_EQ(booticeCommandLine("C:\\"), "BOOTICE.EXE /DEVICE=C:\\ /partitions /activate /quiet");
  EXPECT_EQ(booticeConsoleLine("C:\\"),
            "start \"\" /b /wait BOOTICE.EXE /DEVICE=C:\\ /partitions /activate /quiet");
  EXPECT_EQ(withResultLine("BCDBOOT.EXE D:\\Windows /S C:\\", kBcdbootResult),
            "BCDBOOT.EXE D:\\Windows /S C:\\ & call echo ##RDK^-RESULT-3-%^errorlevel%##");
}

TEST(ResultScanner, FindsResultsAlsoAcrossReads) {
  ResultScanner scanner;
  auto results = scanner.feed("noise\r\n##RDK-RESULT-1-0##\r\nC:\\>");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].tag, 1);
  EXPECT_EQ(results[0].code, 0);

  // Split at every possible place.
  const std::string line = "x##RDK-RESULT-3-9009##y";
  for (size_t cut = 0; cut <= line.size(); ++cut) {
    ResultScanner split;
    auto first = split.feed(line.substr(0, cut));
    auto second = split.feed(line.substr(cut));
    first.insert(first.end(), second.begin(), second.end());
    ASSERT_EQ(first.size(), 1u) << cut;
    EXPECT_EQ(first[0].tag, 3);
    EXPECT_EQ(first[0].code, 9009);
  }
}

TEST(ResultScanner, IgnoresTheEchoedCommandAndMalformedLines) {
  ResultScanner scanner;
  // What Windows' cmd echoes before running the echo: never a result.
  EXPECT_TRUE(scanner.feed("C:\\>x & call echo ##RDK^-RESULT-1-%^errorlevel%##\r\n").empty());
  EXPECT_TRUE(scanner.feed("##RDK-RESULT-1-%errorlevel%##").empty());
  EXPECT_TRUE(scanner.feed("##RDK-RESULT--0##").empty());
  EXPECT_TRUE(scanner.feed("##RDK-RESULT-1-##").empty());
  EXPECT_TRUE(scanner.feed("##RDK-RESULT-x-1##").empty());
  auto negative = scanner.feed("##RDK-RESULT-4--1##");
  ASSERT_EQ(negative.size(), 1u);
  EXPECT_EQ(negative[0].code, -1);
  // Two in one piece, in order.
  auto two = scanner.feed("##RDK-RESULT-2-0####RDK-RESULT-3-1##");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].tag, 2);
  EXPECT_EQ(two[1].tag, 3);
  EXPECT_EQ(two[1].code, 1);
}

TEST(ResultScanner, AnUnfinishedLineDoesNotGrowWithoutBound) {
  ResultScanner scanner;
  EXPECT_TRUE(scanner.feed("##RDK-RESULT-1-").empty());
  EXPECT_TRUE(scanner.feed(std::string(100000, '7')).empty());
  // Later results are still found.
  EXPECT_EQ(scanner.feed("##RDK-RESULT-2-0##").size(), 1u);
}

TEST(InstallText, AFailedToolsReasonIsItsLastErrorLine) {
  // As Windows' cmd shows it: prompt, echoed command (with the caret), the
  // tool's own lines, then the result line.
  const std::string log =
      "C:\\Windows\\system32>bootsect.exe /NT60 C: & call echo ##RDK^-RESULT-2-%^errorlevel%##\r\n"
      "bootsect.exe /NT60 C:\r\n"
      "NTFS boot code that starts BOOTMGR was written to C:.\r\n"
      "##RDK-RESULT-2-0##\r\n"
      "\r\nC:\\Windows\\system32>BOOTICE.EXE /DEVICE=C:\\ /partitions /activate /quiet & call "
      "echo ##RDK^-RESULT-4-%^errorlevel%##\r\n"
      "BOOTICE.EXE /DEVICE=C:\\ /partitions /activate /quiet\r\n"
      "BOOTICE: error: first try\r\n"
      "BOOTICE: error: C: is a logical partition, which cannot be active\r\n"
      "Usage: BOOTICE.exe /DEVICE=<drive>: /partitions /activate [/quiet]\r\n"
      "##RDK-RESULT-4-1##\r\n";
  EXPECT_EQ(toolFailureReason(log, kBooticeResult),
            "C: is a logical partition, which cannot be active");
  // bootsect succeeded and said no error; bcdboot never ran.
  EXPECT_EQ(toolFailureReason(log, kBootsectResult), "");
  EXPECT_EQ(toolFailureReason(log, kBcdbootResult), "");
  // Another tool's words: the whole line.
  EXPECT_EQ(toolFailureReason("Error: no drive\n##RDK-RESULT-3-5##", kBcdbootResult),
            "Error: no drive");
  // The imaging tool's error line, after its progress.
  EXPECT_EQ(toolFailureReason("[ INFO ] Applying image 1\r\n[ ERROR ] cannot write \"a\": No "
                              "space left on device (ENOSPC)\r\n##RDK-RESULT-1-12##",
                              kApplyResult),
            "cannot write \"a\": No space left on device (ENOSPC)");
}

TEST(InstallText, SystemFoldersAndProcessNames) {
  EXPECT_EQ(systemFolderNames(),
            (std::vector<std::string>{"Windows", "Program Files (x86)", "Program Files",
                                      "Documents and Settings", "Users", "ProgramData"}));
  EXPECT_TRUE(sameProcessName("VONDRIMAL.EXE", "Vondrimal.exe", false));
  EXPECT_FALSE(sameProcessName("VONDRIMAL.EXE", "Vondrimal.exe", true));
  EXPECT_FALSE(sameProcessName("\x81\x41.exe", "\x81\x61.exe", false));  // GBK second bytes stay
}

}  // namespace
