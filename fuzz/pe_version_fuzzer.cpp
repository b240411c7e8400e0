// libFuzzer harness for the PE machine and version reader of the boot
// library: any bytes in, a machine and perhaps a version, or a refusal out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/store/pe_version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  boot::PeInfo info;
  info.machine = 0xBEEF;
  std::string reason;
  if (!boot::readPeInfo(data, size, info, reason)) {
    if (reason.empty() || info.machine != 0xBEEF) std::abort();
    return 0;
  }
  // Without a version there is a reason, with one there is none.
  if (info.hasVersion == info.versionProblem.empty()) return 0;
  std::abort();
}
