// How a boot file or store takes the place of the old one, so that at every
// moment the old file or the new one is there whole: the new file written
// beside it and flushed to the disk, read back, renamed over the old one,
// and the folder flushed. The system calls sit behind ReplaceCalls
// (systemReplaceCalls in boot_files_*.cpp), so that tests can fail each.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "bytes/little_endian.h"

namespace tools {

// Each returns false with the reason: the call that failed, the file, and
// the system's own words for why.
struct ReplaceCalls {
  // Writes `bytes` as the new file `path` and flushes it to the disk.
  std::function<bool(const std::filesystem::path& path, const le::Bytes& bytes,
                     std::string& reason)>
      writeFlushed;
  std::function<bool(const std::filesystem::path& path, le::Bytes& bytes, std::string& reason)>
      read;
  // Renames `from` over `to` in one step; durable where the system can say
  // so in the call itself (MoveFileEx's write-through).
  std::function<bool(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::string& reason)>
      rename;
  // Flushes the folder's entries to the disk (true where the system has no
  // such call, or the rename already did it).
  std::function<bool(const std::filesystem::path& folder, std::string& reason)> flushFolder;
  // Removes a file of this run's own; failures do not matter.
  std::function<void(const std::filesystem::path& path)> remove;
};

// The calls of this system.
ReplaceCalls systemReplaceCalls();

// The name the new file has beside the old one while it is written.
std::filesystem::path freshPathOf(const std::filesystem::path& path);

// Puts `bytes` in the place of `path` (a file that may not exist yet).
// `check`, when given, must accept the bytes read back before they replace
// the old file (the store must load). False with the reason, and the old
// file left as it was, when a step before the rename fails; after the
// rename, a failure says that the new file is in place but may not be
// durable yet.
bool replaceDurably(const ReplaceCalls& calls, const std::filesystem::path& path,
                    const le::Bytes& bytes,
                    const std::function<bool(const le::Bytes&, std::string&)>& check,
                    std::string& reason);

}  // namespace tools
