#include "wim/apply_stages.h"

#include <system_error>

namespace wim::applying {

namespace {

const char* kindName(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::Attributes:
      return "file attributes";
    case MetadataKind::Times:
      return "timestamps";
    case MetadataKind::Security:
      return "security descriptors";
    case MetadataKind::ShortName:
      return "short names";
    case MetadataKind::ReparseData:
      return "reparse points";
    case MetadataKind::NamedStream:
      return "named streams";
  }
  return "";
}

}  // namespace

void applyMetadata(Applier& applier) {
  const ImageTree& tree = applier.tree;
  // Backwards: what a folder holds before the folder, whose time each new
  // entry would change again.
  for (std::size_t index = tree.entries.size() - 1; index > 0; --index) {
    if (applier.plan.linked[index]) continue;
    const TreeEntry& entry = tree.entries[index];
    const fs::path& path = applier.paths[index];
    std::error_code error;
    if (fs::symlink_status(path, error).type() == fs::file_type::not_found) continue;
    EntryMetadata metadata;
    metadata.folder = entry.isDirectory();
    metadata.attributes = entry.attributes;
    metadata.creationTime = entry.creationTime;
    metadata.lastAccessTime = entry.lastAccessTime;
    metadata.lastWriteTime = entry.lastWriteTime;
    if (entry.securityId >= 0) {
      const auto& descriptor = tree.descriptors[static_cast<std::size_t>(entry.securityId)];
      metadata.securityDescriptor = ByteSpan{descriptor.data(), descriptor.size()};
    }
    metadata.shortName = entry.shortName;
    applyEntryMetadata(path, metadata, entry.isReparsePoint(), applier.failures);
  }
}

void reportMetadataFailures(const Applier& applier) {
  for (int kind = 0; kind < kMetadataKinds; ++kind) {
    const std::uint64_t count = applier.failures.count[kind];
    if (count == 0) continue;
    applier.printLine(
        kWarnLinePrefix +
        printable(decimal(count) + " of the " + kindName(static_cast<MetadataKind>(kind)) +
                  " could not be applied; the first: " + applier.failures.first[kind]));
  }
}

}  // namespace wim::applying
