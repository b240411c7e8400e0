// The apply's progress lines, driven by the bytes written. The program that
// runs the apply reads them from the console (the last line counts), so their
// shape is fixed, with nnn the percentage right-aligned in three characters
// and a space before every line end:
//   [ nnn% ] Applying progress                              no estimate yet
//   [ nnn% ] Applying progress: H:MM:SS hrs remaining       more than an hour
//   [ nnn% ] Applying progress: M:SS mins remaining         more than a minute
//   [ nnn% ] Applying progress: S secs remaining            anything left
#pragma once

#include <cstdint>
#include <string>

namespace wim {

// No estimate before this much of the work has been timed, nor before one
// hundredth of the data is in: the first moments (small files, a cold cache)
// say little about the rest, and an estimate from a few bytes is wild.
inline constexpr std::uint64_t kEstimateWarmUpMs = 1000;
inline constexpr std::uint64_t kEstimateWarmUpShare = 100;  // 1 / this of the bytes
// At most about five lines a second when the percentage moves...
inline constexpr std::uint64_t kProgressIntervalMs = 200;
// ...and a refreshed estimate once a second while it does not.
inline constexpr std::uint64_t kEstimateRefreshMs = 1000;

// The percentage, truncated: 100 only once everything is done; 0 for no work.
int progressPercent(std::uint64_t doneBytes, std::uint64_t totalBytes);

// Seconds left at the average speed since the start, rounded up; 0 for no
// estimate (during the warm-up, or when nothing is left).
std::uint64_t estimateSecondsLeft(std::uint64_t doneBytes, std::uint64_t totalBytes,
                                  std::uint64_t elapsedMs);

// The line for a percentage and an estimate (0: the shape without one).
std::string progressLine(int percent, std::uint64_t secondsLeft);

// What decides when a line is due.
struct ProgressMeter {
  std::uint64_t totalBytes = 0;
  std::uint64_t startMs = 0;  // clock value of the first line
  std::uint64_t lastLineMs = 0;
  int lastPercent = -1;
  std::string lastLine;
};

// Starts the meter at `nowMs` and returns the first line (0 %).
std::string progressStart(ProgressMeter& meter, std::uint64_t totalBytes, std::uint64_t nowMs);

// The line to print after `doneBytes` of the total, or "" when none is due:
// when the percentage has changed and kProgressIntervalMs have passed since
// the last line, or when kEstimateRefreshMs have passed and the line reads
// differently. The 100 % line is left to progressFinish.
std::string progressUpdate(ProgressMeter& meter, std::uint64_t doneBytes, std::uint64_t nowMs);

// The last line, 100 %, once all is written and checked.
std::string progressFinish(ProgressMeter& meter, std::uint64_t nowMs);

}  // namespace wim
