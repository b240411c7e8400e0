// The apply on images that wimcapture made: the trees it writes are the trees
// the images were captured from, and what wimapply makes of them; the output
// lines are the ones the program reads.
#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "install/progress_text.h"
#include "wim/apply/apply_progress.h"
#include "wim/apply/target_paths.h"
#include "wim/apply/wim_apply.h"
#include "tests/wim/apply_test_support.h"
#include "tests/wim/wim_build.h"

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
  EXPECT_NE(run.text().find("Not applied on this system or file system: file attributes"),
            std::string::npos)
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

namespace {

// A self-relative descriptor: owner BUILTIN\Administrators, and an access
// list that gives Everyone full access.
wimtest::Bytes administratorsOwnedDescriptor() {
  const wimtest::Bytes owner = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
  const wimtest::Bytes everyone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  wimtest::Bytes descriptor(20, 0);
  descriptor[0] = 1;                                     // revision
  wimtest::putLittleEndian(descriptor, 2, 2, 0x8004);    // self-relative, DACL present
  wimtest::putLittleEndian(descriptor, 4, 4, 20);        // owner
  wimtest::putLittleEndian(descriptor, 16, 4, 20 + 16);  // DACL
  descriptor.insert(descriptor.end(), owner.begin(), owner.end());
  const wimtest::Bytes acl = {2, 0, 28, 0, 1,    0,    0,    0,      // revision, size, one entry
                              0, 0, 20, 0, 0xFF, 0x01, 0x1F, 0x00};  // allowed, full access
  descriptor.insert(descriptor.end(), acl.begin(), acl.end());
  descriptor.insert(descriptor.end(), everyone.begin(), everyone.end());
  return descriptor;
}

constexpr std::uint64_t kCreated = 0x01D1000000000000ull;  // 2015
constexpr std::uint64_t kAccessed = 0x01D3000000000000ull;
constexpr std::uint64_t kWritten = 0x01D2000000000000ull;

// The last-write time as a FILETIME value.
std::uint64_t writeTimeOf(const fs::path& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
#else
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 10000000 +
         static_cast<std::uint64_t>(status.st_mtim.tv_nsec) / 100 + 116444736000000000ull;
#endif
}

// Attributes, times and security descriptors as the image holds them: Windows
// gets all of them (Wine keeps the DOS attributes and the times; a security
// descriptor it refuses is warned about); natively the times.
TEST(WimApply, AttributesTimesAndSecurityAreRestored) {
  wimtest::BuildEntry hidden = wimtest::fileEntry(u"hidden.txt", "hidden and read-only");
  hidden.attributes = 0x23;  // read-only, hidden, archive
  hidden.creationTime = kCreated;
  hidden.lastAccessTime = kAccessed;
  hidden.lastWriteTime = kWritten;
  hidden.securityId = 0;
  wimtest::BuildEntry inner = wimtest::fileEntry(u"inner.txt", "inside a system folder");
  wimtest::BuildEntry system = wimtest::folderEntry(u"系统", {inner});
  system.attributes = 0x14;  // folder, system
  system.lastWriteTime = kWritten;
  const Sandbox box = wimtest::makeSandbox("apply-attributes");
  const ApplyRun run = wimtest::runApplyOnBytes(
      wimtest::assembleWim(
          {wimtest::buildImage({hidden, system}, {administratorsOwnedDescriptor()})}),
      "attributes.wim", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  const fs::path file = box.target / "hidden.txt";
  const fs::path folder = box.target / fs::u8path(u8"系统");
  // Written last of all: the folder's time stays what the image says,
  // though a file was made inside it.
  EXPECT_EQ(writeTimeOf(file), kWritten);
  EXPECT_EQ(writeTimeOf(folder), kWritten);
#ifdef _WIN32
  EXPECT_EQ(GetFileAttributesW(file.c_str()) & 0x27u, 0x23u);
  EXPECT_EQ(GetFileAttributesW(folder.c_str()) & 0x14u, 0x14u);
  const HANDLE handle = CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  FILETIME created{}, accessed{}, written{};
  ASSERT_TRUE(GetFileTime(handle, &created, &accessed, &written));
  CloseHandle(handle);
  const auto join = [](const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  EXPECT_EQ(join(written), kWritten);
  EXPECT_EQ(join(accessed), kAccessed);
  // The owner reads back, or the apply said it could not set it.
  wimtest::Bytes read(256);
  DWORD needed = 0;
  const bool gotOwner = GetFileSecurityW(file.c_str(), OWNER_SECURITY_INFORMATION, read.data(),
                                         static_cast<DWORD>(read.size()), &needed) != 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  const bool ownerIsAdministrators = gotOwner &&
                                     GetSecurityDescriptorOwner(read.data(), &owner, &defaulted) &&
                                     owner && IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  if (!ownerIsAdministrators) {
    EXPECT_NE(run.text().find("of the security descriptors could not be applied"),
              std::string::npos)
        << run.text();
  }
  // Read-only as it is, the file must still be replaceable by the next apply.
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
#else
  EXPECT_NE(run.text().find("file attributes, 1 security descriptor"), std::string::npos)
      << run.text();
#endif
}

}  // namespace
