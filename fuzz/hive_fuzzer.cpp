// libFuzzer harness for the registry hive reader of the boot library: any
// bytes in, a key tree or a refusal out. A tree that reads must also write,
// unless the writer refuses it, and what it writes must read back to the
// same file: so the reader cannot hand out a tree the writer mangles.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/store/hive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  boot::Key root{u"untouched", {}, {}};
  std::string reason;
  if (!boot::readHive(data, size, root, reason)) {
    // A refusal says why and leaves the tree alone.
    if (reason.empty() || root.name != u"untouched" || !root.subkeys.empty()) std::abort();
    return 0;
  }
  le::Bytes once;
  if (!boot::writeHive(root, once, reason)) return 0;  // e.g. names that differ only in case
  boot::Key back;
  if (!boot::readHive(once, back, reason)) std::abort();
  le::Bytes twice;
  if (!boot::writeHive(back, twice, reason) || twice != once) std::abort();
  return 0;
}
