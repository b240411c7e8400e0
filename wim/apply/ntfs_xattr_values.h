// The values that ntfs-3g takes through its extended attributes, built from
// what an image holds. Plain bytes, so that they are built and tested the
// same everywhere; apply_target_posix.cpp writes them. The "_be" forms of the
// numeric attributes are used so that the bytes do not depend on the host:
//   system.ntfs_attrib_be      4 bytes  the file attributes, big-endian
//   system.ntfs_times_be      24 bytes  creation, last write, last access:
//                                       FILETIMEs, big-endian, in that order
//   system.ntfs_reparse_data   the whole reparse buffer (below)
//   system.ntfs_dos_name       the short name as UTF-8, no terminator
//   system.ntfs_acl            the self-relative security descriptor
//   user.<name>                the named data stream <name>, whole
// The reparse buffer, as FSCTL_SET_REPARSE_POINT takes it:
//   +0x00  4 bytes  reparse tag
//   +0x04  2 bytes  length of the data that follows the header
//   +0x06  2 bytes  reserved, 0
//   +0x08  the data, as the image stores it
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes/little_endian.h"

namespace wim {

// Linux takes no extended attribute value larger than this (XATTR_SIZE_MAX),
// and no name longer than kMaxAttributeNameBytes (XATTR_NAME_MAX).
inline constexpr std::size_t kMaxAttributeValueSize = 65536;
inline constexpr std::size_t kMaxAttributeNameBytes = 255;

// The attributes a file's owner sets; ntfs-3g derives the others (folder,
// compressed, sparse, reparse point, encrypted) from the file itself.
inline constexpr std::uint32_t kSettableNtfsAttributes = 0x00000001 |  // read-only
                                                         0x00000002 |  // hidden
                                                         0x00000004 |  // system
                                                         0x00000020 |  // archive
                                                         0x00000080 |  // normal
                                                         0x00000100 |  // temporary
                                                         0x00001000 |  // offline
                                                         0x00002000;   // not content indexed

std::vector<std::uint8_t> ntfsAttributesValue(std::uint32_t attributes);

std::vector<std::uint8_t> ntfsTimesValue(std::uint64_t creation, std::uint64_t lastWrite,
                                         std::uint64_t lastAccess);

// Empty when the data is larger than a reparse point holds.
std::vector<std::uint8_t> reparseBuffer(std::uint32_t tag, le::ByteSpan data);

// A UTF-16 name as UTF-8 for ntfs-3g; false, with `reason`, where that
// would change it: an unpaired surrogate or a NUL.
bool ntfsNameText(const std::u16string& name, std::string& text, std::string& reason);

// "user.<name>" for a named stream; false, with `reason`, for a name that
// ntfs-3g's streams interface cannot carry.
bool streamAttributeName(const std::u16string& name, std::string& attribute, std::string& reason);

}  // namespace wim
