#include "tools/vondrimal/wimengine.h"

#include <gtest/gtest.h>

#include "wim/format/edition_report.h"

namespace {

struct Console {
  std::string out, err;
  tools::EngineConsole console() {
    tools::EngineConsole result;
    result.out = [this](const std::string& text) { out += text; };
    result.err = [this](const std::string& text) { err += text; };
    result.clock = [] { return std::uint64_t{0}; };
    return result;
  }
};

TEST(Wimengine, TheTerminalLineShowsBytesSpeedAndTimeLeftOnceItCan) {
  EXPECT_EQ(tools::terminalProgress(0, 2900000000ull, 0), "[   0% ] 0 B of 2.90 GB");
  // Within the first second: no speed estimate of the time left yet.
  EXPECT_EQ(tools::terminalProgress(50000000, 2900000000ull, 500),
            "[   1% ] 50.0 MB of 2.90 GB, 100.0 MB/s");
  EXPECT_EQ(tools::terminalProgress(1230000000ull, 2900000000ull, 15000),
            "[  42% ] 1.23 GB of 2.90 GB, 82.0 MB/s, 0:21 left");
  // Slow: before a hundredth of the data is in, no time left; then hours.
  EXPECT_EQ(tools::terminalProgress(100000000, 20000000000ull, 60000),
            "[   0% ] 100.0 MB of 20.00 GB, 1.7 MB/s");
  EXPECT_EQ(tools::terminalProgress(400000000, 20000000000ull, 240000),
            "[   2% ] 400.0 MB of 20.00 GB, 1.7 MB/s, 3:16:00 left");
  EXPECT_EQ(tools::terminalSummary(2900000000ull, 35400), "[ 100% ] 2.90 GB in 0:35, 81.9 MB/s");
  EXPECT_EQ(tools::terminalSummary(0, 0), "[ 100% ] 0 B in 0:00");
}

TEST(Wimengine, HelpGoesToStdoutAndBadArgumentsExit8WithTheUsage) {
  for (const char* option : {"--help", "-h"}) {
    Console fake;
    EXPECT_EQ(tools::runWimengine({"apply", option}, fake.console()), 0);
    EXPECT_EQ(fake.out.rfind("Usage: wimengine info", 0), 0u) << fake.out;
    EXPECT_TRUE(fake.err.empty());
  }
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"--force", "a.wim", "1", "t"},
      {"info"},
      {"info", "a.wim", "b.wim"},
      {"info", "--quiet", "a.wim"},
      {"apply", "--xml", "a.wim", "1", "t"},
      {"apply", "a.wim", "1"},
      {"a.wim", "1"},
  };
  for (const auto& arguments : refused) {
    Console fake;
    EXPECT_EQ(tools::runWimengine(arguments, fake.console()), 8);
    EXPECT_TRUE(fake.out.empty()) << fake.out;
    EXPECT_EQ(fake.err.rfind("wimengine: error: ", 0), 0u) << fake.err;
    EXPECT_NE(fake.err.find("Usage: wimengine"), std::string::npos);
  }
}

TEST(Wimengine, ANameMatchesExactlyAndOnce) {
  wim::ImageXml xml;
  for (const char* name : {"Windows 10 Pro", "Twin", "Twin", "windows 10 pro "}) {
    wim::ImageEntry image;
    image.index = static_cast<std::uint32_t>(xml.images.size() + 1);
    image.name = name;
    image.hasName = true;
    xml.images.push_back(image);
  }
  xml.images.push_back(wim::ImageEntry{});  // no NAME at all
  xml.images.back().index = 5;
  std::uint32_t index = 0;
  EXPECT_EQ(wim::findImageByName(xml, "Windows 10 Pro", index), wim::NameMatch::Found);
  EXPECT_EQ(index, 1u);
  index = 0;
  EXPECT_EQ(wim::findImageByName(xml, "windows 10 pro", index), wim::NameMatch::Unknown);
  EXPECT_EQ(wim::findImageByName(xml, "Twin", index), wim::NameMatch::Ambiguous);
  EXPECT_EQ(wim::findImageByName(xml, "", index), wim::NameMatch::Unknown);
  EXPECT_EQ(index, 0u);
}

}  // namespace
