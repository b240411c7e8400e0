#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tools/bcdboot/boot_files.h"
#include "tools/bcdboot/file_replacement.h"

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

// "pwrite(/s/bootmgr.new) failed: No space left on device (ENOSPC)"
std::string callFailed(const char* call, const std::filesystem::path& path, int error) {
  const char* name = strerrorname_np(error);
  return std::string(call) + "(" + path.string() + ") failed: " + std::strerror(error) +
         (name ? std::string(" (") + name + ")" : std::string());
}

// FUSE file systems without a flush of their own answer ENOSYS: the data
// has then gone to the daemon, which writes it out on unmount.
bool flushUnsupported(int error) { return error == ENOSYS || error == EINVAL || error == ENOTSUP; }

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// The whole file in one pass of pwrite calls, flushed before it is closed:
// a rename over the old file must never point at data still in memory.
bool writeFlushedFile(const std::filesystem::path& path, const le::Bytes& bytes,
                      std::string& reason) {
  Descriptor file;
  file.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (file.fd < 0) return reason = callFailed("open", path, errno), false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put =
        ::pwrite(file.fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return reason = callFailed("pwrite", path, put == 0 ? EIO : errno), false;
    done += static_cast<std::size_t>(put);
  }
  if (::fsync(file.fd) != 0 && !flushUnsupported(errno))
    return reason = callFailed("fsync", path, errno), false;
  const int fd = file.fd;
  file.fd = -1;
  if (::close(fd) != 0) return reason = callFailed("close", path, errno), false;
  return true;
}

bool readWholeFile(const std::filesystem::path& path, le::Bytes& bytes, std::string& reason) {
  Descriptor file;
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) return reason = callFailed("open", path, errno), false;
  bytes.clear();
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return reason = callFailed("read", path, errno), false;
    if (got == 0) return true;
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
}

bool renameOver(const std::filesystem::path& from, const std::filesystem::path& to,
                std::string& reason) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  const int error = errno;
  reason = callFailed("rename", from, error) + " (renaming it over " + to.string() + ")";
  return false;
}

bool flushFolder(const std::filesystem::path& folder, std::string& reason) {
  Descriptor opened;
  opened.fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (opened.fd < 0) return reason = callFailed("open", folder, errno), false;
  if (::fsync(opened.fd) != 0 && !flushUnsupported(errno))
    return reason = callFailed("fsync", folder, errno), false;
  return true;
}

}  // namespace

ReplaceCalls systemReplaceCalls() {
  ReplaceCalls calls;
  calls.writeFlushed = writePlainFile;
  calls.read = readWholeFile;
  calls.rename = renameOver;
  calls.flushFolder = flushFolder;
  calls.remove = [](const std::filesystem::path& path) { ::unlink(path.c_str()); };
  return calls;
}

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
  bool written = writeFlushedFile(path, bytes, reason);
  const bool restored = !compressedFolder || writeAttributes(folder, folderAttributes);
  std::uint32_t attributes = 0;
  std::error_code error;
  if (written && readAttributes(path, attributes) && (attributes & kNotPlain) != 0) {
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
