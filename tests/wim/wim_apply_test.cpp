// The apply on images that wimcapture made: the trees it writes are the trees
// the images were captured from, and what wimapply makes of them; the output
// lines are the ones the program reads.
#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "install/progress_text.h"
#include "standins/wim/apply_progress.h"
#include "standins/wim/target_paths.h"
#include "standins/wim/wim_apply.h"
#include "tests/wim/apply_test_support.h"

namespace {

namespace fs = std::filesystem;
using wimtest::ApplyRun;
using wimtest::fixtureFsPath;
using wimtest::fixturePath;
using wimtest::ProgressReading;
using wimtest::Sandbox;

fs::path sourceTree(const char* name) { return fixtureFsPath("trees") / name; }
fs::path referenceTree(const char* name) { return fixtureFsPath("reference") / name; }

std::size_t countStarting(const ApplyRun& run, const std::string& prefix) {
  std::size_t count = 0;
  for (const std::string& line : run.lines)
    if (line.rfind(prefix, 0) == 0) ++count;
  return count;
}

// The progress of a successful run: 0 first, never back, 100 last, and
// after it only the closing line.
void expectWholeProgress(const ApplyRun& run) {
  const std::vector<ProgressReading> readings = wimtest::progressOf(run);
  ASSERT_GE(readings.size(), 2u) << run.text();
  EXPECT_EQ(readings.front().percent, 0);
  EXPECT_EQ(readings.back().percent, 100);
  EXPECT_EQ(readings.back().shape, ProgressReading::None);
  for (std::size_t i = 1; i < readings.size(); ++i)
    EXPECT_GE(readings[i].percent, readings[i - 1].percent) << run.text();
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_TRUE(wimtest::isProgressLine(run.lines[run.lines.size() - 2])) << run.text();
}

TEST(WimApply, WritesTheBigImageAsItWasCaptured) {
  const Sandbox box = wimtest::makeSandbox("apply-full-1");
  const ApplyRun run = wimtest::runApply(fixturePath("full.wim"), "1", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  wimtest::expectSameTree(sourceTree("full"), box.target);
  wimtest::expectSameTree(referenceTree("full-1"), box.target);
  wimtest::expectNothingOutside(box);

  EXPECT_EQ(run.lines.front().rfind("[ INFO ] Applying image 1 \"Full tree\" of ", 0), 0u)
      << run.text();
#ifdef _WIN32
  EXPECT_EQ(countStarting(run, "[ WARN ] "), 0u) << run.text();
#else
  // Attributes have no place on this system; nothing else is left out.
  EXPECT_EQ(countStarting(run, "[ WARN ] "), 1u) << run.text();
  EXPECT_NE(run.text().find("Not applied on this system or file system: file attributes"), std::string::npos)
      << run.text();
#endif
  EXPECT_EQ(countStarting(run, "[ ERROR ] "), 0u) << run.text();
  // The second names of two hard-linked files (6 MiB and 33 bytes) write
  // nothing of their own.
  EXPECT_NE(run.text().find("13 folders, 16 files, 45199498 bytes"), std::string::npos)
      << run.text();
  // The four names of two hard-linked files stay links, as wimapply makes them.
  wimtest::expectSameLinksAndTimes(referenceTree("full-1"), box.target);
  EXPECT_EQ(wimtest::linkCount(box.target / "links" / "six again.bin"), 2u);
  expectWholeProgress(run);
  EXPECT_EQ(run.lines.back(), "[ INFO ] Applied image 1 to " + wim::displayPath(box.target));
  for (const std::string& line : run.lines) EXPECT_TRUE(wim::isValidUtf8(line)) << line;
}

TEST(WimApply, WritesTheSecondImage) {
  const Sandbox box = wimtest::makeSandbox("apply-full-2");
  const ApplyRun run = wimtest::runApply(fixturePath("full.wim"), "2", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  wimtest::expectSameTree(sourceTree("second"), box.target);
  wimtest::expectSameTree(referenceTree("full-2"), box.target);
  wimtest::expectNothingOutside(box);
  EXPECT_EQ(run.lines.front().rfind(u8"[ INFO ] Applying image 2 \"第二 image\"", 0), 0u)
      << run.text();
  expectWholeProgress(run);
  EXPECT_EQ(run.lines.back(), "[ INFO ] Applied image 2 to " + wim::displayPath(box.target));
}

// Over a slow disk (a clock that moves on at every look) the lines pace
// themselves, the estimate takes each of its shapes and does not jump about,
// and the program reads each line as what it says.
TEST(WimApply, ProgressOverASlowDisk) {
  const struct {
    std::uint64_t stepMs;
    ProgressReading::Shape expected;
  } disks[] = {{60, ProgressReading::Seconds},
               {8000, ProgressReading::Minutes},
               {200000, ProgressReading::Hours}};
  for (const auto& disk : disks) {
    SCOPED_TRACE("clock step " + std::to_string(disk.stepMs) + " ms");
    const Sandbox box = wimtest::makeSandbox("apply-slow");
    std::uint64_t now = 0;
    const ApplyRun run = wimtest::runApply(fixturePath("full.wim"), "1", box.target,
                                           wimtest::steppingClock(disk.stepMs, now));
    ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
    expectWholeProgress(run);

    std::string log = "Microsoft Windows\r\nC:\\Windows\\system32>Vondrimal.exe /apply ...\r\n";
    std::uint64_t lastAt = 0, lastEstimate = 0;
    bool first = true, sawExpected = false;
    std::size_t progressLines = 0;
    for (std::size_t i = 0; i < run.lines.size(); ++i) {
      const std::string& line = run.lines[i];
      log += line + "\r\n";
      if (!wimtest::isProgressLine(line)) continue;
      ++progressLines;
      ProgressReading reading;
      ASSERT_TRUE(wimtest::readProgressLine(line, reading)) << line;
      if (!first && reading.percent < 100) {
        EXPECT_GE(run.printedAt[i] - lastAt, wim::kProgressIntervalMs) << line;
      }
      if (reading.shape == disk.expected) sawExpected = true;
      if (reading.seconds != 0 && lastEstimate != 0) {
        EXPECT_LE(reading.seconds, lastEstimate + lastEstimate / 4 + 1) << "a jump: " << line;
      }
      if (reading.seconds != 0) lastEstimate = reading.seconds;
      first = false;
      lastAt = run.printedAt[i];

      // As the program sees it, with this line last in its log box.
      const ProgressView view = progressViewOf(log);
      EXPECT_EQ(view.barPosition, reading.percent) << line;
      EXPECT_EQ(view.percentLabel, "已完成：" + line.substr(2, 3) + " %") << line;
      const std::string figures = line.substr(line.find(':') + 1);
      std::string remaining = "剩余时间：正在计算";
      if (reading.shape == ProgressReading::Minutes)
        remaining = "剩余时间：00:" + figures.substr(0, figures.find("mins remaining"));
      else if (reading.shape == ProgressReading::Seconds)
        remaining = "剩余时间：00:00:" + figures.substr(0, figures.find("secs remaining"));
      EXPECT_EQ(view.remainingLabel, remaining) << line;
    }
    EXPECT_TRUE(sawExpected) << run.text();
    EXPECT_GE(progressLines, 10u) << run.text();
    wimtest::expectSameTree(sourceTree("full"), box.target);
  }
}

// The command as the tool runs it: narrow arguments, a target whose name is
// Chinese (in the ANSI code page on Windows, UTF-8 elsewhere).
TEST(WimApply, RunApplyCommandWithAChineseTarget) {
  const Sandbox box = wimtest::makeSandbox("apply-command");
#ifdef _WIN32
  const fs::path target = box.target / L"目标 文件夹";
  const std::string argument = box.target.string() + "\\目标 文件夹";  // GBK bytes
#else
  const fs::path target = box.target / u8"目标 文件夹";
  const std::string argument = box.target.string() + u8"/目标 文件夹";
#endif
  fs::create_directory(target);
  ApplyRun run;
  run.code = wim::runApplyCommand(fixturePath("small.wim"), "1", argument,
                                  [&run](const std::string& line) { run.lines.push_back(line); });
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  wimtest::expectSameTree(sourceTree("small"), target);
  EXPECT_EQ(run.lines.back(), "[ INFO ] Applied image 1 to " + wim::displayPath(target));
  EXPECT_NE(run.lines.back().find(u8"目标 文件夹"), std::string::npos) << run.text();
  expectWholeProgress(run);
}

// The target argument becomes exactly the path it names: no character lost,
// none added (a conversion that counted bytes once padded it with NULs).
TEST(WimApply, TargetArgumentsConvertExactly) {
#ifdef _WIN32
  EXPECT_EQ(wim::pathFromArgument("D:\\").native(), std::wstring(L"D:\\"));
  EXPECT_EQ(wim::pathFromArgument("D:\\目标 文件夹").native(), std::wstring(L"D:\\目标 文件夹"));
  EXPECT_EQ(wim::displayPath(wim::pathFromArgument("D:\\目标")), u8"D:\\目标");
#else
  EXPECT_EQ(wim::pathFromArgument(u8"/mnt/目标 文件夹").native(),
            std::string(u8"/mnt/目标 文件夹"));
  EXPECT_EQ(wim::displayPath(wim::pathFromArgument(u8"/mnt/目标")), u8"/mnt/目标");
#endif
  const Sandbox box = wimtest::makeSandbox("apply-nul");
  ApplyRun run;
  run.code = wim::runApplyCommand(fixturePath("small.wim"), "1",
                                  box.target.string() + std::string("\0elsewhere", 10),
                                  [&run](const std::string& line) { run.lines.push_back(line); });
  wimtest::expectFailure(run, wim::kApplyExitBadArguments, "NUL");
  wimtest::expectTargetEmpty(box);
}

// Symbolic links were captured as reparse points. Natively they become
// symbolic links again; Windows gets reparse points, or a warning where the
// file system refuses them (Wine does) and the entries as plain ones.
TEST(WimApply, LinkReparsePointsBecomeLinks) {
  const Sandbox box = wimtest::makeSandbox("apply-linked");
  const ApplyRun run = wimtest::runApply(fixturePath("linked.wim"), "1", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  EXPECT_EQ(wimtest::namesIn(box.target),
            (std::vector<std::string>{"file link", "folder", "folder link"}));
  EXPECT_EQ(wimtest::namesIn(box.target / "folder"), std::vector<std::string>{"real.txt"});
#ifdef _WIN32
  const bool applied =
      (GetFileAttributesW((box.target / "file link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (!applied) {
    EXPECT_NE(run.text().find("2 of the reparse points could not be applied"), std::string::npos)
        << run.text();
  }
  EXPECT_TRUE(fs::is_directory(box.target / "folder link"));
#else
  EXPECT_EQ(countStarting(run, "[ WARN ] "), 1u) << run.text();
  EXPECT_EQ(fs::read_symlink(box.target / "file link"), fs::path("folder/real.txt"));
  EXPECT_EQ(fs::read_symlink(box.target / "folder link"), fs::path("folder"));
#endif
}

// Files already there are replaced; others stay.
TEST(WimApply, OverwritesFilesThatAreThere) {
  const Sandbox box = wimtest::makeSandbox("apply-over");
  ASSERT_TRUE(wimtest::writeFile((box.target / "readme.txt").string(), {'o', 'l', 'd'}));
  fs::create_directory(box.target / "docs");
  ASSERT_TRUE(wimtest::writeFile((box.target / "docs" / "mine.txt").string(), {'m'}));
  const ApplyRun run = wimtest::runApply(fixturePath("small.wim"), "1", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  EXPECT_EQ(wimtest::fileBytes(box.target / "readme.txt"),
            wimtest::fileBytes(sourceTree("small") / "readme.txt"));
  EXPECT_EQ(wimtest::fileBytes(box.target / "docs" / "mine.txt"), wimtest::Bytes{'m'});
}

TEST(WimApply, SmallImagesInEveryCompression) {
  for (const char* name : {"xpress.wim", "lzx.wim", "lzms.wim", "solid.wim"}) {
    SCOPED_TRACE(name);
    const Sandbox box = wimtest::makeSandbox("apply-compressed");
    const ApplyRun run = wimtest::runApply(fixturePath(name), "1", box.target);
    ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
    wimtest::expectSameTree(sourceTree("small"), box.target);
    expectWholeProgress(run);
  }
}

TEST(WimApply, IndexMustNameAnImage) {
  for (const char* index : {"0", "3", "4294967297", "x", "-1", "+1", " 1", "1.0", "", "１"}) {
    SCOPED_TRACE(std::string("index \"") + index + "\"");
    const Sandbox box = wimtest::makeSandbox("apply-index");
    const ApplyRun run = wimtest::runApply(fixturePath("full.wim"), index, box.target);
    wimtest::expectFailure(run, wim::kApplyExitBadArguments, "image");
    wimtest::expectTargetEmpty(box);
  }
  const Sandbox box = wimtest::makeSandbox("apply-index");
  EXPECT_EQ(wimtest::runApply(fixturePath("full.wim"), "02", box.target).code, wim::kApplyExitOk);
}

TEST(WimApply, ParsesIndexes) {
  std::uint32_t index = 99;
  EXPECT_TRUE(wim::parseImageIndex("1", 1, index));
  EXPECT_EQ(index, 1u);
  EXPECT_TRUE(wim::parseImageIndex("0004", 4, index));
  EXPECT_EQ(index, 4u);
  EXPECT_FALSE(wim::parseImageIndex("5", 4, index));
  EXPECT_FALSE(wim::parseImageIndex("0", 4, index));
  EXPECT_FALSE(wim::parseImageIndex("9999999999", 4294967295u, index));
  EXPECT_FALSE(wim::parseImageIndex("12345678901", 4294967295u, index));
  EXPECT_TRUE(wim::parseImageIndex("4294967295", 4294967295u, index));
  EXPECT_EQ(index, 4294967295u);
}

TEST(WimApply, TheTargetMustBeAFolderThatExists) {
  const Sandbox box = wimtest::makeSandbox("apply-no-target");
  ApplyRun run = wimtest::runApply(fixturePath("small.wim"), "1", box.target / "missing");
  wimtest::expectFailure(run, wim::kApplyExitNoTarget, "does not exist");
  wimtest::expectTargetEmpty(box);

  ASSERT_TRUE(wimtest::writeFile((box.outer / "a file").string(), {'x'}));
  run = wimtest::runApply(fixturePath("small.wim"), "1", box.outer / "a file");
  wimtest::expectFailure(run, wim::kApplyExitNoTarget, "is not a folder");

  run = wimtest::runApply(fixturePath("small.wim"), "1", fs::path());
  wimtest::expectFailure(run, wim::kApplyExitBadArguments, "no target");
}

TEST(WimApply, TheImageMustBeAWimFile) {
  const Sandbox box = wimtest::makeSandbox("apply-no-image");
  ApplyRun run = wimtest::runApply(fixturePath("missing.wim"), "1", box.target);
  wimtest::expectFailure(run, wim::kApplyExitBadImage, "missing.wim");
  run = wimtest::runApply(fixturePath("full.sha1"), "1", box.target);
  wimtest::expectFailure(run, wim::kApplyExitBadImage, "not a WIM file");
  run = wimtest::runApply("", "1", box.target);
  wimtest::expectFailure(run, wim::kApplyExitBadArguments, "no image");
  wimtest::expectTargetEmpty(box);
}

}  // namespace
