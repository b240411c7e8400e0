#include "wim/apply/apply_stages.h"

#include <algorithm>
#include <map>
#include <new>

#include "wim/apply/chunk_pipeline.h"

namespace wim::applying {

namespace {

// Orders blobs by where they lie, so that the image file is read front to
// back.
struct Position {
  std::uint16_t part = 0;
  std::uint64_t offset = 0;
  std::int32_t group = -1;
  std::size_t work = 0;
  bool operator<(const Position& other) const {
    if (part != other.part) return part < other.part;
    if (offset != other.offset) return offset < other.offset;
    return work < other.work;
  }
};

}  // namespace

// Reads a whole resource that is not packed into a solid one.
Outcome readWholeResource(const BlobEntry& entry, const ImageParts& parts,
                          std::vector<std::uint8_t>& bytes) {
  const Header& header = parts.parts[0].header;
  if (entry.partNumber == 0 || entry.partNumber > parts.parts.size())
    return failure(Problem::Damaged, "it is said to lie in part " + decimal(entry.partNumber));
  const ReadPart read = makePartReader(parts);
  std::vector<Chunk> chunks;
  Outcome outcome =
      chunksOfResource(entry.resource, entry.partNumber, parts.parts[entry.partNumber - 1].size,
                       header.compression, header.chunkSize, read, chunks);
  if (!outcome.ok()) return outcome;
  ChunkDecoder decoder;
  std::vector<std::uint8_t> stored, chunk;
  bytes.clear();
  try {
    bytes.reserve(static_cast<std::size_t>(entry.resource.originalSize));
  } catch (const std::bad_alloc&) {
    return failure(Problem::Unreadable, "not enough memory to read it");
  }
  for (const Chunk& each : chunks) {
    outcome = readChunk(each, read, decoder, stored, chunk);
    if (!outcome.ok()) return outcome;
    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
  }
  return success();
}

Stop planReading(const ImageParts& parts, const Plan& plan, const ReadPart& read,
                 ReadPlan& reading) {
  const Header& header = parts.parts[0].header;
  std::vector<Position> order;
  std::map<std::int32_t, std::vector<std::size_t>> groupWorks;
  for (std::size_t w = 0; w < plan.blobs.size(); ++w) {
    const BlobEntry& blob = *plan.blobs[w].blob;
    if (blob.dataSize() == 0) continue;
    if (blob.solidGroup < 0) {
      order.push_back(Position{blob.partNumber, blob.resource.offset, -1, w});
      continue;
    }
    std::vector<std::size_t>& works = groupWorks[blob.solidGroup];
    if (works.empty()) {
      const SolidGroup& group = parts.table.solidGroups[static_cast<std::size_t>(blob.solidGroup)];
      order.push_back(Position{group.part, group.resources.front().offset, blob.solidGroup, w});
    }
    works.push_back(w);
  }
  std::sort(order.begin(), order.end());

  for (const Position& position : order) {
    ChunkStream stream;
    std::vector<Chunk> chunks;
    std::uint64_t streamSize = 0;
    if (position.group < 0) {
      const BlobEntry& blob = *plan.blobs[position.work].blob;
      const std::uint16_t part = blob.partNumber;
      Outcome listed = chunksOfResource(blob.resource, part, parts.parts[part - 1].size,
                                        header.compression, header.chunkSize, read, chunks);
      if (!listed.ok()) return stopFor(listed);
      streamSize = blob.resource.originalSize;
      stream.stretches.push_back(Stretch{0, streamSize, position.work});
    } else {
      const SolidGroup& group = parts.table.solidGroups[static_cast<std::size_t>(position.group)];
      if (group.part == 0 || group.part > parts.parts.size())
        return stopWith(kApplyExitBadImage, "a solid resource is said to lie in part " +
                                                decimal(group.part) + ", which is not there");
      for (const ResourceHeader& resource : group.resources) {
        std::uint64_t unpacked = 0;
        Outcome listed = chunksOfSolidResource(
            resource, group.part, parts.parts[group.part - 1].size, read, chunks, unpacked);
        if (!listed.ok()) return stopFor(listed);
        streamSize += unpacked;
      }
      for (std::size_t w : groupWorks[position.group]) {
        const BlobEntry& blob = *plan.blobs[w].blob;
        const std::uint64_t start = blob.resource.offset;
        if (start > streamSize || blob.dataSize() > streamSize - start)
          return stopWith(kApplyExitBadImage, "a blob of " + decimal(blob.dataSize()) +
                                                  " bytes at " + decimal(start) +
                                                  " lies outside its solid resource of " +
                                                  decimal(streamSize) + " bytes");
        stream.stretches.push_back(Stretch{start, blob.dataSize(), w});
      }
      std::sort(stream.stretches.begin(), stream.stretches.end(),
                [](const Stretch& a, const Stretch& b) { return a.start < b.start; });
    }
    // Only the chunks that hold wanted data: an image of a solid file with
    // several shares chunks with the others.
    const std::size_t streamIndex = reading.streams.size();
    std::size_t next = 0;  // first stretch that may still reach the chunk
    std::uint64_t chunkStart = 0;
    for (const Chunk& chunk : chunks) {
      const std::uint64_t chunkEnd = chunkStart + chunk.size;
      while (next < stream.stretches.size() &&
             stream.stretches[next].start + stream.stretches[next].size <= chunkStart)
        ++next;
      bool wanted = false;
      for (std::size_t k = next; k < stream.stretches.size(); ++k) {
        if (stream.stretches[k].start >= chunkEnd) break;
        if (stream.stretches[k].start + stream.stretches[k].size > chunkStart) {
          wanted = true;
          break;
        }
      }
      if (wanted) {
        reading.chunks.push_back(chunk);
        reading.places.emplace_back(streamIndex, chunkStart);
      }
      chunkStart = chunkEnd;
    }
    if (chunkStart != streamSize)
      return stopWith(kApplyExitBadImage, "a resource's chunks do not add up to its size");
    reading.streams.push_back(std::move(stream));
  }
  return Stop{};
}

}  // namespace wim::applying
