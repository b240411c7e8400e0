#include "wim/apply/apply_progress.h"

#include <cmath>
#include <cstdio>

namespace wim {

int progressPercent(std::uint64_t doneBytes, std::uint64_t totalBytes) {
  if (totalBytes == 0) return 0;
  if (doneBytes >= totalBytes) return 100;
  // In floating point so that no product can overflow; a share that rounds
  // up to 100 stays 99 until the last byte is in.
  const double share = static_cast<double>(doneBytes) * 100.0 / static_cast<double>(totalBytes);
  const int percent = static_cast<int>(share);
  return percent > 99 ? 99 : percent;
}

std::uint64_t estimateSecondsLeft(std::uint64_t doneBytes, std::uint64_t totalBytes,
                                  std::uint64_t elapsedMs) {
  if (elapsedMs < kEstimateWarmUpMs || doneBytes == 0 || doneBytes >= totalBytes ||
      doneBytes < totalBytes / kEstimateWarmUpShare)
    return 0;
  // The average since the start rather than the latest burst: it moves
  // smoothly, so the time shown counts down instead of jumping about.
  const double left = static_cast<double>(totalBytes - doneBytes) * static_cast<double>(elapsedMs) /
                      static_cast<double>(doneBytes) / 1000.0;
  if (left >= 1e12) return static_cast<std::uint64_t>(1e12);  // a stall; the line stays sane
  return static_cast<std::uint64_t>(std::ceil(left));
}

std::string progressLine(int percent, std::uint64_t secondsLeft) {
  char text[96];
  if (secondsLeft > 3600) {
    std::snprintf(text, sizeof text, "[ %3d%% ] Applying progress: %u:%02u:%02u hrs remaining ",
                  percent, static_cast<unsigned>(secondsLeft / 3600),
                  static_cast<unsigned>(secondsLeft % 3600 / 60),
                  static_cast<unsigned>(secondsLeft % 60));
  } else if (secondsLeft > 60) {
    std::snprintf(text, sizeof text, "[ %3d%% ] Applying progress: %u:%02u mins remaining ",
                  percent, static_cast<unsigned>(secondsLeft / 60),
                  static_cast<unsigned>(secondsLeft % 60));
  } else if (secondsLeft > 0) {
    std::snprintf(text, sizeof text, "[ %3d%% ] Applying progress: %u secs remaining ", percent,
                  static_cast<unsigned>(secondsLeft));
  } else {
    std::snprintf(text, sizeof text, "[ %3d%% ] Applying progress ", percent);
  }
  return text;
}

namespace {

std::string emit(ProgressMeter& meter, int percent, std::string line, std::uint64_t nowMs) {
  meter.lastPercent = percent;
  meter.lastLineMs = nowMs;
  meter.lastLine = line;
  return line;
}

}  // namespace

std::string progressStart(ProgressMeter& meter, std::uint64_t totalBytes, std::uint64_t nowMs) {
  meter = ProgressMeter{};
  meter.totalBytes = totalBytes;
  meter.startMs = nowMs;
  return emit(meter, 0, progressLine(0, 0), nowMs);
}

std::string progressUpdate(ProgressMeter& meter, std::uint64_t doneBytes, std::uint64_t nowMs) {
  const int percent = progressPercent(doneBytes, meter.totalBytes);
  if (percent >= 100) return "";
  const std::uint64_t sinceLast = nowMs >= meter.lastLineMs ? nowMs - meter.lastLineMs : 0;
  const bool moved = percent != meter.lastPercent && sinceLast >= kProgressIntervalMs;
  if (!moved && sinceLast < kEstimateRefreshMs) return "";
  const std::uint64_t elapsed = nowMs >= meter.startMs ? nowMs - meter.startMs : 0;
  std::string line =
      progressLine(percent, estimateSecondsLeft(doneBytes, meter.totalBytes, elapsed));
  if (!moved && line == meter.lastLine) return "";
  return emit(meter, percent, std::move(line), nowMs);
}

std::string progressFinish(ProgressMeter& meter, std::uint64_t nowMs) {
  return emit(meter, 100, progressLine(100, 0), nowMs);
}

}  // namespace wim
