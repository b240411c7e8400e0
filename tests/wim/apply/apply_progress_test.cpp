// The progress lines: their four shapes and where one gives way to the next,
// the estimate, and when a line is due.
#include <gtest/gtest.h>

#include <string>

#include "wim/apply/apply_progress.h"
#include "tests/wim/apply_test_support.h"

namespace {

using wim::progressLine;

TEST(ApplyProgressLine, FourShapes) {
  EXPECT_EQ(progressLine(0, 0), "[   0% ] Applying progress ");
  EXPECT_EQ(progressLine(47, 150), "[  47% ] Applying progress: 2:30 mins remaining ");
  EXPECT_EQ(progressLine(5, 7), "[   5% ] Applying progress: 7 secs remaining ");
  EXPECT_EQ(progressLine(12, 2 * 3600 + 3 * 60 + 4),
            "[  12% ] Applying progress: 2:03:04 hrs remaining ");
  EXPECT_EQ(progressLine(100, 0), "[ 100% ] Applying progress ");
}

// More than 3600 s: hours; more than 60: minutes; more than 0: seconds.
TEST(ApplyProgressLine, ShapeChangesAtTheBoundaries) {
  EXPECT_EQ(progressLine(1, 1), "[   1% ] Applying progress: 1 secs remaining ");
  EXPECT_EQ(progressLine(1, 60), "[   1% ] Applying progress: 60 secs remaining ");
  EXPECT_EQ(progressLine(1, 61), "[   1% ] Applying progress: 1:01 mins remaining ");
  EXPECT_EQ(progressLine(1, 600), "[   1% ] Applying progress: 10:00 mins remaining ");
  EXPECT_EQ(progressLine(1, 3600), "[   1% ] Applying progress: 60:00 mins remaining ");
  EXPECT_EQ(progressLine(1, 3601), "[   1% ] Applying progress: 1:00:01 hrs remaining ");
  EXPECT_EQ(progressLine(1, 100 * 3600), "[   1% ] Applying progress: 100:00:00 hrs remaining ");
}

// Every line the writer can make reads back as what it says.
TEST(ApplyProgressLine, ReadsBackThroughTheShapes) {
  for (int percent : {0, 1, 9, 10, 99, 100})
    for (std::uint64_t seconds :
         {0ull, 1ull, 59ull, 60ull, 61ull, 3599ull, 3600ull, 3601ull, 86399ull, 1000000ull}) {
      wimtest::ProgressReading reading;
      const std::string line = progressLine(percent, seconds);
      ASSERT_TRUE(wimtest::readProgressLine(line, reading)) << line;
      EXPECT_EQ(reading.percent, percent) << line;
      EXPECT_EQ(reading.seconds, seconds) << line;
    }
}

TEST(ApplyProgressPercent, TruncatesAndReachesHundredOnlyAtTheEnd) {
  EXPECT_EQ(wim::progressPercent(0, 0), 0);
  EXPECT_EQ(wim::progressPercent(0, 3), 0);
  EXPECT_EQ(wim::progressPercent(1, 3), 33);
  EXPECT_EQ(wim::progressPercent(2, 3), 66);
  EXPECT_EQ(wim::progressPercent(999999, 1000000), 99);
  EXPECT_EQ(wim::progressPercent((1ull << 62) - 1, 1ull << 62), 99);
  EXPECT_EQ(wim::progressPercent(3, 3), 100);
  EXPECT_EQ(wim::progressPercent(7, 3), 100);
}

TEST(ApplyProgressEstimate, NoneDuringTheWarmUpOrWithoutProgress) {
  EXPECT_EQ(wim::estimateSecondsLeft(500, 1000, wim::kEstimateWarmUpMs - 1), 0u);
  EXPECT_EQ(wim::estimateSecondsLeft(0, 1000, 60000), 0u);
  // Under a hundredth of the data in: however long it took, too early to say.
  EXPECT_EQ(wim::estimateSecondsLeft(9, 1000, 60000), 0u);
  EXPECT_EQ(wim::estimateSecondsLeft(10, 1000, 60000), 5940u);
  EXPECT_EQ(wim::estimateSecondsLeft(1000, 1000, 60000), 0u);
}

TEST(ApplyProgressEstimate, AverageSpeedSinceTheStartRoundedUp) {
  // A quarter in 10 s: three quarters take 30 s more.
  EXPECT_EQ(wim::estimateSecondsLeft(250, 1000, 10000), 30u);
  EXPECT_EQ(wim::estimateSecondsLeft(300, 1000, 10000), 24u);  // 23.3 s
  // 1 MB/s with 4 GB left: over an hour.
  EXPECT_EQ(wim::estimateSecondsLeft(100000000, 4100000000ull, 100000), 4000u);
  // A near stall stays a number the line can show.
  const std::uint64_t stalled = wim::estimateSecondsLeft(1ull << 54, 1ull << 60, 1ull << 50);
  EXPECT_EQ(stalled, 1000000000000ull);
  wimtest::ProgressReading reading;
  EXPECT_TRUE(wimtest::readProgressLine(wim::progressLine(1, stalled), reading));
  EXPECT_EQ(reading.seconds, stalled);
}

TEST(ApplyProgressMeter, FirstLineThenOnlyWhenDue) {
  wim::ProgressMeter meter;
  EXPECT_EQ(wim::progressStart(meter, 1000, 5000), "[   0% ] Applying progress ");
  // The percentage moves, but too soon after the last line.
  EXPECT_EQ(wim::progressUpdate(meter, 100, 5100), "");
  // Due: moved, and 200 ms since the last line; no estimate in the warm-up.
  EXPECT_EQ(wim::progressUpdate(meter, 150, 5200), "[  15% ] Applying progress ");
  // Same percentage within the second: nothing.
  EXPECT_EQ(wim::progressUpdate(meter, 155, 5900), "");
  // A second on, the estimate is news even though the percentage is not.
  EXPECT_EQ(wim::progressUpdate(meter, 155, 6200), "[  15% ] Applying progress: 7 secs remaining ");
  // The 100 % line is the finish's, not the update's.
  EXPECT_EQ(wim::progressUpdate(meter, 1000, 9000), "");
  EXPECT_EQ(wim::progressFinish(meter, 9000), "[ 100% ] Applying progress ");
}

// A steady writer, one line due at every step: the estimate counts down and
// never jumps up.
TEST(ApplyProgressMeter, EstimateSettlesAndCountsDown) {
  wim::ProgressMeter meter;
  const std::uint64_t total = 600ull << 20;  // 600 MB at 1 MB per 250 ms: 150 s
  wim::progressStart(meter, total, 0);
  std::uint64_t previous = 0;
  int estimates = 0;
  for (std::uint64_t step = 1; step <= 600; ++step) {
    const std::string line = wim::progressUpdate(meter, step << 20, step * 250);
    if (line.empty()) continue;
    wimtest::ProgressReading reading;
    ASSERT_TRUE(wimtest::readProgressLine(line, reading)) << line;
    if (reading.seconds == 0) continue;
    if (previous != 0) {
      EXPECT_LE(reading.seconds, previous) << line;
    }
    EXPECT_NEAR(static_cast<double>(reading.seconds), (600.0 - step) / 4.0, 1.0) << line;
    previous = reading.seconds;
    ++estimates;
  }
  EXPECT_GT(estimates, 100);
}

}  // namespace
