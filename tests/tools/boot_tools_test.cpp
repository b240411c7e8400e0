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

// The boot tools' work on real volumes is tested on disk images (tests/boot);
// here, what they refuse before they touch anything.
void expectRefused(int (*run)(const Words&, const tools::Host&), const Words& arguments,
                   const std::string& error) {
  FakeHost fake;
  EXPECT_EQ(run(arguments, fake.host()), kExitBadArguments) << error;
  ASSERT_EQ(fake.lines.size(), 2u) << error;
  EXPECT_EQ(fake.lines[0], error);
  EXPECT_TRUE(startsWith(fake.lines[1], "Usage: ")) << fake.lines[1];
}

int bootsect(const Words& arguments, const tools::Host& host) {
  return tools::runBootsect(arguments, host);
}
int bootice(const Words& arguments, const tools::Host& host) {
  return tools::runBootice(arguments, host);
}

TEST(Bootsect, BadArgumentsGetAnErrorAndTheUsage) {
  const std::pair<Words, const char*> cases[] = {
      {{}, "bootsect: error: no boot code given"},
      {{"/NT52", "C:"}, "bootsect: error: unknown option \"/NT52\", expected /NT60"},
      {{"C:"}, "bootsect: error: unknown option \"C:\", expected /NT60"},
      {{"/NT60"}, "bootsect: error: no target given after /NT60"},
      {{"/NT60", "sys"}, "bootsect: error: name the volume itself: \"sys\" is not supported"},
      {{"/nt60", "ALL"}, "bootsect: error: name the volume itself: \"ALL\" is not supported"},
      {{"/NT60", "C:", "/force"}, "bootsect: error: unexpected argument \"/force\""},
  };
  for (const auto& [arguments, error] : cases) expectRefused(bootsect, arguments, error);
}

TEST(Bootsect, ATargetThatIsNoVolumeFailsWithItsReason) {
  FakeHost fake;
  EXPECT_EQ(tools::runBootsect({"/NT60", "no such volume"}, fake.host()), tools::kExitFailed);
  ASSERT_EQ(fake.lines.size(), 1u);
  EXPECT_TRUE(startsWith(fake.lines[0], "bootsect: error: ")) << fake.lines[0];
  EXPECT_NE(fake.lines[0].find("no such volume"), std::string::npos) << fake.lines[0];
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

TEST(Bootice, BadArgumentsGetAnErrorAndTheUsage) {
  const std::pair<Words, const char*> cases[] = {
      {{}, "BOOTICE: error: no /DEVICE=<drive> given"},
      {{"/partitions", "/activate"}, "BOOTICE: error: no /DEVICE=<drive> given"},
      {{"/DEVICE=", "/partitions", "/activate"}, "BOOTICE: error: no drive given after /DEVICE="},
      {{"/DEVICE=C:\\", "/activate"}, "BOOTICE: error: no /partitions given"},
      {{"/DEVICE=C:\\", "/partitions"}, "BOOTICE: error: no /activate given"},
      {{"/DEVICE=C:\\", "/partitions", "/activate", "/mbr"},
       "BOOTICE: error: unknown switch \"/mbr\""},
      {{"/DEVICE", "/partitions", "/activate"}, "BOOTICE: error: unknown switch \"/DEVICE\""},
      {{"/DEVICE=C:\\", "/partitions", "/activate", "/activate"},
       "BOOTICE: error: \"/activate\" given twice"},
      {{"/DEVICE=C:\\", "/DEVICE=D:\\", "/partitions", "/activate"},
       "BOOTICE: error: \"/DEVICE=D:\\\" given twice"},
  };
  for (const auto& [arguments, error] : cases) expectRefused(bootice, arguments, error);
}

TEST(Bootice, SwitchesMayComeInAnyOrderAndCase) {
  // Understood: it goes on to look for the volume, which is not there.
  FakeHost fake;
  EXPECT_EQ(tools::runBootice({"/QUIET", "/Partitions", "/ACTIVATE", "/Device=no such volume"},
                              fake.host()),
            tools::kExitFailed);
  ASSERT_EQ(fake.lines.size(), 1u);
  EXPECT_NE(fake.lines[0].find("no such volume"), std::string::npos) << fake.lines[0];
}

TEST(ExitCodes, AreDistinctAndNeverSuccess) {
  EXPECT_NE(kExitNothingDone, 0);
  EXPECT_NE(kExitBadArguments, 0);
  EXPECT_NE(kExitNoSourceWindows, 0);
  EXPECT_NE(kExitNothingDone, kExitBadArguments);
}

}  // namespace
