// The fixed header at the start of every WIM file, and the resource headers
// inside it that point to the file's other parts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bytes/little_endian.h"
#include "wim/format/outcome.h"

namespace wim {

// A resource header: where one resource of the file lies. 24 bytes on disk:
//   +0x00  7 bytes  stored size (after compression), little-endian
//   +0x07  1 byte   flags (kResource*)
//   +0x08  8 bytes  offset of the resource from the start of the file
//   +0x10  8 bytes  original size (before compression)
inline constexpr std::size_t kResourceHeaderSize = 24;

inline constexpr std::uint8_t kResourceFree = 0x01;        // space no longer used
inline constexpr std::uint8_t kResourceMetadata = 0x02;    // image metadata, XML, lookup table
inline constexpr std::uint8_t kResourceCompressed = 0x04;  // stored in compressed chunks
inline constexpr std::uint8_t kResourceSpanned = 0x08;     // continues in another part
inline constexpr std::uint8_t kResourceSolid = 0x10;       // packed with others, compressed

struct ResourceHeader {
  std::uint64_t storedSize = 0;
  std::uint8_t flags = 0;
  std::uint64_t offset = 0;
  std::uint64_t originalSize = 0;
};

// Reads a resource header at `offset` of `bytes`; false when it is not all
// there.
bool readResourceHeader(le::ByteSpan bytes, std::size_t offset, ResourceHeader& resource);

// The WIM header, 208 bytes on disk:
//   +0x00  8 bytes   signature "MSWIM\0\0\0"
//   +0x08  4 bytes   size of the header: 208
//   +0x0C  4 bytes   format version (kVersion*)
//   +0x10  4 bytes   flags (kHeaderFlag*, kCompression*)
//   +0x14  4 bytes   chunk size of compressed resources; 0 when uncompressed
//   +0x18  16 bytes  GUID of the file (shared by the parts of a split image)
//   +0x28  2 bytes   part number, from 1
//   +0x2A  2 bytes   total number of parts
//   +0x2C  4 bytes   image count
//   +0x30  24 bytes  resource header of the lookup table
//   +0x48  24 bytes  resource header of the XML data
//   +0x60  24 bytes  resource header of the boot image's metadata
//   +0x78  4 bytes   boot index: the bootable image, from 1; 0 for none
//   +0x7C  24 bytes  resource header of the integrity table
//   +0x94  60 bytes  unused
inline constexpr std::size_t kHeaderSize = 208;
inline constexpr std::array<std::uint8_t, 8> kSignature = {'M', 'S', 'W', 'I', 'M', 0, 0, 0};
// wimlib's pipable variant, which streams its header and XML elsewhere.
inline constexpr std::array<std::uint8_t, 8> kPipableSignature = {'W', 'L', 'P', 'W', 'M', 0, 0, 0};

inline constexpr std::uint32_t kVersionDefault = 0x00010D00;
inline constexpr std::uint32_t kVersionSolid = 0x00000E00;  // may hold solid resources (ESD)

inline constexpr std::uint32_t kHeaderFlagReserved = 0x00000001;
inline constexpr std::uint32_t kHeaderFlagCompressed = 0x00000002;
inline constexpr std::uint32_t kHeaderFlagReadOnly = 0x00000004;
inline constexpr std::uint32_t kHeaderFlagSpanned = 0x00000008;
inline constexpr std::uint32_t kHeaderFlagResourceOnly = 0x00000010;
inline constexpr std::uint32_t kHeaderFlagMetadataOnly = 0x00000020;
inline constexpr std::uint32_t kHeaderFlagWriteInProgress = 0x00000040;
inline constexpr std::uint32_t kHeaderFlagReparsePointFix = 0x00000080;
// The compression type sits in the upper half of the flags.
inline constexpr std::uint32_t kCompressionXpress = 0x00020000;
inline constexpr std::uint32_t kCompressionLzx = 0x00040000;
inline constexpr std::uint32_t kCompressionLzms = 0x00080000;
inline constexpr std::uint32_t kCompressionBits = 0xFFFF0000;

enum class Compression { None, Xpress, Lzx, Lzms };

// "None", "XPRESS", "LZX", "LZMS".
const char* compressionName(Compression compression);

struct Header {
  std::uint32_t headerSize = 0;
  std::uint32_t version = 0;
  std::uint32_t flags = 0;
  std::uint32_t chunkSize = 0;
  std::array<std::uint8_t, 16> guid{};
  std::uint16_t partNumber = 0;
  std::uint16_t totalParts = 0;
  std::uint32_t imageCount = 0;
  ResourceHeader lookupTable;
  ResourceHeader xmlData;
  ResourceHeader bootMetadata;
  std::uint32_t bootIndex = 0;
  ResourceHeader integrityTable;
  Compression compression = Compression::None;  // from the flags
};

// Parses and checks the header. `start` holds the first bytes of the file
// (all of them when the file is shorter than the header); `fileSize` is the
// length of the whole file, against which every resource is checked.
Outcome parseHeader(le::ByteSpan start, std::uint64_t fileSize, Header& header);

}  // namespace wim
