// What the apply's tests share: clean folders to apply into, a look at the
// trees they hold, runs of the apply with their output, and a reader of the
// progress lines that knows nothing of the code that writes them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "wim/apply/wim_apply.h"
#include "tests/wim/wim_test_support.h"

namespace wimtest {

namespace fs = std::filesystem;

// Fixture paths are ASCII, so the narrow form converts the same everywhere.
inline fs::path fixtureFsPath(const std::string& name) { return fs::path(fixturePath(name)); }

// A folder `outer` that holds only an empty folder `target`: after an apply
// into `target`, anything else in `outer` was written outside the target.
struct Sandbox {
  fs::path outer;
  fs::path target;
};

inline Sandbox makeSandbox(const std::string& name) {
  Sandbox box;
  box.outer = fs::path(scratchPath(name));
  box.target = box.outer / "target";
  std::error_code error;
  fs::remove_all(box.outer, error);
  fs::create_directories(box.target);
  return box;
}

// The names directly inside a folder.
inline std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(folder))
    names.push_back(item.path().filename().u8string());
  std::sort(names.begin(), names.end());
  return names;
}

inline void expectNothingOutside(const Sandbox& box) {
  EXPECT_EQ(namesIn(box.outer), std::vector<std::string>{"target"})
      << "the apply wrote beside its target";
}

inline void expectTargetEmpty(const Sandbox& box) {
  expectNothingOutside(box);
  EXPECT_TRUE(namesIn(box.target).empty()) << "the failed apply left files in its target";
}

struct ApplyRun {
  int code = -1;
  std::vector<std::string> lines;
  std::vector<std::uint64_t> printedAt;  // the clock when each line came

  std::string text() const {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }
};

inline wim::MillisecondClock realClock() {
  const auto start = std::chrono::steady_clock::now();
  return [start]() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
  };
}

// A clock that moves on by `step` ms each time it is read, so that the
// progress sees a steady, slow disk.
inline wim::MillisecondClock steppingClock(std::uint64_t step, std::uint64_t& now) {
  return [step, &now]() { return now += step; };
}

inline ApplyRun runApply(const std::string& image, const std::string& index, const fs::path& target,
                         const wim::MillisecondClock& clock) {
  ApplyRun run;
  std::uint64_t lastRead = 0;
  const wim::MillisecondClock watched = [&clock, &lastRead]() { return lastRead = clock(); };
  run.code = wim::applyImage(
      image, index, target,
      [&run, &lastRead](const std::string& line) {
        run.lines.push_back(line);
        run.printedAt.push_back(lastRead);
      },
      watched);
  return run;
}

inline ApplyRun runApply(const std::string& image, const std::string& index,
                         const fs::path& target) {
  return runApply(image, index, target, realClock());
}

// Writes `wim` to a scratch file and applies its image `index` into `target`.
inline ApplyRun runApplyOnBytes(const Bytes& wim, const std::string& fileName,
                                const fs::path& target, const std::string& index = "1") {
  const std::string path = scratchPath(fileName);
  EXPECT_TRUE(writeFile(path, wim)) << path;
  return runApply(path, index, target);
}

// Checks a failed run: the exit code, the last line an error naming `part`.
inline void expectFailure(const ApplyRun& run, int code, const std::string& part) {
  EXPECT_EQ(run.code, code) << run.text();
  ASSERT_FALSE(run.lines.empty());
  const std::string& last = run.lines.back();
  EXPECT_EQ(last.rfind("[ ERROR ] ", 0), 0u) << run.text();
  EXPECT_NE(last.find(part), std::string::npos) << "expected \"" << part << "\" in: " << last;
  for (const std::string& line : run.lines)
    EXPECT_EQ(line.find("Applied image"), std::string::npos) << run.text();
}

// One progress line, read by the shapes alone.
struct ProgressReading {
  int percent = -1;
  enum Shape { None, Hours, Minutes, Seconds } shape = None;
  std::uint64_t seconds = 0;  // the estimate, 0 for none
};

inline bool readProgressLine(const std::string& line, ProgressReading& reading) {
  static const std::regex shape(R"(\[ (  \d| [1-9]\d|100)% \] Applying progress)"
                                R"((?:: ([1-9]\d*):([0-5]\d):([0-5]\d) hrs remaining)"
                                R"(|: ([1-9]\d*):([0-5]\d) mins remaining)"
                                R"(|: ([1-9]\d*) secs remaining)? )");
  std::smatch match;
  if (!std::regex_match(line, match, shape)) return false;
  ProgressReading read;
  read.percent = std::stoi(match[1].str());
  if (match[2].matched) {
    read.shape = ProgressReading::Hours;
    read.seconds = std::stoull(match[2].str()) * 3600 + std::stoull(match[3].str()) * 60 +
                   std::stoull(match[4].str());
  } else if (match[5].matched) {
    read.shape = ProgressReading::Minutes;
    read.seconds = std::stoull(match[5].str()) * 60 + std::stoull(match[6].str());
  } else if (match[7].matched) {
    read.shape = ProgressReading::Seconds;
    read.seconds = std::stoull(match[7].str());
  }
  // The shape goes by the estimate: over an hour, over a minute, anything.
  const bool fits =
      (read.shape == ProgressReading::Hours && read.seconds > 3600) ||
      (read.shape == ProgressReading::Minutes && read.seconds > 60 && read.seconds <= 3600) ||
      (read.shape == ProgressReading::Seconds && read.seconds > 0 && read.seconds <= 60) ||
      read.shape == ProgressReading::None;
  if (!fits) return false;
  reading = read;
  return true;
}

inline bool isProgressLine(const std::string& line) {
  return line.rfind("[ ", 0) == 0 && line.find("% ] Applying progress") != std::string::npos;
}

// The progress lines of a run, read; each must read as one of the shapes.
inline std::vector<ProgressReading> progressOf(const ApplyRun& run) {
  std::vector<ProgressReading> readings;
  for (const std::string& line : run.lines) {
    if (!isProgressLine(line)) continue;
    ProgressReading reading;
    EXPECT_TRUE(readProgressLine(line, reading)) << "not a progress line shape: \"" << line << "\"";
    readings.push_back(reading);
  }
  return readings;
}

// The tree below a folder: each path relative to it, with its size (folders:
// none). Native path strings, so that names compare exactly on either system.
struct TreeItem {
  bool folder = false;
  std::uintmax_t size = 0;
  bool operator==(const TreeItem& other) const {
    return folder == other.folder && size == other.size;
  }
};

inline std::map<fs::path::string_type, TreeItem> listTree(const fs::path& root) {
  std::map<fs::path::string_type, TreeItem> items;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    TreeItem described;
    described.folder = item.is_directory();
    if (!described.folder) described.size = item.file_size();
    items[item.path().lexically_relative(root).native()] = described;
  }
  return items;
}

inline Bytes fileBytes(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) return Bytes();
  Bytes bytes(static_cast<std::size_t>(size));
  std::ifstream file(path, std::ios::binary);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (file.gcount() != static_cast<std::streamsize>(bytes.size())) bytes.clear();
  return bytes;
}

// Same names, kinds, sizes and contents.
inline void expectSameTree(const fs::path& expected, const fs::path& actual) {
  const auto want = listTree(expected);
  const auto got = listTree(actual);
  EXPECT_EQ(want.size(), got.size());
  for (const auto& item : want) {
    const auto found = got.find(item.first);
    if (found == got.end()) {
      ADD_FAILURE() << "missing: " << fs::path(item.first).u8string();
      continue;
    }
    EXPECT_TRUE(found->second == item.second) << "differs: " << fs::path(item.first).u8string();
    if (!item.second.folder && found->second == item.second) {
      EXPECT_TRUE(fileBytes(expected / item.first) == fileBytes(actual / item.first))
          << "content differs: " << fs::path(item.first).u8string();
    }
  }
  for (const auto& item : got)
    if (!want.count(item.first))
      ADD_FAILURE() << "not expected: " << fs::path(item.first).u8string();
}

// The number of names of a file. The C runtime's stat says 1 on Windows
// whatever there are, so there the system is asked.
inline std::uintmax_t linkCount(const fs::path& path) {
#ifdef _WIN32
  const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION information{};
  const BOOL read = GetFileInformationByHandle(file, &information);
  CloseHandle(file);
  return read ? information.nNumberOfLinks : 0;
#else
  return fs::hard_link_count(path);
#endif
}

// Beyond names and contents: the same hard-link counts, the same last-write
// times (every entry but the target itself) and, natively, the same
// symbolic links. `skipped` names entries (relative, native form) the caller
// checks by other means.
inline void expectSameLinksAndTimes(const fs::path& expected, const fs::path& actual,
                                    const std::vector<fs::path>& skipped = {}) {
  for (const auto& item : fs::recursive_directory_iterator(expected)) {
    const fs::path relative = item.path().lexically_relative(expected);
    if (std::find(skipped.begin(), skipped.end(), relative) != skipped.end()) continue;
    const fs::path other = actual / relative;
    std::error_code error;
    const fs::file_status wanted = fs::symlink_status(item.path(), error);
    const fs::file_status got = fs::symlink_status(other, error);
    ASSERT_EQ(static_cast<int>(wanted.type()), static_cast<int>(got.type()))
        << "kind differs: " << relative.u8string();
    if (fs::is_symlink(wanted)) {
      EXPECT_EQ(fs::read_symlink(item.path()), fs::read_symlink(other)) << relative.u8string();
      continue;
    }
    if (fs::is_regular_file(wanted)) {
      EXPECT_EQ(linkCount(item.path()), linkCount(other))
          << "hard links differ: " << relative.u8string();
    }
    EXPECT_TRUE(fs::last_write_time(item.path()) == fs::last_write_time(other))
        << "time differs: " << relative.u8string();
  }
}

}  // namespace wimtest
