#include "wim/format/blob_table.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace wim {

namespace {

bool hashLess(const BlobTable& table, std::size_t a, std::size_t b) {
  return table.entries[a].hash < table.entries[b].hash;
}

Outcome checkEntry(const BlobEntry& entry, std::size_t number, std::uint64_t fileSize) {
  const ResourceHeader& resource = entry.resource;
  const std::string which = "lookup table entry " + decimal(number);
  if (resource.flags & ~kKnownResourceFlags)
    return failure(Problem::Damaged, which + " has unknown resource flags " + hex8(resource.flags));
  // A solid entry's offset and size are its place inside the solid resource.
  if ((resource.flags & kResourceSolid) && resource.originalSize != kSolidResourceMarker)
    return success();
  if (!(resource.flags & (kResourceCompressed | kResourceSolid)) &&
      resource.storedSize != resource.originalSize)
    return failure(Problem::Damaged, which + " is stored uncompressed, yet gives " +
                                         decimal(resource.storedSize) + " bytes stored and " +
                                         decimal(resource.originalSize) + " bytes original");
  if (resource.storedSize == 0) return success();
  if (resource.offset < kHeaderSize)
    return failure(Problem::Damaged, which + " points to offset " + decimal(resource.offset) +
                                         ", inside the WIM header");
  if (resource.storedSize > fileSize || resource.offset > fileSize - resource.storedSize)
    return failure(Problem::Damaged, which + " (" + decimal(resource.storedSize) +
                                         " bytes at offset " + decimal(resource.offset) +
                                         ") reaches past the end of the file, which has " +
                                         decimal(fileSize) + " bytes");
  return success();
}

}  // namespace

bool readBlobEntry(le::ByteSpan bytes, std::size_t offset, BlobEntry& entry) {
  if (!le::holds(bytes, offset, kBlobEntrySize)) return false;
  BlobEntry read;
  const bool ok = readResourceHeader(bytes, offset + 0x00, read.resource) &&
                  le::readU16(bytes, offset + 0x18, read.partNumber) &&
                  le::readU32(bytes, offset + 0x1A, read.referenceCount);
  if (!ok) return false;
  std::copy(bytes.data + offset + 0x1E, bytes.data + offset + 0x1E + kSha1Size, read.hash.begin());
  entry = read;
  return true;
}

Outcome parseBlobTable(le::ByteSpan bytes, const Header& header, std::uint64_t fileSize,
                       BlobTable& table) {
  if (bytes.size % kBlobEntrySize != 0)
    return failure(Problem::Damaged, "the lookup table has " + decimal(bytes.size) +
                                         " bytes, which is no whole number of " +
                                         decimal(kBlobEntrySize) + "-byte entries");
  BlobTable read;
  const std::size_t count = bytes.size / kBlobEntrySize;
  read.entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    BlobEntry entry;
    if (!readBlobEntry(bytes, i * kBlobEntrySize, entry))
      return failure(Problem::Damaged, "lookup table entry " + decimal(i + 1) + " is cut short");
    Outcome checked = checkEntry(entry, i + 1, fileSize);
    if (!checked.ok()) return checked;
    if (entry.isSolidResource()) {
      // Offsets of the blobs count through every solid resource of a run of
      // solid entries, also one listed after blobs of an earlier one.
      const bool continues =
          !read.entries.empty() && (read.entries.back().resource.flags & kResourceSolid);
      if (!continues) read.solidGroups.push_back(SolidGroup{entry.partNumber, {}});
      read.solidGroups.back().resources.push_back(entry.resource);
    } else if (entry.resource.flags & kResourceSolid) {
      if (read.solidGroups.empty())
        return failure(Problem::Damaged, "lookup table entry " + decimal(i + 1) +
                                             " lies in a solid resource, but none is listed "
                                             "before it");
      entry.solidGroup = static_cast<std::int32_t>(read.solidGroups.size() - 1);
    }
    read.entries.push_back(entry);
    if (entry.resource.flags & kResourceFree) continue;
    if (entry.resource.flags & kResourceMetadata)
      read.metadata.push_back(i);
    else if (!isZeroDigest(entry.hash))  // a solid resource's own entry has no hash
      read.byHash.push_back(i);
  }
  const bool laterPart = header.totalParts > 1 && header.partNumber != 1;
  if (read.metadata.size() != header.imageCount && !(laterPart && read.metadata.empty()))
    return failure(Problem::Damaged, "the WIM header counts " + decimal(header.imageCount) +
                                         " images, but the lookup table holds metadata for " +
                                         decimal(read.metadata.size()));
  std::stable_sort(read.byHash.begin(), read.byHash.end(),
                   [&read](std::size_t a, std::size_t b) { return hashLess(read, a, b); });
  table = std::move(read);
  return success();
}

void mergeBlobTable(BlobTable& table, BlobTable&& part) {
  const std::size_t base = table.entries.size();
  const std::int32_t groupBase = static_cast<std::int32_t>(table.solidGroups.size());
  for (BlobEntry& entry : part.entries) {
    if (entry.solidGroup >= 0) entry.solidGroup += groupBase;
    table.entries.push_back(entry);
  }
  for (SolidGroup& group : part.solidGroups) table.solidGroups.push_back(std::move(group));
  for (std::size_t index : part.metadata) table.metadata.push_back(base + index);
  for (std::size_t index : part.byHash) table.byHash.push_back(base + index);
  std::stable_sort(table.byHash.begin(), table.byHash.end(),
                   [&table](std::size_t a, std::size_t b) { return hashLess(table, a, b); });
}

const BlobEntry* findBlob(const BlobTable& table, const Sha1Digest& hash) {
  const auto at = std::lower_bound(table.byHash.begin(), table.byHash.end(), hash,
                                   [&table](std::size_t index, const Sha1Digest& wanted) {
                                     return table.entries[index].hash < wanted;
                                   });
  if (at == table.byHash.end() || table.entries[*at].hash != hash) return nullptr;
  return &table.entries[*at];
}

}  // namespace wim
