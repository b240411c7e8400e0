// The lookup table ("blob table"): one entry for every piece of data the WIM
// file stores, found by the SHA-1 of that data. The images' metadata
// resources are entries too, marked kResourceMetadata, in image order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes/little_endian.h"
#include "wim/format/outcome.h"
#include "wim/format/resource_chunks.h"
#include "wim/format/sha1.h"
#include "wim/format/wim_header.h"

namespace wim {

// One entry, 50 bytes on disk:
//   +0x00  24 bytes  resource header: where the data lies, its flags and sizes
//   +0x18  2 bytes   part number of a split image that holds the data, from 1
//   +0x1A  4 bytes   reference count: how many streams of all images use it
//   +0x1E  20 bytes  SHA-1 of the data (uncompressed)
inline constexpr std::size_t kBlobEntrySize = 50;

// Every resource flag this reader knows; others are damage.
inline constexpr std::uint8_t kKnownResourceFlags =
    kResourceFree | kResourceMetadata | kResourceCompressed | kResourceSpanned | kResourceSolid;

// A table of millions of entries would be a broken size field, not an image:
// Windows' own install images hold some hundred thousand.
inline constexpr std::uint64_t kMaxBlobTableSize = 256ull << 20;

struct BlobEntry {
  ResourceHeader resource;
  std::uint16_t partNumber = 0;
  std::uint32_t referenceCount = 0;
  Sha1Digest hash{};
  // A blob packed in a solid resource: the index of its group in
  // BlobTable::solidGroups; -1 for all others.
  std::int32_t solidGroup = -1;

  bool isSolidResource() const {
    return (resource.flags & kResourceSolid) && resource.originalSize == kSolidResourceMarker;
  }
  // The size of the data: a blob inside a solid resource gives it as its
  // stored size (its original size is 0 there).
  std::uint64_t dataSize() const {
    if (solidGroup >= 0 && resource.originalSize == 0) return resource.storedSize;
    return resource.originalSize;
  }
};

// The solid resources of one run of entries with the solid flag: their
// unpacked data is one stream, in which the blob entries of the run give
// their offsets.
struct SolidGroup {
  std::uint16_t part = 1;
  std::vector<ResourceHeader> resources;
};

struct BlobTable {
  std::vector<BlobEntry> entries;  // as on disk
  std::vector<SolidGroup> solidGroups;
  std::vector<std::size_t> metadata;  // indices of the images' metadata entries, image order
  std::vector<std::size_t> byHash;    // indices of the data entries, sorted by hash
};

// Reads one entry at `offset` of `bytes`; false when it is not all there.
bool readBlobEntry(le::ByteSpan bytes, std::size_t offset, BlobEntry& entry);

// Parses the table's bytes and checks every entry against the file: known
// flags, sizes that agree for data stored as is, and data that lies after the
// header and ends inside a file of `fileSize` bytes. Entries packed into a
// solid resource point inside that resource and are not checked against the
// file; each belongs to the group of the solid resources in its run of
// solid entries.
// The number of metadata entries must be the header's image count, except in
// the later parts of a split image, which hold none.
Outcome parseBlobTable(le::ByteSpan bytes, const Header& header, std::uint64_t fileSize,
                       BlobTable& table);

// Adds the entries of another part's table (a split image) to `table`.
void mergeBlobTable(BlobTable& table, BlobTable&& part);

// The data entry with this hash (free entries and metadata excluded), or null.
const BlobEntry* findBlob(const BlobTable& table, const Sha1Digest& hash);

}  // namespace wim
