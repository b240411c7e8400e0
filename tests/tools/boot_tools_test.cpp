#include "tools/bcdboot/bcdboot.h"
#include "tools/bootice/bootice.h"
#include "tools/bootsect/bootsect.h"

#include <gtest/gtest.h>

#include "tests/tools/fake_host.h"

namespace {

using Words = std::vector<std::string>;
using tools::kExitBadArguments;
using tools::kExitNoSourceWindows;
using tools::kExitNothingDone;

constexpr char kNothingDone[] = "not the real tool: nothing was done.";

bool startsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(Bootsect, TheProgramsLineIsUnderstoodAndNothingIsDone) {
  FakeHost fake;
  EXPECT_EQ(tools::runBootsect({"/NT60", "sys"}, fake.host()), kExitNothingDone);
  EXPECT_EQ(fake.lines, (Words{"Asked to write the NT60 boot code to the system partition (sys), "
                               "but this build carries only a Roamdeck stand-in for bootsect.exe, "
                               "not the real tool: nothing was done."}));
  EXPECT_TRUE(fake.folderQueries.empty());
}

TEST(Bootsect, AllAndDrivesAreTargetsTooInAnyLetterCase) {
  const std::pair<Words, const char*> cases[] = {
      {{"/nt60", "SYS"}, "the system partition (SYS)"},
      {{"/NT60", "all"}, "every partition (all)"},
      {{"/Nt60", "ALL"}, "every partition (ALL)"},
      {{"/NT60", "C:"}, "drive C:"},
      {{"/NT60", "e:\\"}, "drive e:\\"},
  };
  for (const auto& [arguments, target] : cases) {
    FakeHost fake;
    EXPECT_EQ(tools::runBootsect(arguments, fake.host()), kExitNothingDone) << target;
    ASSERT_EQ(fake.lines.size(), 1u);
    EXPECT_EQ(fake.lines[0], "Asked to write the NT60 boot code to " + std::string(target) +
                                 ", but this build carries only a Roamdeck stand-in for "
                                 "bootsect.exe, not the real tool: nothing was done.");
  }
}

TEST(Bootsect, BadArgumentsGetAnErrorAndTheUsage) {
  const std::pair<Words, const char*> cases[] = {
      {{}, "bootsect.exe: error: no boot code given"},
      {{"/NT52", "sys"}, "bootsect.exe: error: unknown option \"/NT52\", expected /NT60"},
      {{"sys"}, "bootsect.exe: error: unknown option \"sys\", expected /NT60"},
      {{"/NT60"}, "bootsect.exe: error: no target given after /NT60"},
      {{"/NT60", "C"}, "bootsect.exe: error: \"C\" is not a target: expected sys, all or a drive"},
      {{"/NT60", "system"},
       "bootsect.exe: error: \"system\" is not a target: expected sys, all or a drive"},
      {{"/NT60", ""}, "bootsect.exe: error: \"\" is not a target: expected sys, all or a drive"},
      {{"/NT60", "sys", "/force"}, "bootsect.exe: error: unexpected argument \"/force\""},
  };
  for (const auto& [arguments, error] : cases) {
    FakeHost fake;
    EXPECT_EQ(tools::runBootsect(arguments, fake.host()), kExitBadArguments) << error;
    EXPECT_EQ(fake.lines, (Words{error, "Usage: bootsect.exe /NT60 {sys | all | <drive>:}"}));
  }
}

TEST(Bcdboot, TheProgramsLineIsUnderstoodWhenTheSourceExists) {
  FakeHost fake;
  fake.folders = {"D:\\Windows"};
  EXPECT_EQ(tools::runBcdboot({"D:\\Windows", "/S", "C:\\"}, fake.host()), kExitNothingDone);
  EXPECT_EQ(fake.folderQueries, (Words{"D:\\Windows"}));
  EXPECT_EQ(fake.lines,
            (Words{"Asked to copy the boot files of D:\\Windows to C:\\ and create its boot "
                   "configuration store there, but this build carries only a Roamdeck stand-in "
                   "for bcdboot.exe, not the real tool: nothing was done."}));

  FakeHost lower;
  lower.folders = {"e:\\win"};
  EXPECT_EQ(tools::runBcdboot({"e:\\win", "/s", "F:"}, lower.host()), kExitNothingDone);
  ASSERT_EQ(lower.lines.size(), 1u);
  EXPECT_TRUE(startsWith(lower.lines[0], "Asked to copy the boot files of e:\\win to F: and"));
  EXPECT_TRUE(endsWith(lower.lines[0], kNothingDone));
}

TEST(Bcdboot, AMissingSourceWindowsFolderFailsOnItsOwnCode) {
  FakeHost fake;
  fake.folders = {"D:\\Other"};
  EXPECT_EQ(tools::runBcdboot({"D:\\Windows", "/S", "C:\\"}, fake.host()), kExitNoSourceWindows);
  EXPECT_EQ(fake.lines,
            (Words{"bcdboot.exe: error: the source Windows folder D:\\Windows does not exist"}));
  EXPECT_NE(kExitNoSourceWindows, kExitBadArguments);
  EXPECT_NE(kExitNoSourceWindows, kExitNothingDone);
}

TEST(Bcdboot, BadArgumentsAreRefusedBeforeTheSourceIsLookedAt) {
  const std::pair<Words, const char*> cases[] = {
      {{}, "bcdboot.exe: error: no source Windows folder given"},
      {{"/S", "C:\\"}, "bcdboot.exe: error: \"/S\" is not a source Windows folder"},
      {{"", "/S", "C:\\"}, "bcdboot.exe: error: \"\" is not a source Windows folder"},
      {{"D:\\Windows"}, "bcdboot.exe: error: no /S <drive> given"},
      {{"D:\\Windows", "/L", "C:\\"}, "bcdboot.exe: error: unknown option \"/L\", expected /S"},
      {{"D:\\Windows", "C:\\"}, "bcdboot.exe: error: unknown option \"C:\\\", expected /S"},
      {{"D:\\Windows", "/S"}, "bcdboot.exe: error: no drive given after /S"},
      {{"D:\\Windows", "/S", "C:\\Boot"}, "bcdboot.exe: error: \"C:\\Boot\" is not a drive"},
      {{"D:\\Windows", "/S", "C:\\", "/v"}, "bcdboot.exe: error: unexpected argument \"/v\""},
  };
  for (const auto& [arguments, error] : cases) {
    FakeHost fake;
    fake.folders = {"D:\\Windows"};
    EXPECT_EQ(tools::runBcdboot(arguments, fake.host()), kExitBadArguments) << error;
    EXPECT_EQ(fake.lines, (Words{error, "Usage: bcdboot.exe <source Windows folder> /S <drive>:"}));
    EXPECT_TRUE(fake.folderQueries.empty()) << error;
  }
}

TEST(Bootice, TheProgramsLineIsUnderstoodAndNothingIsDone) {
  FakeHost fake;
  EXPECT_EQ(tools::runBootice({"/DEVICE=C:\\", "/partitions", "/activate", "/quiet"}, fake.host()),
            kExitNothingDone);
  EXPECT_EQ(fake.lines, (Words{"Asked to mark C:\\ as the active partition, but this build "
                               "carries only a Roamdeck stand-in for BOOTICE.exe, not the real "
                               "tool: nothing was done."}));
  EXPECT_TRUE(fake.folderQueries.empty());
}

TEST(Bootice, SwitchesMayComeInAnyOrderAndCaseAndQuietIsOptional) {
  const std::pair<Words, const char*> cases[] = {
      {{"/activate", "/partitions", "/device=g:"}, "g:"},
      {{"/QUIET", "/Partitions", "/ACTIVATE", "/Device=G:\\"}, "G:\\"},
  };
  for (const auto& [arguments, device] : cases) {
    FakeHost fake;
    EXPECT_EQ(tools::runBootice(arguments, fake.host()), kExitNothingDone) << device;
    ASSERT_EQ(fake.lines.size(), 1u);
    EXPECT_TRUE(startsWith(fake.lines[0],
                           "Asked to mark " + std::string(device) + " as the active partition, "))
        << fake.lines[0];
    EXPECT_TRUE(endsWith(fake.lines[0], kNothingDone));
  }
}

TEST(Bootice, BadArgumentsGetAnErrorAndTheUsage) {
  const std::pair<Words, const char*> cases[] = {
      {{}, "BOOTICE.exe: error: no /DEVICE=<drive> given"},
      {{"/partitions", "/activate"}, "BOOTICE.exe: error: no /DEVICE=<drive> given"},
      {{"/DEVICE=", "/partitions", "/activate"}, "BOOTICE.exe: error: \"\" is not a drive"},
      {{"/DEVICE=0:1", "/partitions", "/activate"}, "BOOTICE.exe: error: \"0:1\" is not a drive"},
      {{"/DEVICE=C:\\", "/activate"}, "BOOTICE.exe: error: no /partitions given"},
      {{"/DEVICE=C:\\", "/partitions"}, "BOOTICE.exe: error: no /activate given"},
      {{"/DEVICE=C:\\", "/partitions", "/activate", "/mbr"},
       "BOOTICE.exe: error: unknown switch \"/mbr\""},
      {{"/DEVICE", "/partitions", "/activate"}, "BOOTICE.exe: error: unknown switch \"/DEVICE\""},
      {{"/DEVICE=C:\\", "/partitions", "/activate", "/activate"},
       "BOOTICE.exe: error: \"/activate\" given twice"},
      {{"/DEVICE=C:\\", "/DEVICE=D:\\", "/partitions", "/activate"},
       "BOOTICE.exe: error: \"/DEVICE=D:\\\" given twice"},
  };
  for (const auto& [arguments, error] : cases) {
    FakeHost fake;
    EXPECT_EQ(tools::runBootice(arguments, fake.host()), kExitBadArguments) << error;
    EXPECT_EQ(fake.lines,
              (Words{error, "Usage: BOOTICE.exe /DEVICE=<drive>: /partitions /activate [/quiet]"}));
  }
}

TEST(ExitCodes, AreDistinctAndNeverSuccess) {
  EXPECT_NE(kExitNothingDone, 0);
  EXPECT_NE(kExitBadArguments, 0);
  EXPECT_NE(kExitNoSourceWindows, 0);
  EXPECT_NE(kExitNothingDone, kExitBadArguments);
}

}  // namespace
