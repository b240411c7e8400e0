#include "wim/format/wim_header.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace wim {

namespace {

// Chunk sizes that any WIM writer uses are powers of two from 4 KiB (XPRESS)
// to 1 GiB (LZMS at its largest); anything else is a broken field.
constexpr std::uint32_t kSmallestChunk = 1u << 12;
constexpr std::uint32_t kLargestChunk = 1u << 30;

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

bool startsWith(le::ByteSpan bytes, const std::array<std::uint8_t, 8>& signature) {
  return le::holds(bytes, 0, signature.size()) &&
         std::equal(signature.begin(), signature.end(), bytes.data);
}

bool isChunkSize(std::uint32_t size) {
  return size >= kSmallestChunk && size <= kLargestChunk && (size & (size - 1)) == 0;
}

Outcome compressionFromFlags(std::uint32_t flags, Compression& compression) {
  const std::uint32_t known = kCompressionXpress | kCompressionLzx | kCompressionLzms;
  const std::uint32_t types = flags & known;
  const std::uint32_t unknown = flags & kCompressionBits & ~known;
  if (!(flags & kHeaderFlagCompressed)) {
    if (types != 0)
      return failure(Problem::Damaged, "the WIM header names a compression type (flags " +
                                           hex32(flags) + ") but is not marked compressed");
    compression = Compression::None;
    return success();
  }
  if (types == 0 && unknown != 0)
    return failure(Problem::Unsupported,
                   "the WIM file uses a compression type this reader "
                   "does not know (flags " +
                       hex32(flags) + ")");
  if (types == kCompressionXpress) {
    compression = Compression::Xpress;
  } else if (types == kCompressionLzx) {
    compression = Compression::Lzx;
  } else if (types == kCompressionLzms) {
    compression = Compression::Lzms;
  } else {
    return failure(Problem::Damaged, "the WIM header is marked compressed but names " +
                                         std::string(types == 0 ? "no" : "more than one") +
                                         " compression type (flags " + hex32(flags) + ")");
  }
  if (unknown != 0)
    return failure(Problem::Damaged,
                   "the WIM header names an unknown compression type "
                   "besides a known one (flags " +
                       hex32(flags) + ")");
  return success();
}

// A resource must lie after the header and end inside the file. An empty one
// (stored size 0) is absent, wherever its offset points.
Outcome checkResource(const char* what, const ResourceHeader& resource, std::uint64_t fileSize) {
  if (resource.storedSize == 0) return success();
  if (resource.offset < kHeaderSize)
    return failure(Problem::Damaged, std::string("the ") + what + " starts at offset " +
                                         decimal(resource.offset) + ", inside the WIM header");
  if (resource.storedSize > fileSize || resource.offset > fileSize - resource.storedSize)
    return failure(Problem::Damaged, std::string("the ") + what + " (" +
                                         decimal(resource.storedSize) + " bytes at offset " +
                                         decimal(resource.offset) +
                                         ") reaches past the end of the file, which has " +
                                         decimal(fileSize) + " bytes");
  return success();
}

}  // namespace

bool readResourceHeader(le::ByteSpan bytes, std::size_t offset, ResourceHeader& resource) {
  if (!le::holds(bytes, offset, kResourceHeaderSize)) return false;
  ResourceHeader read;
  std::uint64_t flags = 0;
  bool ok = le::read(bytes, offset + 0x00, 7, read.storedSize) &&
            le::read(bytes, offset + 0x07, 1, flags) &&
            le::readU64(bytes, offset + 0x08, read.offset) &&
            le::readU64(bytes, offset + 0x10, read.originalSize);
  if (!ok) return false;
  read.flags = static_cast<std::uint8_t>(flags);
  resource = read;
  return true;
}

const char* compressionName(Compression compression) {
  switch (compression) {
    case Compression::None:
      return "None";
    case Compression::Xpress:
      return "XPRESS";
    case Compression::Lzx:
      return "LZX";
    case Compression::Lzms:
      return "LZMS";
  }
  return "unknown";
}

Outcome parseHeader(le::ByteSpan start, std::uint64_t fileSize, Header& header) {
  if (fileSize == 0) return failure(Problem::NotWim, "not a WIM file: the file is empty");
  le::ByteSpan bytes{start.data, static_cast<std::size_t>(std::min<std::uint64_t>(
                                     start.size, std::min<std::uint64_t>(fileSize, kHeaderSize)))};
  if (startsWith(bytes, kPipableSignature))
    return failure(Problem::Unsupported,
                   "a pipable WIM file (wimlib's streaming form), which this reader does not read");
  if (!startsWith(bytes, kSignature))
    return failure(Problem::NotWim, "not a WIM file: it does not start with the WIM signature");
  if (bytes.size < kHeaderSize)
    return failure(Problem::Damaged, "the WIM header is cut short: the file ends after " +
                                         decimal(bytes.size) + " of its " + decimal(kHeaderSize) +
                                         " bytes");

  Header read;
  bool ok = le::readU32(bytes, 0x08, read.headerSize) && le::readU32(bytes, 0x0C, read.version) &&
            le::readU32(bytes, 0x10, read.flags) && le::readU32(bytes, 0x14, read.chunkSize) &&
            le::holds(bytes, 0x18, read.guid.size()) && le::readU16(bytes, 0x28, read.partNumber) &&
            le::readU16(bytes, 0x2A, read.totalParts) &&
            le::readU32(bytes, 0x2C, read.imageCount) &&
            readResourceHeader(bytes, 0x30, read.lookupTable) &&
            readResourceHeader(bytes, 0x48, read.xmlData) &&
            readResourceHeader(bytes, 0x60, read.bootMetadata) &&
            le::readU32(bytes, 0x78, read.bootIndex) &&
            readResourceHeader(bytes, 0x7C, read.integrityTable);
  if (!ok) return failure(Problem::Damaged, "the WIM header could not be read");
  std::copy(bytes.data + 0x18, bytes.data + 0x18 + read.guid.size(), read.guid.begin());

  if (read.headerSize != kHeaderSize)
    return failure(Problem::Damaged, "the WIM header gives its own size as " +
                                         decimal(read.headerSize) + " bytes, not " +
                                         decimal(kHeaderSize));
  if (read.version != kVersionDefault && read.version != kVersionSolid)
    return failure(Problem::Unsupported, "WIM format version " + hex32(read.version) +
                                             ", which this reader does not know");
  Outcome compression = compressionFromFlags(read.flags, read.compression);
  if (!compression.ok()) return compression;
  if (read.chunkSize != 0 && !isChunkSize(read.chunkSize))
    return failure(Problem::Damaged, "the WIM header gives an impossible chunk size of " +
                                         decimal(read.chunkSize) + " bytes");
  if (read.compression != Compression::None && read.chunkSize == 0)
    return failure(Problem::Damaged, "the WIM header is marked compressed but gives no chunk size");
  if (read.totalParts == 0 || read.partNumber == 0 || read.partNumber > read.totalParts)
    return failure(Problem::Damaged, "the WIM header gives the impossible part number " +
                                         decimal(read.partNumber) + "/" + decimal(read.totalParts));
  if (read.bootIndex > read.imageCount)
    return failure(Problem::Damaged, "the WIM header names image " + decimal(read.bootIndex) +
                                         " as bootable, but counts only " +
                                         decimal(read.imageCount) + " images");

  const struct {
    const char* what;
    const ResourceHeader& resource;
  } resources[] = {{"lookup table", read.lookupTable},
                   {"XML data", read.xmlData},
                   {"boot metadata", read.bootMetadata},
                   {"integrity table", read.integrityTable}};
  for (const auto& entry : resources) {
    Outcome inside = checkResource(entry.what, entry.resource, fileSize);
    if (!inside.ok()) return inside;
  }
  header = read;
  return success();
}

}  // namespace wim
