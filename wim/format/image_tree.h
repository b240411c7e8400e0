// The metadata resource of one image: its security data and the tree of
// directory entries ("dentries") that names every folder and file of the
// image and points to their data by SHA-1.
//
// The resource, uncompressed:
//   +0x00  the security data (below), its length rounded up to 8
//   then   the root's directory entry; each folder's entry points to the
//          list of the entries it holds, anywhere in the resource
//
// Security data:
//   +0x00  4 bytes   total length of the security data, this header included
//   +0x04  4 bytes   number of security descriptors, n
//   +0x08  8n bytes  the length of each descriptor
//   then   the descriptors, one after another
//
// Directory entry, at a multiple of 8 in practice (not relied upon):
//   +0x00  8 bytes   length of the entry; a length of 8 or less (eight zero
//                    bytes) ends a folder's list instead
//   +0x08  4 bytes   file attributes (kAttribute*)
//   +0x0C  4 bytes   security id: a descriptor's index, -1 for none
//   +0x10  8 bytes   subdirectory offset: where the list of a folder's
//                    entries starts, from the start of the resource; 0 for none
//   +0x18  16 bytes  unused
//   +0x28  8 bytes   creation time    } FILETIME: 100 ns units
//   +0x30  8 bytes   last access time } since 1601-01-01 UTC
//   +0x38  8 bytes   last write time  }
//   +0x40  20 bytes  SHA-1 of the unnamed data stream (of the reparse data for
//                    a reparse point); zero for none
//   +0x54  4 bytes   unused
//   +0x58  8 bytes   a reparse point: 4 bytes reparse tag, 2 unused, 2 flags;
//                    anything else: the hard link group id, 0 for a file
//                    with one name
//   +0x60  2 bytes   number of stream entries that follow the entry
//   +0x62  2 bytes   length of the short (8.3) name in bytes
//   +0x64  2 bytes   length of the long name in bytes
//   +0x66  the long name in UTF-16LE and, unless empty, a 2-byte null; then
//          the short name the same way; anything after them up to the
//          length is extra data that this reader passes over
//
// Stream entries follow at the entry's length rounded up to 8, each next one
// at the previous one's length rounded up to 8; the next sibling entry comes
// after the last of them:
//   +0x00  8 bytes   length of the stream entry
//   +0x08  8 bytes   unused
//   +0x10  20 bytes  SHA-1 of the stream's data; zero for none
//   +0x24  2 bytes   length of the stream's name in bytes; 0 for unnamed
//   +0x26  the name in UTF-16LE and, unless empty, a 2-byte null
// A file with named streams keeps its unnamed data in an unnamed stream
// entry; a reparse point lists its reparse data first, then its unnamed data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "wim/format/outcome.h"
#include "wim/format/sha1.h"

namespace wim {

inline constexpr std::size_t kSecurityHeaderSize = 8;
inline constexpr std::size_t kDentryFixedSize = 0x66;
inline constexpr std::size_t kStreamEntryFixedSize = 0x26;

inline constexpr std::uint32_t kAttributeDirectory = 0x00000010;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x00000400;

// Deeper than any real tree by far; the walk itself needs no stack, this only
// turns a crafted chain of folders into a plain refusal.
inline constexpr std::size_t kMaxTreeDepth = 1024;

// NTFS holds names of at most 255 UTF-16 code units.
inline constexpr std::size_t kMaxNameUnits = 255;

struct NamedStream {
  std::u16string name;
  Sha1Digest hash{};
};

struct TreeEntry {
  std::u16string name;       // empty only for the root
  std::u16string shortName;  // empty when there is none
  std::size_t parent = 0;    // index of the folder that holds it; the root holds itself
  std::size_t depth = 0;     // 0 for the root
  std::uint64_t offset = 0;  // where the entry lies in the metadata resource
  std::uint32_t attributes = 0;
  std::int32_t securityId = -1;
  std::uint64_t creationTime = 0;
  std::uint64_t lastAccessTime = 0;
  std::uint64_t lastWriteTime = 0;
  std::uint32_t reparseTag = 0;     // reparse points only
  std::uint64_t hardLinkGroup = 0;  // all others
  Sha1Digest data{};                // unnamed data stream; zero when empty
  Sha1Digest reparseData{};         // reparse points only
  std::vector<NamedStream> namedStreams;

  bool isDirectory() const { return (attributes & kAttributeDirectory) != 0; }
  bool isReparsePoint() const { return (attributes & kAttributeReparsePoint) != 0; }
};

struct ImageTree {
  std::uint32_t securityDescriptors = 0;
  std::vector<std::vector<std::uint8_t>> descriptors;  // by security id
  std::vector<TreeEntry> entries;  // [0] is the root; a folder always before what it holds
};

// Parses a whole metadata resource. Everything is bounds-checked; an entry
// that is reached twice (a loop), a tree deeper than kMaxTreeDepth, a list
// that runs off the end, or a name that is not a plain Windows file name
// (see checkEntryName) makes it fail as damage.
Outcome parseImageMetadata(le::ByteSpan metadata, ImageTree& tree);

// Empty when `name` can name one entry inside a folder on Windows without
// reaching anywhere else; otherwise why not. Refused: the empty name, "." and
// "..", separators and the other characters Windows forbids (\ / : * ? " < >
// | and controls), a trailing dot or space (Windows drops them, so two names
// would meet), device names such as CON or LPT1, unpaired surrogates, and
// names longer than kMaxNameUnits.
std::string checkEntryName(const std::u16string& name);

// The entry's path inside the image, folders joined by backslashes, as UTF-8;
// "\" for the root. For messages.
std::string entryPath(const ImageTree& tree, std::size_t index);

// UTF-16 text as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8Of(const std::u16string& text);

}  // namespace wim
