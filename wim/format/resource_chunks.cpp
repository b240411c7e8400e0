#include "wim/format/resource_chunks.h"

#include <limits>
#include <string>

namespace wim {

namespace {

bool isPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

Outcome checkChunkSize(std::uint32_t chunkSize, const std::string& whose) {
  if (!isPowerOfTwo(chunkSize) || chunkSize < kMinChunkSize || chunkSize > kMaxChunkSize)
    return failure(Problem::Unsupported, whose + " gives the chunk size " + decimal(chunkSize) +
                                             ", which is no power of two from " +
                                             decimal(kMinChunkSize) + " to " +
                                             decimal(kMaxChunkSize));
  return success();
}

Outcome checkInsidePart(const ResourceHeader& resource, std::uint64_t partSize) {
  if (resource.storedSize > partSize || resource.offset > partSize - resource.storedSize)
    return failure(Problem::Damaged, "a resource of " + decimal(resource.storedSize) +
                                         " bytes at offset " + decimal(resource.offset) +
                                         " reaches past the end of its file");
  return success();
}

void addPlainPieces(std::uint64_t offset, std::uint64_t size, std::uint16_t part,
                    std::vector<Chunk>& chunks) {
  while (size > 0) {
    const std::uint32_t piece =
        size < kPlainPieceSize ? static_cast<std::uint32_t>(size) : kPlainPieceSize;
    chunks.push_back(Chunk{part, offset, piece, piece, Compression::None, 0});
    offset += piece;
    size -= piece;
  }
}

// The compression a solid resource names: 1, 2, 3; false for anything else.
bool solidCompression(std::uint32_t code, Compression& compression) {
  switch (code) {
    case 1:
      compression = Compression::Xpress;
      return true;
    case 2:
      compression = Compression::Lzx;
      return true;
    case 3:
      compression = Compression::Lzms;
      return true;
    default:
      return false;
  }
}

}  // namespace

Outcome chunksOfResource(const ResourceHeader& resource, std::uint16_t part, std::uint64_t partSize,
                         Compression compression, std::uint32_t chunkSize, const ReadPart& read,
                         std::vector<Chunk>& chunks) {
  chunks.clear();
  Outcome inside = checkInsidePart(resource, partSize);
  if (!inside.ok()) return inside;
  if (!(resource.flags & kResourceCompressed)) {
    if (resource.storedSize != resource.originalSize)
      return failure(Problem::Damaged, "a resource stored as is gives " +
                                           decimal(resource.storedSize) + " bytes stored and " +
                                           decimal(resource.originalSize) + " original");
    addPlainPieces(resource.offset, resource.originalSize, part, chunks);
    return success();
  }
  if (compression == Compression::None)
    return failure(Problem::Damaged,
                   "a resource is marked compressed in a WIM file that names no compression");
  Outcome sized = checkChunkSize(chunkSize, "the WIM header");
  if (!sized.ok()) return sized;
  if (resource.originalSize == 0) return success();

  const std::uint64_t count = (resource.originalSize + chunkSize - 1) / chunkSize;
  const std::size_t width = resource.originalSize > 0xFFFFFFFFull ? 8 : 4;
  // Every chunk takes at least one stored byte, so the count is bounded by
  // the stored size: a huge original size cannot make a huge table.
  if (count > resource.storedSize || (count - 1) * width >= resource.storedSize)
    return failure(Problem::Damaged, "a compressed resource of " + decimal(resource.storedSize) +
                                         " bytes cannot hold " + decimal(count) + " chunks");
  const std::size_t tableSize = static_cast<std::size_t>((count - 1) * width);
  std::vector<std::uint8_t> table(tableSize);
  if (tableSize != 0 && !read(part, resource.offset, tableSize, table.data()))
    return failure(Problem::Unreadable, "cannot read a chunk table");
  const le::ByteSpan bytes{table.data(), table.size()};
  const std::uint64_t dataSize = resource.storedSize - tableSize;
  chunks.reserve(static_cast<std::size_t>(count));
  std::uint64_t start = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t end = dataSize;
    if (i + 1 < count && !le::read(bytes, static_cast<std::size_t>(i * width), width, end))
      return failure(Problem::Damaged, "a chunk table is cut short");
    const std::uint64_t size =
        i + 1 < count ? chunkSize : resource.originalSize - (count - 1) * chunkSize;
    if (end <= start || end > dataSize || end - start > size)
      return failure(Problem::Damaged, "chunk " + decimal(i + 1) + " of a compressed resource " +
                                           "lies outside it or is larger than its data");
    chunks.push_back(Chunk{part, resource.offset + tableSize + start,
                           static_cast<std::uint32_t>(end - start),
                           static_cast<std::uint32_t>(size), compression, chunkSize});
    start = end;
  }
  return success();
}

Outcome chunksOfSolidResource(const ResourceHeader& resource, std::uint16_t part,
                              std::uint64_t partSize, const ReadPart& read,
                              std::vector<Chunk>& chunks, std::uint64_t& unpackedSize) {
  Outcome inside = checkInsidePart(resource, partSize);
  if (!inside.ok()) return inside;
  std::uint8_t head[kSolidHeaderSize];
  if (resource.storedSize < kSolidHeaderSize || !read(part, resource.offset, sizeof head, head))
    return failure(Problem::Damaged, "a solid resource is too short for its header");
  const le::ByteSpan headBytes{head, sizeof head};
  std::uint64_t size = 0;
  std::uint32_t chunkSize = 0;
  std::uint32_t code = 0;
  le::readU64(headBytes, 0, size);
  le::readU32(headBytes, 8, chunkSize);
  le::readU32(headBytes, 12, code);
  Compression compression = Compression::None;
  if (!solidCompression(code, compression))
    return failure(Problem::Unsupported,
                   "a solid resource names the unknown compression " + decimal(code));
  Outcome sized = checkChunkSize(chunkSize, "a solid resource");
  if (!sized.ok()) return sized;
  const std::uint64_t count = (size + chunkSize - 1) / chunkSize;
  const std::uint64_t room = resource.storedSize - kSolidHeaderSize;
  if (count > room / 5)  // four table bytes and at least one stored byte each
    return failure(Problem::Damaged, "a solid resource of " + decimal(resource.storedSize) +
                                         " bytes cannot hold " + decimal(count) + " chunks");
  const std::size_t tableSize = static_cast<std::size_t>(count * 4);
  std::vector<std::uint8_t> table(tableSize);
  if (tableSize != 0 && !read(part, resource.offset + kSolidHeaderSize, tableSize, table.data()))
    return failure(Problem::Unreadable, "cannot read a solid resource's chunk table");
  const le::ByteSpan bytes{table.data(), table.size()};
  std::uint64_t offset = resource.offset + kSolidHeaderSize + tableSize;
  const std::uint64_t end = resource.offset + resource.storedSize;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint32_t stored = 0;
    le::readU32(bytes, static_cast<std::size_t>(i * 4), stored);
    const std::uint64_t original = i + 1 < count ? chunkSize : size - (count - 1) * chunkSize;
    if (stored == 0 || stored > original || stored > end - offset)
      return failure(Problem::Damaged, "chunk " + decimal(i + 1) + " of a solid resource " +
                                           "lies outside it or is larger than its data");
    chunks.push_back(
        Chunk{part, offset, stored, static_cast<std::uint32_t>(original), compression, chunkSize});
    offset += stored;
  }
  unpackedSize = size;
  return success();
}

}  // namespace wim
