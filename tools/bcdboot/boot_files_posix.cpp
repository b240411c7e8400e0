#include <sys/xattr.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tools/bcdboot/boot_files.h"

namespace tools {

namespace {

// ntfs-3g shows a file's NTFS attributes as this extended attribute, a
// little-endian u32.
constexpr char kNtfsAttributes[] = "system.ntfs_attrib";
constexpr std::uint32_t kHidden = 0x2, kSystem = 0x4;

}  // namespace

bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to,
                 std::string& reason) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  // Some FUSE file systems will not rename over an existing file.
  std::error_code error;
  std::filesystem::remove(to, error);
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  reason = "cannot put " + from.string() + " in the place of " + to.string() + ": " +
           std::strerror(errno);
  return false;
}

void markBootFile(const std::filesystem::path& path) {
  std::uint8_t value[4] = {};
  // Elsewhere than on ntfs-3g there are no such attributes to keep.
  if (getxattr(path.c_str(), kNtfsAttributes, value, sizeof value) != sizeof value) return;
  std::uint32_t attributes =
      value[0] | value[1] << 8 | value[2] << 16 | static_cast<std::uint32_t>(value[3]) << 24;
  attributes |= kHidden | kSystem;
  for (int i = 0; i < 4; ++i) value[i] = static_cast<std::uint8_t>(attributes >> (8 * i));
  setxattr(path.c_str(), kNtfsAttributes, value, sizeof value, 0);
}

bool loadedStoreKey(const std::filesystem::path&, std::string&) { return false; }

bool readLoadedStore(const std::string&, boot::Key&, std::string& reason) {
  reason = "no system store is loaded here";
  return false;
}

bool writeLoadedStore(const std::string&, const boot::Key&, std::string& reason) {
  reason = "no system store is loaded here";
  return false;
}

}  // namespace tools
