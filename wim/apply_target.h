// What the apply does to the target's file system beyond plain folders and
// file data: reparse points, named streams, attributes, timestamps, security
// descriptors and short names. One implementation per system:
// apply_target_win32.cpp does all of it; apply_target_posix.cpp (the native
// build for tests and benchmarks) makes symbolic links of link reparse
// points and sets times, and reports the rest as not applicable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "wim/le_bytes.h"

namespace wim {

// The kinds of metadata, for counting what could not be applied.
enum class MetadataKind { Attributes, Times, Security, ShortName, ReparseData, NamedStream };
inline constexpr int kMetadataKinds = 6;

struct EntryMetadata {
  bool folder = false;
  std::uint32_t attributes = 0;
  std::uint64_t creationTime = 0;  // FILETIME: 100 ns since 1601, 0 for none
  std::uint64_t lastAccessTime = 0;
  std::uint64_t lastWriteTime = 0;
  ByteSpan securityDescriptor;  // empty for none
  std::u16string shortName;     // empty for none
};

// Failures of one kind of metadata: how many, and the first one's words.
struct MetadataFailures {
  std::uint64_t count[kMetadataKinds] = {};
  std::string first[kMetadataKinds];
  void add(MetadataKind kind, const std::string& reason) {
    const int at = static_cast<int>(kind);
    if (count[at]++ == 0) first[at] = reason;
  }
};

// Prepares the process for restoring files (on Windows: the backup, restore
// and security privileges). Returns a warning for each that is missing.
std::vector<std::string> prepareApplyPrivileges();

// Whether the file system of `target` keeps named data streams, and this
// system the metadata kinds below; the apply counts what it leaves out where
// they are not.
bool targetKeepsNamedStreams(const std::filesystem::path& target);
bool targetKeepsMetadata(MetadataKind kind);

// True where a reparse point is an ordinary file or folder first, which
// applyReparseData then changes; false where it makes the entry itself.
bool targetMakesReparsePointsInPlace();

// The path of a named stream of the file at `path`.
std::filesystem::path namedStreamPath(const std::filesystem::path& path,
                                      const std::u16string& name);

// Makes the entry at `path` (a new, empty file or folder; on systems
// without reparse points, nothing yet) a reparse point with `tag` and
// `data`. Empty when done, else why not.
std::string applyReparseData(const std::filesystem::path& path, bool folder, std::uint32_t tag,
                             ByteSpan data);

// Sets what the entry's metadata says on the entry at `path`, recording
// every kind that fails.
void applyEntryMetadata(const std::filesystem::path& path, const EntryMetadata& metadata,
                        bool reparsePoint, MetadataFailures& failures);

}  // namespace wim
