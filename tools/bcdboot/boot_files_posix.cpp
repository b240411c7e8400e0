#include <sys/xattr.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/bcdboot/boot_files.h"

namespace tools {

namespace {

// ntfs-3g shows a file's NTFS attributes as this extended attribute, a
// little-endian u32.
constexpr char kNtfsAttributes[] = "system.ntfs_attrib";
constexpr std::uint32_t kHidden = 0x2, kSystem = 0x4;
constexpr std::uint32_t kSparse = 0x200, kCompressed = 0x800, kEncrypted = 0x4000;
constexpr std::uint32_t kNotPlain = kSparse | kCompressed | kEncrypted;

// False where the file system keeps no such attributes (anything but ntfs-3g).
bool readAttributes(const std::filesystem::path& path, std::uint32_t& attributes) {
  std::uint8_t value[4] = {};
  if (getxattr(path.c_str(), kNtfsAttributes, value, sizeof value) != sizeof value) return false;
  attributes =
      value[0] | value[1] << 8 | value[2] << 16 | static_cast<std::uint32_t>(value[3]) << 24;
  return true;
}

bool writeAttributes(const std::filesystem::path& path, std::uint32_t attributes) {
  std::uint8_t value[4];
  for (int i = 0; i < 4; ++i) value[i] = static_cast<std::uint8_t>(attributes >> (8 * i));
  return setxattr(path.c_str(), kNtfsAttributes, value, sizeof value, 0) == 0;
}

std::string notPlain(std::uint32_t attributes) {
  if (attributes & kEncrypted) return "encrypted";
  if (attributes & kCompressed) return "compressed";
  return "sparse";
}

}  // namespace

// ntfs-3g ignores a compressed attribute cleared on a new file: a file made in
// a compressed folder stays compressed. So the folder's attribute is cleared
// while the file is made and written, and set back after.
bool writePlainFile(const std::filesystem::path& path, const le::Bytes& bytes,
                    std::string& reason) {
  const std::filesystem::path folder = path.parent_path();
  std::uint32_t folderAttributes = 0;
  const bool compressedFolder =
      readAttributes(folder, folderAttributes) && (folderAttributes & kCompressed) != 0;
  if (compressedFolder && !writeAttributes(folder, folderAttributes & ~kCompressed)) {
    reason = "cannot write " + path.string() + " uncompressed: the compression of " +
             folder.string() + " cannot be cleared (" + std::strerror(errno) + ")";
    return false;
  }
  bool written;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    written = static_cast<bool>(out);
  }
  const bool restored = !compressedFolder || writeAttributes(folder, folderAttributes);
  std::uint32_t attributes = 0;
  std::error_code error;
  if (!written) {
    reason = "cannot write " + path.string();
  } else if (readAttributes(path, attributes) && (attributes & kNotPlain) != 0) {
    reason = path.string() + " is stored " + notPlain(attributes) +
             ", and boot code cannot read such a file";
    written = false;
  }
  if (!written) std::filesystem::remove(path, error);
  if (!restored) {
    reason = (written ? "" : reason + "; ") + "the compression of " + folder.string() +
             " could not be set back";
    return false;
  }
  return written;
}

bool storedPlainly(const std::filesystem::path& path) {
  std::uint32_t attributes = 0;
  return !readAttributes(path, attributes) || (attributes & kNotPlain) == 0;
}

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
  std::uint32_t attributes = 0;
  // Elsewhere than on ntfs-3g there are no such attributes to keep.
  if (readAttributes(path, attributes)) writeAttributes(path, attributes | kHidden | kSystem);
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

bool isFolderPath(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

bool isFilePath(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

void makeFolders(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
}

}  // namespace tools
