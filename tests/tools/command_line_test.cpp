#include <gtest/gtest.h>

#include "tools/cli/command_line.h"
#include "roamdeck_version.h"
#include "tests/tools/fake_host.h"

namespace {

using tools::splitCommandLine;
using Words = std::vector<std::string>;

TEST(CommandLine, SplitsTheProgramsOwnLinesAtBlanks) {
  EXPECT_EQ(splitCommandLine("bootsect.exe /NT60 sys"), (Words{"bootsect.exe", "/NT60", "sys"}));
  // Drive roots and folders keep their backslashes: none stands before a quote.
  EXPECT_EQ(splitCommandLine("BCDBOOT.EXE D:\\Windows /S C:\\"),
            (Words{"BCDBOOT.EXE", "D:\\Windows", "/S", "C:\\"}));
  EXPECT_EQ(splitCommandLine("BOOTICE.EXE /DEVICE=C:\\ /partitions /activate /quiet"),
            (Words{"BOOTICE.EXE", "/DEVICE=C:\\", "/partitions", "/activate", "/quiet"}));
  EXPECT_EQ(splitCommandLine("  a.exe \t x   y\t"), (Words{"", "a.exe", "x", "y"}));
  EXPECT_EQ(splitCommandLine(""), (Words{""}));
  EXPECT_EQ(splitCommandLine("a.exe"), (Words{"a.exe"}));
}

TEST(CommandLine, QuotesGroupAndBackslashesEscapeOnlyBeforeAQuote) {
  EXPECT_EQ(splitCommandLine("a.exe \"C:\\Program Files\\x\" y"),
            (Words{"a.exe", "C:\\Program Files\\x", "y"}));
  EXPECT_EQ(splitCommandLine("a.exe \"\" y"), (Words{"a.exe", "", "y"}));
  EXPECT_EQ(splitCommandLine("a.exe ab\"c d\"e"), (Words{"a.exe", "abc de"}));
  EXPECT_EQ(splitCommandLine("a.exe \"x\"\"y\" z"), (Words{"a.exe", "x\"y", "z"}));
  EXPECT_EQ(splitCommandLine("a.exe x\"\"y"), (Words{"a.exe", "xy"}));
  // 2n backslashes and a quote: n backslashes, and the quote groups.
  EXPECT_EQ(splitCommandLine("a.exe \"x\\\\\" y"), (Words{"a.exe", "x\\", "y"}));
  // 2n+1 backslashes and a quote: n backslashes and a literal quote.
  EXPECT_EQ(splitCommandLine("a.exe x\\\"y"), (Words{"a.exe", "x\"y"}));
  EXPECT_EQ(splitCommandLine("a.exe x\\\\\\\"y"), (Words{"a.exe", "x\\\"y"}));
  // A quoted root loses its quote to the backslash, as with the real tools.
  EXPECT_EQ(splitCommandLine("a.exe \"C:\\\" y"), (Words{"a.exe", "C:\" y"}));
  EXPECT_EQ(splitCommandLine("a.exe x\\\\y\\"), (Words{"a.exe", "x\\\\y\\"}));
}

TEST(CommandLine, TheProgramNameKnowsNoEscapes) {
  EXPECT_EQ(splitCommandLine("\"C:\\Tools\\\" x"), (Words{"C:\\Tools\\", "x"}));
  EXPECT_EQ(splitCommandLine("\"C:\\My Tools\\bootsect.exe\" /NT60 sys"),
            (Words{"C:\\My Tools\\bootsect.exe", "/NT60", "sys"}));
  EXPECT_EQ(splitCommandLine("C:\\a\"b c\"\\d.exe x"), (Words{"C:\\ab c\\d.exe", "x"}));
}

TEST(CommandLine, GbkCharactersMoveWhole) {
  // 表 is B1 ED, 能 is C4 DC; 朶 is 96 5C, whose second byte is the
  // backslash and must not escape the quote after it.
  const std::string folder = "D:\\\xB1\xED\xC4\xDC";
  EXPECT_EQ(splitCommandLine("a.exe " + folder + " y"), (Words{"a.exe", folder, "y"}));
  const std::string endsIn5C = "\x96\x5C";
  EXPECT_EQ(splitCommandLine("a.exe \"x" + endsIn5C + "\" y"),
            (Words{"a.exe", "x" + endsIn5C, "y"}));
}

TEST(CommandLine, TheLineIsPrintedFirstAndTheArgumentsFollowTheName) {
  FakeHost fake;
  static Words seen;
  seen.clear();
  auto run = [](const Words& arguments, const tools::Host& host) {
    seen = arguments;
    host.printLine("ran");
    return 7;
  };
  EXPECT_EQ(tools::runFromCommandLine("tool.exe  /x \"a b\"", run, fake.host()), 7);
  EXPECT_EQ(fake.lines, (Words{"tool.exe  /x \"a b\"", "ran"}));
  EXPECT_EQ(seen, (Words{"/x", "a b"}));
}

TEST(CommandLine, VersionAloneAnswersWithTheVersionLineAndRunsNothing) {
  FakeHost fake;
  static bool ran;
  ran = false;
  auto run = [](const Words&, const tools::Host&) {
    ran = true;
    return 7;
  };
  EXPECT_EQ(
      tools::runFromCommandLine("C:\\Windows\\System32\\bootsect.EXE --version", run, fake.host()),
      tools::kExitOk);
  EXPECT_FALSE(ran);
  EXPECT_EQ(fake.lines, (Words{"bootsect (Roamdeck) " ROAMDECK_VERSION}));
  // Anywhere but alone, it is an ordinary argument for the tool.
  fake.lines.clear();
  EXPECT_EQ(tools::runFromCommandLine("bootsect --version /NT60", run, fake.host()), 7);
  EXPECT_TRUE(ran);
}

TEST(CommandLine, HelpAloneAnswersWithTheHelpWhereTheToolHasOne) {
  static bool ran;
  auto run = [](const Words&, const tools::Host&) {
    ran = true;
    return 7;
  };
  for (const char* line : {"/usr/bin/bootsect --help", "bootsect -h"}) {
    FakeHost fake;
    ran = false;
    EXPECT_EQ(tools::runFromCommandLine(line, run, fake.host(), "Usage: bootsect\n\n  /NT60"),
              tools::kExitOk);
    EXPECT_FALSE(ran) << line;
    EXPECT_EQ(fake.lines,
              (Words{"Usage: bootsect", "", "  /NT60", "bootsect (Roamdeck) " ROAMDECK_VERSION}));
  }
  // Without a help text (the Windows tools), or beside other arguments, the
  // tool gets it as it gets any argument.
  const std::pair<const char*, const char*> others[] = {{"bootsect --help", nullptr},
                                                        {"bootsect --help /NT60", "help"}};
  for (const auto& [line, help] : others) {
    FakeHost fake;
    ran = false;
    EXPECT_EQ(tools::runFromCommandLine(line, run, fake.host(), help), 7) << line;
    EXPECT_TRUE(ran) << line;
    EXPECT_EQ(fake.lines, (Words{line}));
  }
}

TEST(CommandLine, TheProgramNameLosesFolderAndExe) {
  EXPECT_EQ(tools::programName("/usr/bin/bcdboot"), "bcdboot");
  EXPECT_EQ(tools::programName("C:\\Windows\\System32\\BOOTICE.exe"), "BOOTICE");
  EXPECT_EQ(tools::programName("Vondrimal.Exe"), "Vondrimal");
  EXPECT_EQ(tools::programName(".exe"), ".exe");
  // 0x5C as the second byte of a GBK character is not a separator.
  EXPECT_EQ(tools::programName("D:\\\xB1\x5C\\x.exe"), "x");
  EXPECT_EQ(tools::programName("\xB1\x5Cx.exe"), "\xB1\x5Cx");
}

TEST(CommandLine, TheErrorLineNamesTheTool) {
  EXPECT_EQ(tools::errorLine("x.exe", "bad"), "x.exe: error: bad");
}

}  // namespace
