// The apply engine as a native command, for tests and benchmarks beside
// wimlib's wimapply:
//   wimengine <image> <index> <target folder>
// It prints the lines the imaging tool prints and exits with its codes.
#include <cstdio>
#include <string>

#include "wim/apply/wim_apply.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <image> <index> <target folder>\n", argv[0]);
    return wim::kApplyExitBadArguments;
  }
  return wim::runApplyCommand(argv[1], argv[2], argv[3], [](const std::string& line) {
    std::printf("%s\r\n", line.c_str());
    std::fflush(stdout);
  });
}
