// How a resource's data lies in the file: as is, in compressed chunks of its
// own, or inside a solid resource that packs many blobs together. The apply
// reads every resource as a list of chunks, each decoded on its own.
//
// A compressed (non-solid) resource starts with its chunk table: one entry
// for every chunk but the first, the offset of that chunk from the end of the
// table; 4 bytes each, or 8 when the original size passes 4 GiB. The chunks
// follow, each holding the file's chunk size of data (the last one less). A
// chunk whose stored size equals its original size is stored as is.
//
// A solid resource is listed in the lookup table with the original size
// kSolidResourceMarker; the blobs packed into it follow as entries with the
// solid flag, whose stored size is the blob's size and whose offset is its
// place in the unpacked data. The resource itself starts with:
//   +0x00  8 bytes   original size of the unpacked data
//   +0x08  4 bytes   chunk size
//   +0x0C  4 bytes   compression: 1 XPRESS, 2 LZX, 3 LZMS
//   +0x10  4 bytes   per chunk: its stored size
// and the chunks follow. The solid resources of one run of solid entries in
// the lookup table form one stream of unpacked data for the blobs of the run.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "bytes/little_endian.h"
#include "wim/format/outcome.h"
#include "wim/format/wim_header.h"

namespace wim {

inline constexpr std::uint64_t kSolidResourceMarker = 0x100000000ull;
inline constexpr std::size_t kSolidHeaderSize = 16;

// Chunk sizes are powers of two in this range; beyond it a chunk would not
// fit the 32-bit tool's memory twice over.
inline constexpr std::uint32_t kMinChunkSize = 1u << 12;
inline constexpr std::uint32_t kMaxChunkSize = 1u << 26;
// Data stored as is is read in pieces of this size.
inline constexpr std::uint32_t kPlainPieceSize = 1u << 20;

// One chunk as the file holds it.
struct Chunk {
  std::uint16_t part = 1;        // which file of a split image
  std::uint64_t offset = 0;      // of the stored bytes in that file
  std::uint32_t storedSize = 0;  // bytes in the file
  std::uint32_t size = 0;        // bytes it decodes to
  Compression compression = Compression::None;
  std::uint32_t chunkSize = 0;  // the resource's chunk size; decoders depend on it

  bool storedAsIs() const { return compression == Compression::None || storedSize == size; }
};

// Reads `count` bytes at `offset` of part `part` into `out`; false when they
// are not all there.
using ReadPart = std::function<bool(std::uint16_t part, std::uint64_t offset, std::size_t count,
                                    std::uint8_t* out)>;

// The chunks of a non-solid resource of part `part`, in order, reading its
// chunk table through `read`. `compression` and `chunkSize` come from the
// WIM header. `partSize` is the length of that part's file.
Outcome chunksOfResource(const ResourceHeader& resource, std::uint16_t part, std::uint64_t partSize,
                         Compression compression, std::uint32_t chunkSize, const ReadPart& read,
                         std::vector<Chunk>& chunks);

// The chunks of a solid resource (an entry with kSolidResourceMarker),
// appended to `chunks`; `unpackedSize` receives the size of its data.
Outcome chunksOfSolidResource(const ResourceHeader& resource, std::uint16_t part,
                              std::uint64_t partSize, const ReadPart& read,
                              std::vector<Chunk>& chunks, std::uint64_t& unpackedSize);

}  // namespace wim
