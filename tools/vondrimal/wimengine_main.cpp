// The apply engine as a native command, for tests and benchmarks beside
// wimlib's wimapply:
//   wimengine <image> <index> <target folder, or NTFS volume's device or file>
// It prints the lines the imaging tool prints and exits with its codes.
#include <cstdio>
#include <cstring>
#include <string>

#include "roamdeck_version.h"
#include "wim/apply/wim_apply.h"

namespace {

constexpr char kVersionLine[] = "wimengine (Roamdeck) " ROAMDECK_VERSION;

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", kVersionLine);
    return 0;
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <image> <index> <target folder or NTFS volume>\n%s\n", argv[0], kVersionLine);
    return wim::kApplyExitBadArguments;
  }
  return wim::runApplyCommand(argv[1], argv[2], argv[3], [](const std::string& line) {
    std::printf("%s\r\n", line.c_str());
    std::fflush(stdout);
  });
}
