#include "wim/apply/apply_stages.h"

#include <map>
#include <utility>

#include "wim/apply/ntfs_xattr_values.h"
#include "wim/apply/reparse_data.h"
#include "wim/apply/target_paths.h"

namespace wim::applying {

namespace {

Stop missingBlob(const ImageTree& tree, std::size_t index, const Sha1Digest& hash) {
  return stopWith(kApplyExitBadImage, "the data of " + quote(entryPath(tree, index)) + " (SHA-1 " +
                                          sha1Hex(hash) + ") is missing from the lookup table");
}

// The name of each hard-linked file that gets its data, the others being
// linked to it: the one with a short name where there is one, since the
// short name is applied to that name only (and ntfs-3g takes it only while
// the file has one name).
std::map<std::pair<std::uint64_t, Sha1Digest>, std::size_t> firstNamesOf(const ImageTree& tree) {
  std::map<std::pair<std::uint64_t, Sha1Digest>, std::size_t> firstNames;
  for (std::size_t i = 1; i < tree.entries.size(); ++i) {
    const TreeEntry& entry = tree.entries[i];
    if (entry.hardLinkGroup == 0 || entry.isDirectory() || entry.isReparsePoint()) continue;
    const auto placed = firstNames.emplace(std::make_pair(entry.hardLinkGroup, entry.data), i);
    if (!placed.second && !entry.shortName.empty() &&
        tree.entries[placed.first->second].shortName.empty())
      placed.first->second = i;
  }
  return firstNames;
}

}  // namespace

Stop planApply(const ImageParts& parts, const ImageTree& tree, const TargetTraits& target,
               Plan& plan) {
  const BlobTable& table = parts.table;
  plan.linked.assign(tree.entries.size(), false);
  std::map<const BlobEntry*, std::size_t> workOf;
  const auto firstNames = firstNamesOf(tree);
  std::vector<Destination> streamDestinations;
  plan.target = target;

  const auto addDestination = [&](const Sha1Digest& hash, Destination destination) -> Stop {
    const BlobEntry* blob = findBlob(table, hash);
    if (!blob) return missingBlob(tree, destination.entry, hash);
    if (blob->partNumber == 0 || blob->partNumber > parts.parts.size())
      return stopWith(kApplyExitBadImage, "the data of " +
                                              quote(entryPath(tree, destination.entry)) +
                                              " is said to lie in part " +
                                              decimal(blob->partNumber) + ", which is not there");
    if (destination.stream >= 0 && target.streamsWrittenWhole &&
        blob->dataSize() > kMaxAttributeValueSize) {
      plan.refusedStreams.push_back(destination);
      return Stop{};
    }
    auto found = workOf.find(blob);
    if (found == workOf.end()) {
      found = workOf.emplace(blob, plan.blobs.size()).first;
      plan.blobs.push_back(BlobWork{blob, {}});
    }
    if (destination.stream == kReparseData && blob->dataSize() > kMaxReparseDataSize)
      return stopWith(kApplyExitBadImage, "the reparse data of " +
                                              quote(entryPath(tree, destination.entry)) +
                                              " is larger than any reparse point can hold");
    plan.blobs[found->second].destinations.push_back(destination);
    if (isFile(plan, destination)) plan.totalBytes += blob->dataSize();
    return Stop{};
  };

  for (std::size_t i = 1; i < tree.entries.size(); ++i) {
    const TreeEntry& entry = tree.entries[i];
    if (entry.securityId < -1 ||
        (entry.securityId >= 0 &&
         static_cast<std::size_t>(entry.securityId) >= tree.descriptors.size()))
      return stopWith(kApplyExitBadImage,
                      quote(entryPath(tree, i)) + " names security descriptor " +
                          decimal(static_cast<std::uint32_t>(entry.securityId)) + " of " +
                          decimal(tree.descriptors.size()));
    if (!entry.shortName.empty()) ++plan.shortNames;
    if (entry.isReparsePoint()) {
      plan.reparsePoints.push_back(i);
      if (!isZeroDigest(entry.reparseData)) {
        Stop added = addDestination(entry.reparseData, Destination{i, kReparseData});
        if (added.stopped()) return added;
      }
      if (entry.isDirectory() && target.reparsePointsInPlace) plan.folders.push_back(i);
    } else if (entry.isDirectory()) {
      plan.folders.push_back(i);
    } else {
      ++plan.files;
      if (entry.hardLinkGroup != 0) {
        const std::size_t first = firstNames.at(std::make_pair(entry.hardLinkGroup, entry.data));
        if (first != i) {
          plan.links.emplace_back(i, first);
          plan.linked[i] = true;
          continue;  // one file: its data and streams come with the first name
        }
      }
    }
    const bool hasFileData =
        !entry.isDirectory() && (!entry.isReparsePoint() || target.reparsePointsInPlace);
    if (hasFileData) {
      if (isZeroDigest(entry.data)) {
        if (!entry.isReparsePoint()) plan.emptyFiles.push_back(i);
      } else {
        Stop added = addDestination(entry.data, Destination{i, kUnnamedData});
        if (added.stopped()) return added;
      }
    }
    plan.namedStreams += entry.namedStreams.size();
    if (!target.namedStreams) continue;
    for (std::size_t k = 0; k < entry.namedStreams.size(); ++k) {
      const Destination destination{i, static_cast<std::int32_t>(k)};
      if (isZeroDigest(entry.namedStreams[k].hash))
        plan.emptyStreams.push_back(destination);
      else
        streamDestinations.push_back(destination);
    }
  }
  // Streams after all files, so that each blob's first destination is a file
  // whenever one holds it.
  for (const Destination& destination : streamDestinations) {
    Stop added = addDestination(
        tree.entries[destination.entry].namedStreams[destination.stream].hash, destination);
    if (added.stopped()) return added;
  }
  return Stop{};
}

// What this system leaves out altogether, said before the writing starts.
std::string notApplicable(const ImageTree& tree, const Plan& plan) {
  std::vector<std::string> parts;
  const TargetTraits& target = plan.target;
  if (!target.keepsKind(MetadataKind::Attributes)) parts.push_back("file attributes");
  if (!target.keepsKind(MetadataKind::Security) && !tree.descriptors.empty())
    parts.push_back(
        counted(tree.descriptors.size(), "security descriptor", "security descriptors"));
  if (!target.keepsKind(MetadataKind::ShortName) && plan.shortNames != 0)
    parts.push_back(counted(plan.shortNames, "short name", "short names"));
  if (!target.namedStreams && plan.namedStreams != 0)
    parts.push_back(counted(plan.namedStreams, "named stream", "named streams"));
  if (parts.empty()) return std::string();
  std::string text = "Not applied on this system or file system: ";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
  return text;
}

}  // namespace wim::applying
