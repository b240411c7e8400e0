// The apply's target on a POSIX system (the native build). On an NTFS volume
// mounted by ntfs-3g everything an image holds is written through ntfs-3g's
// extended attributes (ntfs_xattr_values.h), so that a Windows disk can be
// prepared from Linux. Elsewhere link reparse points become symbolic links
// and times are set; attributes, security descriptors, short names and named
// streams have no place there.
//
// The order on ntfs-3g, as found on ntfs-3g 2022.10.3 (the stages in
// wim_apply.cpp and the per-entry order in applyEntryMetadata follow it):
//   1. folders, files and their data;
//   2. named streams: user.* attributes are refused on a symbolic link, so
//      before the reparse points;
//   3. short names: a file with two names refuses one (EMLINK), so before
//      the hard links;
//   4. hard links: a new link sets the archive attribute again, so before
//      the attributes;
//   5. reparse points, on the file or empty folder made for them;
//   6. per entry, what a folder holds before the folder: the security
//      descriptor, the attributes, then the times, which every change
//      before would move. (Read-only blocks none of these for root here;
//      the attributes still come after every other write.)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "wim/apply/apply_target.h"
#include "wim/format/image_tree.h"
#include "wim/apply/ntfs_xattr_values.h"
#include "wim/apply/reparse_data.h"
#include "wim/apply/target_paths.h"

namespace wim {

namespace {

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochInFileTime = 116444736000000000ull;

// statfs's f_type of a FUSE file system. The kernel's own ntfs3 driver
// answers system.ntfs_attrib too, but none of the other attributes used here.
constexpr unsigned long kFuseMagic = 0x65735546;

// statfs's f_type of the file systems that allocate a file's blocks only
// when its data is written out (ext4, XFS, btrfs, bcachefs, f2fs), or have
// no blocks at all (tmpfs).
bool allocatesOnWriteOut(unsigned long type) {
  switch (type) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // btrfs
    case 0xCA451A4E:  // bcachefs
    case 0xF2F52010:  // f2fs
    case 0x01021994:  // tmpfs
      return true;
    default:
      return false;
  }
}

timespec unixTime(std::uint64_t fileTime) {
  timespec time{};
  if (fileTime < kUnixEpochInFileTime) return time;  // before 1970: the epoch
  const std::uint64_t since = fileTime - kUnixEpochInFileTime;
  time.tv_sec = static_cast<time_t>(since / 10000000);
  time.tv_nsec = static_cast<long>((since % 10000000) * 100);
  return time;
}

bool isNtfs3gMount(const std::filesystem::path& target) {
  struct statfs system {};
  if (::statfs(target.c_str(), &system) != 0 ||
      static_cast<unsigned long>(system.f_type) != kFuseMagic)
    return false;
  std::uint8_t attributes[4];
  return ::getxattr(target.c_str(), "system.ntfs_attrib", attributes, sizeof attributes) ==
         static_cast<ssize_t>(sizeof attributes);
}

// lsetxattr: a reparse point is a symbolic link to Linux, and the link
// itself is what changes.
std::string setAttribute(const std::filesystem::path& path, const char* name, const void* value,
                         std::size_t size) {
  if (::lsetxattr(path.c_str(), name, value, size, 0) == 0) return std::string();
  return std::string(name) + ": " + std::strerror(errno);
}

std::string setAttribute(const std::filesystem::path& path, const char* name,
                         const std::vector<std::uint8_t>& value) {
  return setAttribute(path, name, value.data(), value.size());
}

std::string symbolicLink(const std::filesystem::path& path, std::uint32_t tag, le::ByteSpan data) {
  LinkTarget target;
  if (!readLinkTarget(tag, data, target))
    return "a reparse point that is no link has no equivalent here";
  const std::string text = utf8Of(posixLinkText(target));
  if (text.empty()) return "the link has no target";
  if (::symlink(text.c_str(), path.c_str()) != 0) return std::strerror(errno);
  return std::string();
}

void applyOnNtfs3g(const std::filesystem::path& path, const EntryMetadata& metadata,
                   MetadataFailures& failures) {
  if (metadata.securityDescriptor.size != 0) {
    const std::string reason =
        setAttribute(path, "system.ntfs_acl", metadata.securityDescriptor.data,
                     metadata.securityDescriptor.size);
    if (!reason.empty()) failures.add(MetadataKind::Security, reason);
  }
  std::string reason =
      setAttribute(path, "system.ntfs_attrib_be", ntfsAttributesValue(metadata.attributes));
  if (!reason.empty()) failures.add(MetadataKind::Attributes, reason);
  reason = setAttribute(
      path, "system.ntfs_times_be",
      ntfsTimesValue(metadata.creationTime, metadata.lastWriteTime, metadata.lastAccessTime));
  if (!reason.empty()) failures.add(MetadataKind::Times, reason);
}

}  // namespace

TargetTraits describeTarget(const std::filesystem::path& target) {
  TargetTraits traits;
  struct statfs system {};
  const unsigned long type =
      ::statfs(target.c_str(), &system) == 0 ? static_cast<unsigned long>(system.f_type) : 0;
  traits.preallocates = !allocatesOnWriteOut(type);
  traits.directWrites = type == 0xEF53 || type == 0x58465342;  // ext4, XFS
  if (!isNtfs3gMount(target)) {
    traits.keeps[static_cast<int>(MetadataKind::Times)] = true;
    traits.keeps[static_cast<int>(MetadataKind::ReparseData)] = true;
    return traits;
  }
  traits.ntfs3g = true;
  traits.preallocates = false;  // ntfs-3g refuses it
  for (bool& kept : traits.keeps) kept = true;
  traits.namedStreams = true;
  traits.streamsWrittenWhole = true;
  traits.reparsePointsInPlace = true;
  traits.shortNamesBeforeLinks = true;
  traits.rootMetadata = true;
  traits.windowsNeedsMetadata = true;
  traits.description =
      "The target is an NTFS volume mounted by ntfs-3g: security descriptors, attributes, short "
      "names, reparse points, named streams and times are written through its extended "
      "attributes";
  return traits;
}

// A file system that refused one preallocation refuses them all: not asked
// again.
std::atomic<bool> preallocationRefused{false};

// Files of this size and more are written past the cache where the target
// takes that: for smaller ones the cache gathers the writes better.
constexpr std::uint64_t kDirectFrom = std::uint64_t{1} << 20;

std::string TargetFile::create(const std::filesystem::path& path, std::uint64_t size,
                               bool& notAFile, const TargetTraits* traits) {
  notAFile = false;
  close();
  failed_ = false;
  // O_NOFOLLOW: a link in the file's place is refused (ELOOP), not followed.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    struct stat there {};
    notAFile = error == ELOOP || error == EISDIR ||
               (::lstat(path.c_str(), &there) == 0 && !S_ISREG(there.st_mode));
    return std::strerror(error);
  }
  handle_ = fd;
  written_ = sentOut_ = 0;
  direct_ = false;
  if (traits && traits->directWrites && size >= kDirectFrom) {
    const int flags = ::fcntl(fd, F_GETFL);
    direct_ = flags != -1 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
  }
  if (size != 0 && (!traits || traits->preallocates) &&
      !preallocationRefused.load(std::memory_order_relaxed) &&
      ::fallocate(fd, 0, 0, static_cast<off_t>(size)) != 0 &&
      (errno == EOPNOTSUPP || errno == ENOSYS))
    preallocationRefused.store(true, std::memory_order_relaxed);
  return std::string();
}

// The cache of a file being written is sent out to the disk in steps of
// this size, and the rest when the file is closed, for files of at least
// kSendOutAtClose bytes: the disk writes while the image is decoded, and the
// file system sees each large file in a few long runs. Smaller files are left
// to the system's own write-out, which gathers them.
constexpr std::uint64_t kSendOutStep = std::uint64_t{8} << 20;
constexpr std::uint64_t kSendOutAtClose = std::uint64_t{1} << 20;

// Starts the write-out of bytes [from, to) of the file; waits for none of it.
// Only a hint: where the file system does not take it, nothing changes, and
// a failure of the writing itself is not known before the file is flushed.
void sendOut(int fd, std::uint64_t from, std::uint64_t to) {
  ::sync_file_range(fd, static_cast<off64_t>(from), static_cast<off64_t>(to - from),
                    SYNC_FILE_RANGE_WRITE);
}

// Whether a write can go past the cache: memory, place and size aligned.
bool alignedForDirect(const std::uint8_t* bytes, std::size_t count, std::uint64_t at) {
  return reinterpret_cast<std::uintptr_t>(bytes) % kDirectAlignment == 0 &&
         count % kDirectAlignment == 0 && at % kDirectAlignment == 0;
}

bool TargetFile::write(const std::uint8_t* bytes, std::size_t count) {
  while (count != 0 && !failed_) {
    // A piece that is not aligned (the file's last) goes through the cache,
    // and so does everything after it; so does all of a file whose file
    // system refuses to write it past the cache after all.
    if (direct_ && !alignedForDirect(bytes, count, written_)) leaveDirect();
    const ssize_t written = ::write(static_cast<int>(handle_), bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EINVAL && direct_) {
      leaveDirect();
      continue;
    }
    if (written <= 0) {
      failed_ = true;
      error_ = written == 0 ? EIO : errno;
      break;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
    written_ += static_cast<std::uint64_t>(written);
    if (direct_) sentOut_ = written_;  // nothing of it is in the cache
  }
  if (!failed_ && written_ - sentOut_ >= kSendOutStep) {
    sendOut(static_cast<int>(handle_), sentOut_, written_);
    sentOut_ = written_;
  }
  return !failed_;
}

void TargetFile::leaveDirect() {
  const int flags = ::fcntl(static_cast<int>(handle_), F_GETFL);
  if (flags != -1) ::fcntl(static_cast<int>(handle_), F_SETFL, flags & ~O_DIRECT);
  direct_ = false;
}

bool TargetFile::close() {
  if (handle_ == kNone) return !failed_;
  if (!failed_ && written_ >= kSendOutAtClose && written_ > sentOut_)
    sendOut(static_cast<int>(handle_), sentOut_, written_);
  if (::close(static_cast<int>(handle_)) != 0) {
    failed_ = true;
    error_ = errno;
  }
  handle_ = kNone;
  return !failed_;
}

std::filesystem::path systemPath(const std::filesystem::path& path) { return path; }

std::string removeEntry(const std::filesystem::path& path, bool& isFolder) {
  isFolder = false;
  std::error_code error;
  const std::filesystem::file_type type = std::filesystem::symlink_status(path, error).type();
  if (type == std::filesystem::file_type::not_found) return std::string();
  if (type == std::filesystem::file_type::directory) {
    isFolder = true;
    return "a folder is in its place";
  }
  if (!std::filesystem::remove(path, error) && error) return error.message();
  return std::string();
}

std::string TargetFile::failure() const {
  if (error_ == 0) return std::string();
  const char* name = strerrorname_np(error_);
  return std::string(std::strerror(error_)) + (name ? std::string(" (") + name + ")" : "");
}

bool targetFreeBytes(const std::filesystem::path& target, std::uint64_t& bytes) {
  struct statvfs info {};
  if (::statvfs(target.c_str(), &info) != 0) return false;
  bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

std::string makeFolder(const std::filesystem::path& path, bool& notAFolder) {
  notAFolder = false;
  if (::mkdir(path.c_str(), 0777) == 0) return std::string();
  const int error = errno;
  struct stat there {};
  if (error == EEXIST && ::lstat(path.c_str(), &there) == 0) {
    if (S_ISDIR(there.st_mode)) return std::string();
    notAFolder = true;
  }
  return std::strerror(error);
}

std::vector<std::string> prepareApplyPrivileges(bool) { return {}; }

std::filesystem::path namedStreamPath(const std::filesystem::path& path,
                                      const std::u16string& name) {
  return path.string() + ":" + utf8Of(name);
}

std::string writeWholeStream(const std::filesystem::path& path, const std::u16string& name,
                             le::ByteSpan data) {
  std::string attribute, reason;
  if (!streamAttributeName(name, attribute, reason)) return reason;
  if (data.size > kMaxAttributeValueSize)
    return "larger than the " + std::to_string(kMaxAttributeValueSize) +
           " bytes an extended attribute holds";
  // A value of no bytes makes an empty stream.
  static const std::uint8_t none = 0;
  return setAttribute(path, attribute.c_str(), data.size ? data.data : &none, data.size);
}

std::string applyShortName(const std::filesystem::path& path, const std::u16string& name) {
  std::string text, reason;
  if (!ntfsNameText(name, text, reason)) return reason;
  return setAttribute(path, "system.ntfs_dos_name", text.data(), text.size());
}

std::string applyReparseData(const std::filesystem::path& path, bool /*folder*/, std::uint32_t tag,
                             le::ByteSpan data, const TargetTraits& traits) {
  if (!traits.reparsePointsInPlace) return symbolicLink(path, tag, data);
  const std::vector<std::uint8_t> buffer = reparseBuffer(tag, data);
  if (buffer.empty()) return "the reparse data is larger than NTFS allows";
  return setAttribute(path, "system.ntfs_reparse_data", buffer);
}

void applyEntryMetadata(const std::filesystem::path& path, const EntryMetadata& metadata,
                        bool reparsePoint, const TargetTraits& traits, MetadataFailures& failures) {
  if (traits.ntfs3g) return applyOnNtfs3g(path, metadata, failures);
  if (metadata.lastWriteTime == 0 && metadata.lastAccessTime == 0) return;
  const timespec times[2] = {unixTime(metadata.lastAccessTime), unixTime(metadata.lastWriteTime)};
  if (::utimensat(AT_FDCWD, path.c_str(), times, reparsePoint ? AT_SYMLINK_NOFOLLOW : 0) != 0)
    failures.add(MetadataKind::Times, std::strerror(errno));
}

}  // namespace wim
