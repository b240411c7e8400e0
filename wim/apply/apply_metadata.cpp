#include "wim/apply/apply_stages.h"

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

void applyShortNames(Applier& applier) {
  const TargetTraits& target = applier.plan.target;
  if (!target.shortNamesBeforeLinks || !target.keepsKind(MetadataKind::ShortName)) return;
  const ImageTree& tree = applier.tree;
  std::vector<std::size_t> pending;
  std::vector<std::string> reasons(tree.entries.size());
  for (std::size_t index = 1; index < tree.entries.size(); ++index)
    if (!tree.entries[index].shortName.empty()) pending.push_back(index);
  // The system gave every new entry a short name of its own, which may be
  // the one the image gives a neighbour: what failed is tried again for as
  // long as a pass sets any, since the neighbour's own new name frees it.
  bool progress = true;
  while (progress && !pending.empty()) {
    progress = false;
    std::vector<std::size_t> failed;
    for (std::size_t index : pending) {
      const TreeEntry& entry = tree.entries[index];
      // A second name of a file is no file yet; the plan gave the short
      // name's holder the data wherever one name of a file has it.
      reasons[index] = applier.plan.linked[index]
                           ? std::string("another name of the same file has a short name already")
                       : applier.volume ? applier.volume->setShortName(
                                              applier.paths[index].string(), entry.shortName)
                                        : applyShortName(applier.paths[index], entry.shortName);
      if (reasons[index].empty())
        progress = true;
      else if (!applier.plan.linked[index])
        failed.push_back(index);
      else
        applier.failures.add(MetadataKind::ShortName,
                             quote(entryPath(tree, index)) + ": " + reasons[index]);
    }
    pending.swap(failed);
  }
  for (std::size_t index : pending)
    applier.failures.add(MetadataKind::ShortName,
                         quote(entryPath(tree, index)) + ": " + reasons[index]);
}

void applyMetadata(Applier& applier) {
  const ImageTree& tree = applier.tree;
  const TargetTraits& target = applier.plan.target;
  // Backwards: what a folder holds before the folder, whose time each new
  // entry would change again; the target folder itself last, where it takes
  // the root's metadata.
  for (std::size_t index = tree.entries.size() - 1; index < tree.entries.size(); --index) {
    if (index == 0 && !target.rootMetadata) break;
    if (applier.plan.linked[index]) continue;
    const TreeEntry& entry = tree.entries[index];
    const fs::path& path = applier.paths[index];
    if (!applier.made[index]) continue;
    EntryMetadata metadata;
    metadata.folder = entry.isDirectory();
    metadata.attributes = entry.attributes;
    metadata.creationTime = entry.creationTime;
    metadata.lastAccessTime = entry.lastAccessTime;
    metadata.lastWriteTime = entry.lastWriteTime;
    if (entry.securityId >= 0) {
      const auto& descriptor = tree.descriptors[static_cast<std::size_t>(entry.securityId)];
      metadata.securityDescriptor = le::ByteSpan{descriptor.data(), descriptor.size()};
    }
    if (!target.shortNamesBeforeLinks && target.keepsKind(MetadataKind::ShortName))
      metadata.shortName = entry.shortName;
    if (applier.volume)
      applier.volume->setMetadata(path.string(), metadata, applier.failures);
    else
      applyEntryMetadata(path, metadata, entry.isReparsePoint(), target, applier.failures);
  }
}

Stop reportMetadataFailures(const Applier& applier) {
  for (int kind = 0; kind < kMetadataKinds; ++kind) {
    const std::uint64_t count = applier.failures.count[kind];
    if (count == 0) continue;
    applier.printLine(
        kWarnLinePrefix +
        printable(decimal(count) + " of the " + kindName(static_cast<MetadataKind>(kind)) +
                  " could not be applied; the first: " + applier.failures.first[kind]));
  }
  if (!applier.plan.target.windowsNeedsMetadata) return Stop{};
  std::string missing;
  for (MetadataKind kind : {MetadataKind::Security, MetadataKind::ReparseData}) {
    const std::uint64_t count = applier.failures.count[static_cast<int>(kind)];
    if (count != 0)
      missing += (missing.empty() ? "" : " and ") + decimal(count) + " " + kindName(kind);
  }
  if (missing.empty()) return Stop{};
  return stopWith(kApplyExitMetadataIncomplete,
                  missing + " could not be written: Windows may not start from this volume");
}

}  // namespace wim::applying
