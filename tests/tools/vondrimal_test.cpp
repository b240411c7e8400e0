#include "tools/vondrimal/vondrimal.h"

#include <gtest/gtest.h>

#include "roamdeck_version.h"
#include "tests/tools/fake_host.h"

namespace {

using Words = std::vector<std::string>;
using tools::VondrimalCommand;

Words g_received;

int recordInfo(const Words& arguments, const tools::Host& host) {
  g_received = arguments;
  host.printLine("info ran");
  return 40;
}

int recordApply(const Words& arguments, const tools::Host& host) {
  g_received = arguments;
  host.printLine("apply ran");
  return 41;
}

const std::vector<VondrimalCommand> kTwoCommands = {
    {"/INFO", "<image file>", recordInfo},
    {"/apply", "<image file> <index> <target folder>", recordApply},
};

TEST(Vondrimal, UnknownCommandsGetTheUsageWithTheKnownOnes) {
  const std::pair<Words, const char*> cases[] = {
      {{}, "Vondrimal.exe: error: no command given"},
      {{"/export", "E:\\sources\\install.wim"},
       "Vondrimal.exe: error: unknown command \"/export\""},
      {{""}, "Vondrimal.exe: error: unknown command \"\""},
  };
  for (const auto& [arguments, error] : cases) {
    FakeHost fake;
    EXPECT_EQ(tools::runVondrimal(arguments, fake.host()), tools::kExitBadArguments);
    ASSERT_GE(fake.lines.size(), 3u);
    EXPECT_EQ(fake.lines[0], error);
    EXPECT_EQ(fake.lines[1], "Usage: Vondrimal.exe <command> [arguments]");
    EXPECT_EQ(fake.lines[2], "  Vondrimal.exe /INFO <image>");
  }
}

TEST(Vondrimal, InfoNeedsExactlyOneImageAndReportsAMissingOne) {
  FakeHost fake;
  EXPECT_EQ(tools::runVondrimal({"/INFO"}, fake.host()), tools::kExitBadArguments);
  EXPECT_EQ(tools::runVondrimal({"/info", "a.wim", "b.wim"}, fake.host()),
            tools::kExitBadArguments);
  FakeHost missing;
  EXPECT_NE(tools::runVondrimal({"/INFO", "no-such-image.wim"}, missing.host()), 0);
  ASSERT_EQ(missing.lines.size(), 1u);
  EXPECT_EQ(missing.lines[0].rfind("[ ERROR ] ", 0), 0u) << missing.lines[0];
}

TEST(Vondrimal, ACommandGetsTheArgumentsAfterItsSwitchInAnyLetterCase) {
  FakeHost fake;
  g_received.clear();
  EXPECT_EQ(tools::dispatchVondrimal({"/info", "x.wim"}, kTwoCommands, fake.host()), 40);
  EXPECT_EQ(g_received, (Words{"x.wim"}));
  EXPECT_EQ(tools::dispatchVondrimal({"/APPLY", "x.wim", "2", "D:\\"}, kTwoCommands, fake.host()),
            41);
  EXPECT_EQ(g_received, (Words{"x.wim", "2", "D:\\"}));
  EXPECT_EQ(tools::dispatchVondrimal({"/INFO"}, kTwoCommands, fake.host()), 40);
  EXPECT_TRUE(g_received.empty());
  EXPECT_EQ(fake.lines, (Words{"info ran", "apply ran", "info ran"}));
}

TEST(Vondrimal, TheUsageListsTheKnownCommands) {
  for (const Words& arguments : {Words{}, Words{"/export", "x.wim"}, Words{"INFO"}}) {
    FakeHost fake;
    g_received = {"untouched"};
    EXPECT_EQ(tools::dispatchVondrimal(arguments, kTwoCommands, fake.host()),
              tools::kExitBadArguments);
    EXPECT_EQ(g_received, (Words{"untouched"}));
    ASSERT_EQ(fake.lines.size(), 5u);
    EXPECT_EQ(fake.lines[1], "Usage: Vondrimal.exe <command> [arguments]");
    EXPECT_EQ(fake.lines[2], "  Vondrimal.exe /INFO <image file>");
    EXPECT_EQ(fake.lines[3], "  Vondrimal.exe /apply <image file> <index> <target folder>");
    EXPECT_EQ(fake.lines[4], "Vondrimal (Roamdeck) " ROAMDECK_VERSION);
  }
}

}  // namespace
