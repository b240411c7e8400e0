// libFuzzer harness for the whole apply over a WIM file: header, lookup
// table, chunk tables, the three decoders, solid resources, the metadata and
// the writing. Each input is written to a scratch file and applied into an
// empty folder inside another; besides crashes, hangs and sanitizer findings
// it stops when anything appears beside that folder (the apply wrote outside
// its target) or when a successful apply printed an error.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "wim/apply/wim_apply.h"

namespace {

namespace fs = std::filesystem;

void check(bool promise) {
  if (!promise) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path outer =
      fs::temp_directory_path() / ("wim-apply-fuzz-" + std::to_string(getpid()));
  const fs::path image = outer / "image.wim";
  const fs::path target = outer / "target";
  std::error_code ignored;
  fs::remove_all(outer, ignored);
  fs::create_directories(target);
  {
    std::ofstream file(image, std::ios::binary);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  bool printedError = false;
  const int code = wim::runApplyCommand(image.string(), "1", target.string(),
                                        [&printedError](const std::string& line) {
                                          if (line.rfind("[ ERROR ] ", 0) == 0) printedError = true;
                                        });
  check((code == wim::kApplyExitOk) != printedError);
  for (const auto& item : fs::directory_iterator(outer))
    check(item.path() == image || item.path() == target);
  fs::remove_all(outer, ignored);
  return 0;
}
