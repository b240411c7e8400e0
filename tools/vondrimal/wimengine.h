// The WIM engine as a Linux command, `wimengine`: lists an image's editions
// and applies one, chosen by index or by name. No platform API here: the
// main program hands in its standard output and whether that is a terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tools {

struct EngineConsole {
  // Text for standard output and standard error, written as given.
  std::function<void(const std::string& text)> out;
  std::function<void(const std::string& text)> err;
  // Standard output is a terminal: the progress rewrites one line.
  bool terminal = false;
  // A millisecond clock; only differences count.
  std::function<std::uint64_t()> clock;
};

// wimengine's command line, the arguments after the program name; returns
// the exit code.
int runWimengine(const std::vector<std::string>& arguments, const EngineConsole& console);

// The terminal's progress line after `doneBytes` of `totalBytes` in
// `elapsedMs`: "[  42% ] 1.23 GB of 2.90 GB, 85.3 MB/s, 0:21 left".
std::string terminalProgress(std::uint64_t doneBytes, std::uint64_t totalBytes,
                             std::uint64_t elapsedMs);

// The line that replaces it at the end: "[ 100% ] 2.90 GB in 0:35, 82.9 MB/s".
std::string terminalSummary(std::uint64_t totalBytes, std::uint64_t elapsedMs);

}  // namespace tools
