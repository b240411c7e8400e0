// What the apply does to the target's file system beyond plain folders and
// file data: reparse points, named streams, attributes, timestamps, security
// descriptors and short names. One implementation per system:
// apply_target_win32.cpp does all of it; apply_target_posix.cpp (the native
// build) does all of it on an NTFS volume mounted by ntfs-3g, through
// ntfs-3g's extended attributes, and elsewhere makes symbolic links of link
// reparse points and sets times, reporting the rest as not applicable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bytes/little_endian.h"

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
  le::ByteSpan securityDescriptor;  // empty for none
  std::u16string shortName;         // empty for none
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

// What the file system under the target folder keeps, and how; asked once,
// before anything is written.
struct TargetTraits {
  bool ntfs3g = false;  // an NTFS volume mounted by ntfs-3g (POSIX only)
  bool keeps[kMetadataKinds] = {};
  bool namedStreams = false;
  // Named streams are extended attributes written whole, in one call each,
  // once the file exists (ntfs-3g): none larger than kMaxAttributeValueSize.
  bool streamsWrittenWhole = false;
  // A reparse point is an ordinary file or folder first, which
  // applyReparseData then changes; otherwise applyReparseData makes it.
  bool reparsePointsInPlace = false;
  // Short names are set with applyShortName before any hard link is made (a
  // file with two names takes none on ntfs-3g); otherwise applyEntryMetadata
  // sets them.
  bool shortNamesBeforeLinks = false;
  // The target folder takes the metadata of the image's root.
  bool rootMetadata = false;
  // A file's size is given to the file system when it is made, so that it
  // lays the data out in one piece. Not where the file system allocates
  // only as it writes the cache out: there it gains nothing, and on ext4 a
  // preallocated file costs a second update of every extent when the data
  // reaches the disk.
  bool preallocates = true;
  // Large files are written past the system's cache, straight to the disk
  // (natively O_DIRECT, on ext4 and XFS): the data is not copied into the
  // cache first and nothing is left to write out at the end.
  bool directWrites = false;
  // A volume being prepared for Windows: security descriptors and reparse
  // points that could not be written fail the apply.
  bool windowsNeedsMetadata = false;
  std::string description;  // said in an information line; empty for nothing to say

  bool keepsKind(MetadataKind kind) const { return keeps[static_cast<int>(kind)]; }
};

TargetTraits describeTarget(const std::filesystem::path& target);

#ifdef _WIN32
// The parts of a security descriptor asked of SetFileSecurityW, one try after
// the other until the system takes one; `whole` when nothing of the image's
// descriptor is then left out. `labelled`: its SACL holds a mandatory label.
struct SecurityTry {
  std::uint32_t parts;  // SECURITY_INFORMATION flags
  bool whole;
};
std::vector<SecurityTry> securityTries(bool labelled);
#endif

// The path every file operation of the apply goes through: on Windows the
// absolute `\\?\` form, which the system takes past MAX_PATH characters
// (`\\?\C:\...`, `\\?\UNC\server\share\...`); elsewhere `path` itself.
std::filesystem::path systemPath(const std::filesystem::path& path);

// The bytes free for this process on the file system of the target folder.
// False where the system does not say.
bool targetFreeBytes(const std::filesystem::path& target, std::uint64_t& bytes);

// A file of the target being written: made new, or emptied where a file is
// there already, never through a link or over a folder in its place. Its
// final size is given up front, so that the file system can lay the data out
// in one piece where it allocates ahead (fallocate on Linux, the allocation
// size on Windows); where it cannot, nothing else changes.
class TargetFile {
 public:
  TargetFile() = default;
  ~TargetFile() { close(); }
  TargetFile(TargetFile&& other) noexcept
      : handle_(other.handle_),
        failed_(other.failed_),
        error_(other.error_),
        written_(other.written_),
        sentOut_(other.sentOut_),
        direct_(other.direct_) {
    other.handle_ = kNone;
  }
  TargetFile& operator=(TargetFile&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = other.handle_;
      failed_ = other.failed_;
      error_ = other.error_;
      written_ = other.written_;
      sentOut_ = other.sentOut_;
      direct_ = other.direct_;
      other.handle_ = kNone;
    }
    return *this;
  }
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;

  // Empty when the file is open, else why not; `notAFile` set when that is
  // because something other than a file is in its place. `traits`, where
  // given, say how the target's file system is best written.
  std::string create(const std::filesystem::path& path, std::uint64_t size, bool& notAFile,
                     const TargetTraits* traits = nullptr);
  bool write(const std::uint8_t* bytes, std::size_t count);
  // False when a write or the close failed.
  bool close();
  bool isOpen() const { return handle_ != kNone; }
  // Why the last write or the close failed, in the system's words ("No
  // space left on device (ENOSPC)"; the Windows error text); empty if none.
  std::string failure() const;

 private:
  void leaveDirect();

  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // a file descriptor, or a HANDLE on Windows
  bool failed_ = false;
  int error_ = 0;  // errno, or GetLastError() on Windows
  // Natively, the cache of a large file is sent to the disk while the apply
  // goes on, not all at the end (apply_target_posix.cpp).
  std::uint64_t written_ = 0;
  std::uint64_t sentOut_ = 0;  // bytes from the start whose write-out was started
  bool direct_ = false;        // written past the cache for as long as the writes are aligned
};

// What a write past the system's cache must be aligned to, in memory, in
// the file and in size (a disk sector of any size there is).
inline constexpr std::size_t kDirectAlignment = 4096;

// Removes the file or link at `path` before something new takes its place;
// a link goes itself, never what it points to. On Windows a hidden, system,
// read-only or protected file goes too (its attributes cleared, opened with
// backup semantics). Empty when nothing is there any more, else why not;
// `isFolder` set when that is because a folder is in its place.
std::string removeEntry(const std::filesystem::path& path, bool& isFolder);

// Makes the folder at `path`; a folder already there is taken as it is.
// Empty when it is there, else why not; `notAFolder` set when something other
// than a folder is in its place (natively a link to one too; on Windows a
// junction or link there is removed and the folder made).
std::string makeFolder(const std::filesystem::path& path, bool& notAFolder);

// Prepares the process for restoring files (on Windows: the backup, restore,
// security and, for an image with `symbolicLinks`, the symbolic link
// privileges). Returns a warning for each that is missing.
std::vector<std::string> prepareApplyPrivileges(bool symbolicLinks);

// The path of a named stream of the file at `path`, where streams are not
// written whole.
std::filesystem::path namedStreamPath(const std::filesystem::path& path,
                                      const std::u16string& name);

// Writes a named stream whole to the existing entry at `path`. Empty when
// done, else why not.
std::string writeWholeStream(const std::filesystem::path& path, const std::u16string& name,
                             le::ByteSpan data);

// Gives the entry at `path` its short name. Empty when done, else why not.
std::string applyShortName(const std::filesystem::path& path, const std::u16string& name);

// Makes the entry at `path` (a new, empty file or folder; on systems
// without reparse points, nothing yet) a reparse point with `tag` and
// `data`. Empty when done, else why not.
std::string applyReparseData(const std::filesystem::path& path, bool folder, std::uint32_t tag,
                             le::ByteSpan data, const TargetTraits& traits);

// Sets what the entry's metadata says on the entry at `path`, recording
// every kind that fails.
void applyEntryMetadata(const std::filesystem::path& path, const EntryMetadata& metadata,
                        bool reparsePoint, const TargetTraits& traits, MetadataFailures& failures);

}  // namespace wim
