// The reparse data of links, as a WIM file stores it: the reparse buffer
// after its 8-byte header (the tag comes from the directory entry).
//   +0x00  2 bytes  offset of the substitute name in the path buffer
//   +0x02  2 bytes  its length in bytes
//   +0x04  2 bytes  offset of the print name
//   +0x06  2 bytes  its length in bytes
//   +0x08  4 bytes  flags, symbolic links only: 1 = relative
//   then   the path buffer, UTF-16LE
#pragma once

#include <cstdint>
#include <string>

#include "bytes/little_endian.h"

namespace wim {

inline constexpr std::uint32_t kReparseTagMountPoint = 0xA0000003;
inline constexpr std::uint32_t kReparseTagSymlink = 0xA000000C;
inline constexpr std::uint32_t kSymlinkFlagRelative = 0x00000001;
inline constexpr std::size_t kReparseHeaderSize = 8;  // tag, data length, reserved
inline constexpr std::size_t kMaxReparseDataSize = 16 * 1024 - kReparseHeaderSize;

struct LinkTarget {
  std::u16string substituteName;
  bool relative = false;
};

// Reads the target of a symbolic link or junction; false for other tags and
// for data that does not hold what it says.
bool readLinkTarget(std::uint32_t tag, le::ByteSpan data, LinkTarget& target);

// The target as a POSIX symbolic link holds it: separators become slashes;
// an absolute one loses its "\??\" and drive letter ("\??\C:\usr\bin" gives
// "/usr/bin").
std::u16string posixLinkText(const LinkTarget& target);

}  // namespace wim
