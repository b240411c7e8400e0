#include "tools/bcdboot/bcdboot.h"
#include "tools/bootice/bootice.h"
#include "tools/bootsect/bootsect.h"

#include <gtest/gtest.h>

#include "roamdeck_version.h"
#include "tests/tools/fake_host.h"

namespace {

using Words = std::vector<std::string>;
using tools::kExitBadArguments;
using tools::kExitNoSourceWindows;

bool startsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

// The boot tools' work on real volumes is tested on disk images (tests/boot);
// here, what they refuse before they touch anything.
void expectRefused(int (*run)(const Words&, const tools::Host&), const Words& arguments,
                   const std::string& error) {
  FakeHost fake;
  EXPECT_EQ(run(arguments, fake.host()), kExitBadArguments) << error;
  ASSERT_EQ(fake.lines.size(), 3u) << error;
  EXPECT_EQ(fake.lines[0], error);
  EXPECT_TRUE(startsWith(fake.lines[1], "Usage: ")) << fake.lines[1];
  // The tool's name as in the error line, then the one version.
  const std::string tool = error.substr(0, error.find(':'));
  EXPECT_EQ(fake.lines[2], tool + " (Roamdeck) " ROAMDECK_VERSION);
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
  fake.lines.clear();
  EXPECT_EQ(tools::runBootice({"/Check", "/Device=no such volume"}, fake.host()),
            tools::kExitFailed);
  ASSERT_EQ(fake.lines.size(), 1u);
  EXPECT_NE(fake.lines[0].find("no such volume"), std::string::npos) << fake.lines[0];
}

int bcdboot(const Words& arguments, const tools::Host& host) {
  return tools::runBcdboot(arguments, host);
}

TEST(Bcdboot, AMissingSourceWindowsFolderFailsOnItsOwnCode) {
  FakeHost fake;
  fake.folders = {"D:\\Other"};
  EXPECT_EQ(tools::runBcdboot({"D:\\Windows", "/S", "C:\\"}, fake.host()), kExitNoSourceWindows);
  EXPECT_EQ(fake.lines,
            (Words{"bcdboot: error: the source Windows folder D:\\Windows does not exist"}));
  EXPECT_NE(kExitNoSourceWindows, kExitBadArguments);
  EXPECT_NE(kExitNoSourceWindows, tools::kExitFailed);
}

TEST(Bcdboot, BadArgumentsAreRefusedBeforeTheSourceIsLookedAt) {
  const std::pair<Words, const char*> cases[] = {
      {{}, "bcdboot: error: no source Windows folder given"},
      {{"/S", "C:\\"}, "bcdboot: error: \"/S\" is not a source Windows folder"},
      {{"", "/S", "C:\\"}, "bcdboot: error: \"\" is not a source Windows folder"},
      {{"D:\\Windows"}, "bcdboot: error: no /S <system drive> given"},
      {{"D:\\Windows", "/L"}, "bcdboot: error: nothing given after /L"},
      {{"D:\\Windows", "C:\\"}, "bcdboot: error: unknown option \"C:\\\""},
      {{"D:\\Windows", "/S"}, "bcdboot: error: nothing given after /S"},
      {{"D:\\Windows", "/S", "C:\\", "/s", "E:"}, "bcdboot: error: \"/s\" given twice"},
      {{"D:\\Windows", "/S", "C:\\", "/v"}, "bcdboot: error: unknown option \"/v\""},
      {{"D:\\Windows", "/S", "C:\\", "/f", "EFI"},
       "bcdboot: error: /f takes BIOS, UEFI or ALL, not \"EFI\""},
      {{"D:\\Windows", "/S", "C:\\", "/l", "chinese"},
       "bcdboot: error: \"chinese\" is not a locale such as en-US"},
  };
  for (const auto& [arguments, error] : cases) expectRefused(bcdboot, arguments, error);
}

// A VM's variable store is a native matter: Windows has its own firmware.
TEST(Bcdboot, NvramIsNativeOnly) {
#ifdef _WIN32
  expectRefused(bcdboot, {"D:\\Windows", "/S", "C:\\", "/nvram", "VARS.fd"},
                "bcdboot: error: unknown option \"/nvram\"");
#else
  expectRefused(bcdboot, {"/mnt/w/Windows", "/S", "/mnt/s", "/nvram"},
                "bcdboot: error: nothing given after /nvram");
  expectRefused(bcdboot, {"/mnt/w/Windows", "/S", "/mnt/s", "/nvram", "a.fd", "/NVRAM", "b.fd"},
                "bcdboot: error: \"/NVRAM\" given twice");
#endif
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
      {{"/DEVICE=C:\\", "/check", "/partitions"},
       "BOOTICE: error: /check only reads: it takes no /partitions or /activate"},
      {{"/DEVICE=C:\\", "/check", "/CHECK"}, "BOOTICE: error: \"/CHECK\" given twice"},
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

TEST(ExitCodes, OnlySuccessIsZero) {
  EXPECT_EQ(tools::kExitOk, 0);
  for (int code : {tools::kExitFailed, kExitBadArguments, kExitNoSourceWindows})
    EXPECT_NE(code, tools::kExitOk);
  EXPECT_NE(tools::kExitFailed, kExitBadArguments);
}

}  // namespace
