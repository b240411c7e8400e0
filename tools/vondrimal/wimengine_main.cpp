// wimengine: the WIM engine as a Linux command (wimengine.h).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/vondrimal/wimengine.h"

int main(int argc, char** argv) {
  tools::EngineConsole console;
  console.out = [](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
  console.err = [](const std::string& text) { std::fwrite(text.data(), 1, text.size(), stderr); };
  console.terminal = isatty(STDOUT_FILENO) == 1;
  const auto start = std::chrono::steady_clock::now();
  console.clock = [start]() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
  };
  return tools::runWimengine(std::vector<std::string>(argv + 1, argv + argc), console);
}
