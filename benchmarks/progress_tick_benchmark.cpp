// One progress tick's text work on a full log box: the box is read and split
// twenty times a second while an image is applied.
#include <benchmark/benchmark.h>

#include <string>

#include "install/progress_text.h"

namespace {

// A box as the console leaves it just before the 30000-character reset:
// the banner, the command, and progress lines up to the limit.
std::string fullLogBox() {
  std::string box =
      "Microsoft Windows 6.1.7601\r\n\r\nC:\\windows\\system32>"
      "Vondrimal.exe /apply \"E:\\sources\\install.wim\" 2 D:\\\r\n";
  int percent = 0;
  while (true) {
    std::string line = "[ " +
                       std::string(percent < 10    ? "  "
                                   : percent < 100 ? " "
                                                   : "") +
                       std::to_string(percent) + "% ] Applying progress: 2:30 mins remaining \r\n";
    if (box.size() + line.size() > 30000) break;
    box += line;
    percent = (percent + 1) % 100;
  }
  return box;
}

void BM_ProgressTickOnFullBox(benchmark::State& state) {
  const std::string box = fullLogBox();
  for (auto _ : state) {
    ProgressView view = progressViewOf(box);
    benchmark::DoNotOptimize(view);
  }
  state.counters["box_bytes"] = static_cast<double>(box.size());
}
BENCHMARK(BM_ProgressTickOnFullBox)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
