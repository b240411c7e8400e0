// The apply's target on a POSIX system (the native build): link reparse
// points become symbolic links, and times are set; attributes, security
// descriptors, short names and named streams have no place here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wim/apply_target.h"
#include "wim/image_tree.h"
#include "wim/reparse_data.h"
#include "wim/target_paths.h"

namespace wim {

namespace {

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochInFileTime = 116444736000000000ull;

timespec unixTime(std::uint64_t fileTime) {
  timespec time{};
  if (fileTime < kUnixEpochInFileTime) return time;  // before 1970: the epoch
  const std::uint64_t since = fileTime - kUnixEpochInFileTime;
  time.tv_sec = static_cast<time_t>(since / 10000000);
  time.tv_nsec = static_cast<long>((since % 10000000) * 100);
  return time;
}

}  // namespace

std::vector<std::string> prepareApplyPrivileges() { return {}; }

bool targetMakesReparsePointsInPlace() { return false; }

bool targetKeepsNamedStreams(const std::filesystem::path&) { return false; }

bool targetKeepsMetadata(MetadataKind kind) {
  return kind == MetadataKind::Times || kind == MetadataKind::ReparseData;
}

std::filesystem::path namedStreamPath(const std::filesystem::path& path,
                                      const std::u16string& name) {
  return path.string() + ":" + utf8Of(name);
}

std::string applyReparseData(const std::filesystem::path& path, bool /*folder*/, std::uint32_t tag,
                             ByteSpan data) {
  LinkTarget target;
  if (!readLinkTarget(tag, data, target))
    return "a reparse point that is no link has no equivalent here";
  const std::string text = utf8Of(posixLinkText(target));
  if (text.empty()) return "the link has no target";
  if (::symlink(text.c_str(), path.c_str()) != 0) return std::strerror(errno);
  return std::string();
}

void applyEntryMetadata(const std::filesystem::path& path, const EntryMetadata& metadata,
                        bool reparsePoint, MetadataFailures& failures) {
  if (metadata.lastWriteTime == 0 && metadata.lastAccessTime == 0) return;
  const timespec times[2] = {unixTime(metadata.lastAccessTime), unixTime(metadata.lastWriteTime)};
  if (::utimensat(AT_FDCWD, path.c_str(), times, reparsePoint ? AT_SYMLINK_NOFOLLOW : 0) != 0)
    failures.add(MetadataKind::Times, std::strerror(errno));
}

}  // namespace wim
