// libFuzzer harness for the parser of an image's metadata resource: the
// security data and the directory tree. Besides crashes and sanitizer
// findings it stops on a broken promise of a parsed tree: the root first,
// every folder before what it holds, every name one that stays inside its
// folder, and security ids that the caller must still check (kept as read).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "wim/format/image_tree.h"

namespace {

void check(bool promise) {
  if (!promise) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  wim::ImageTree tree;
  if (!wim::parseImageMetadata(le::ByteSpan{data, size}, tree).ok()) return 0;
  check(!tree.entries.empty() && tree.entries[0].name.empty());
  check(tree.descriptors.size() == tree.securityDescriptors);
  for (std::size_t i = 1; i < tree.entries.size(); ++i) {
    const wim::TreeEntry& entry = tree.entries[i];
    check(entry.parent < i);
    check(tree.entries[entry.parent].isDirectory());
    check(!tree.entries[entry.parent].isReparsePoint());
    check(entry.depth == tree.entries[entry.parent].depth + 1);
    check(wim::checkEntryName(entry.name).empty());
  }
  return 0;
}
