// The apply straight onto an NTFS volume through libntfs-3g, in the engine's
// own process: no FUSE mount, no round trip through the kernel per write.
// Each piece of metadata goes through the same libntfs-3g setter that an
// ntfs-3g mount calls for the extended attribute apply_target_posix.cpp
// writes (ntfs_xattr_system_setxattr with the matching kind), with the same
// values (ntfs_xattr_values.h), so both ways give the same volume.
//
// Before anything is written the volume is opened read-only and refused
// when it is mounted anywhere, holds no NTFS, is marked dirty, holds a
// hibernated Windows, or has less room than the image's data; only then is
// it opened for writing.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "wim/apply/ntfs_xattr_values.h"
#include "wim/apply/volume_writer.h"
#include "wim/format/utf.h"

// libntfs-3g's headers, last: they define min and max as macros.
// clang-format off
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/volume.h>
#include <ntfs-3g/xattrs.h>
}
// clang-format on
#undef min
#undef max

namespace wim {

namespace {

std::string errorText(int error) { return std::strerror(error); }

// The inodes open at one time, one instance each: libntfs-3g keeps closed
// inodes in a cache and writes an inode's names back into its folder's
// index when it closes, so a second instance of a folder would work from an
// index that the first has changed. Every open goes through here; a record
// open already is shared.
class InodeTable {
 public:
  explicit InodeTable(ntfs_volume* volume) : volume_(volume) {}

  ntfs_inode* open(u64 record) {
    const auto held = held_.find(MREF(record));
    if (held != held_.end()) {
      ++held->second.count;
      return held->second.inode;
    }
    ntfs_inode* inode = ntfs_inode_open(volume_, record);
    if (inode) held_[inode->mft_no] = Held{inode, 1};
    return inode;
  }
  // One made by libntfs-3g (ntfs_create), now held here.
  ntfs_inode* adopt(ntfs_inode* inode) {
    if (inode) held_[inode->mft_no] = Held{inode, 1};
    return inode;
  }
  // False when the inode's changes could not be written.
  bool close(ntfs_inode* inode) {
    const auto held = held_.find(inode->mft_no);
    if (held == held_.end()) return false;
    if (--held->second.count != 0) return true;
    held_.erase(held);
    return ntfs_inode_close(inode) == 0;
  }
  // For a call that closes the inode itself; false, with it still held,
  // where it is shared.
  bool handOff(ntfs_inode* inode) {
    const auto held = held_.find(inode->mft_no);
    if (held == held_.end() || held->second.count != 1) return false;
    held_.erase(held);
    return true;
  }
  // Closes what is left open, before the volume closes.
  void closeAll() {
    for (auto& held : held_) ntfs_inode_close(held.second.inode);
    held_.clear();
  }
  ntfs_volume* volume() const { return volume_; }

 private:
  struct Held {
    ntfs_inode* inode;
    int count;
  };
  ntfs_volume* volume_;
  std::map<u64, Held> held_;
};

// An inode of the table, closed when it goes.
class Inode {
 public:
  explicit Inode(InodeTable& table, ntfs_inode* inode = nullptr) : table_(&table), inode_(inode) {}
  ~Inode() { reset(); }
  Inode(const Inode&) = delete;
  Inode& operator=(const Inode&) = delete;
  ntfs_inode* get() const { return inode_; }
  explicit operator bool() const { return inode_ != nullptr; }
  // Hands the inode to a call that closes it; null where it is shared.
  ntfs_inode* handOff() {
    if (!inode_ || !table_->handOff(inode_)) return nullptr;
    ntfs_inode* inode = inode_;
    inode_ = nullptr;
    return inode;
  }
  bool reset(ntfs_inode* inode = nullptr) {
    bool closed = true;
    if (inode_) closed = table_->close(inode_);
    inode_ = inode;
    return closed;
  }

 private:
  InodeTable* table_;
  ntfs_inode* inode_;
};

class Attribute {
 public:
  explicit Attribute(ntfs_attr* attribute = nullptr) : attribute_(attribute) {}
  ~Attribute() { reset(); }
  Attribute(const Attribute&) = delete;
  Attribute& operator=(const Attribute&) = delete;
  ntfs_attr* get() const { return attribute_; }
  explicit operator bool() const { return attribute_ != nullptr; }
  ntfs_attr* release() {
    ntfs_attr* attribute = attribute_;
    attribute_ = nullptr;
    return attribute;
  }
  void reset(ntfs_attr* attribute = nullptr) {
    if (attribute_) ntfs_attr_close(attribute_);
    attribute_ = attribute;
  }

 private:
  ntfs_attr* attribute_;
};

// A name as the UTF-16 units NTFS stores (ntfschar is little-endian);
// empty for a name that is no well-formed UTF-8.
std::vector<ntfschar> ntfsName(const std::string& text) {
  std::vector<ntfschar> units;
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t point = 0;
    const std::size_t length = decodeUtf8(text, at, point);
    if (length == 0) return {};
    at += length;
    if (point >= 0x10000) {
      point -= 0x10000;
      units.push_back(static_cast<ntfschar>(cpu_to_le16(0xD800 + (point >> 10))));
      units.push_back(static_cast<ntfschar>(cpu_to_le16(0xDC00 + (point & 0x3FF))));
    } else {
      units.push_back(static_cast<ntfschar>(cpu_to_le16(point)));
    }
  }
  return units;
}

std::vector<ntfschar> ntfsName(const std::u16string& name) {
  std::vector<ntfschar> units;
  for (char16_t unit : name) units.push_back(static_cast<ntfschar>(cpu_to_le16(unit)));
  return units;
}

void splitPath(const std::string& path, std::string& parent, std::string& name) {
  const std::size_t slash = path.rfind('/');
  parent = slash == 0 ? std::string("/") : path.substr(0, slash);
  name = path.substr(slash + 1);
}

bool isFolder(ntfs_inode* inode) { return (inode->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0; }

class Volume {
 public:
  explicit Volume(ntfs_volume* volume) : volume_(volume) {}
  ~Volume() { close(); }
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;
  ntfs_volume* get() const { return volume_; }
  explicit operator bool() const { return volume_ != nullptr; }
  // False when what was held back could not be written.
  bool close() {
    if (!volume_) return true;
    const bool closed = ntfs_umount(volume_, FALSE) == 0;
    volume_ = nullptr;
    return closed;
  }

 private:
  ntfs_volume* volume_;
};

class NtfsFile : public VolumeFile {
 public:
  NtfsFile(InodeTable& table, ntfs_inode* inode, ntfs_attr* data)
      : inode_(table, inode), data_(data) {}
  ~NtfsFile() override { close(); }

  bool write(const std::uint8_t* bytes, std::size_t count) override {
    while (count != 0 && !failed_) {
      const s64 written = ntfs_attr_pwrite(data_.get(), offset_, static_cast<s64>(count), bytes);
      if (written <= 0) {
        failed_ = true;
        error_ = written == 0 ? EIO : errno;
        break;
      }
      offset_ += written;
      bytes += written;
      count -= static_cast<std::size_t>(written);
    }
    return !failed_;
  }

  bool close() override {
    if (!inode_) return !failed_;
    data_.reset();
    if (!inode_.reset()) {
      failed_ = true;
      error_ = errno;
    }
    return !failed_;
  }

  std::string failure() const override { return error_ ? errorText(error_) : std::string(); }

 private:
  Inode inode_;
  Attribute data_;
  s64 offset_ = 0;
  bool failed_ = false;
  int error_ = 0;
};

// Data smaller than this may stay inside the file's record (resident):
// not laid out ahead.
constexpr std::uint64_t kPreallocateFrom = 4096;

// An attribute added empty still wants a value to point at.
const u8 kNoBytes = 0;

constexpr char kBadName[] = "the name cannot be written to NTFS";

class NtfsVolumeWriter : public VolumeWriter {
 public:
  explicit NtfsVolumeWriter(ntfs_volume* volume) : volume_(volume), inodes_(volume) {
    std::memset(&security_, 0, sizeof security_);
    security_.vol = volume;  // as root: no permission is checked
    folders_["/"] = FILE_root;
  }
  ~NtfsVolumeWriter() override { finish(); }

  std::string makeFolder(const std::string& path, bool& notAFolder) override {
    notAFolder = false;
    Inode parent(inodes_);
    std::vector<ntfschar> units;
    u64 there = 0;
    const std::string reason = lookUp(path, parent, units, there);
    if (!reason.empty()) return reason;
    if (there != static_cast<u64>(-1)) {
      Inode existing(inodes_, inodes_.open(there));
      if (!existing) return errorText(errno);
      if (!isFolder(existing.get())) {
        notAFolder = true;
        return "something that is no folder is in its place";
      }
      folders_[path] = MREF(there);
      return std::string();
    }
    Inode made(inodes_, create(parent, units, S_IFDIR));
    if (!made) return errorText(errno);
    folders_[path] = made.get()->mft_no;
    return std::string();
  }

  std::string createFile(const std::string& path, const std::u16string& stream, std::uint64_t size,
                         bool& notAFile, std::unique_ptr<VolumeFile>& file) override {
    notAFile = false;
    Inode inode(inodes_);
    // A named stream goes to the folder or file there; it may come before
    // the file's data, and the file is made for it, its data written later.
    const std::string reason = !stream.empty() && openEntry(path, inode).empty()
                                   ? std::string()
                                   : openFile(path, inode, notAFile);
    if (!reason.empty()) return reason;
    std::vector<ntfschar> streamName = ntfsName(stream);
    ntfschar* name = stream.empty() ? AT_UNNAMED : streamName.data();
    const u32 nameLength = static_cast<u32>(streamName.size());
    if (!stream.empty() && !ntfs_attr_exist(inode.get(), AT_DATA, name, nameLength) &&
        ntfs_attr_add(inode.get(), AT_DATA, name, static_cast<u8>(nameLength), &kNoBytes, 0) != 0)
      return errorText(errno);
    Attribute data(ntfs_attr_open(inode.get(), AT_DATA, name, nameLength));
    if (!data) return errorText(errno);
    if (data.get()->data_size != 0 && ntfs_attr_truncate(data.get(), 0) != 0)
      return errorText(errno);
    // The clusters at once, in one run where there is one, rather than a
    // few more with every write; the data is written front to back.
    if (size > kPreallocateFrom && ntfs_attr_truncate(data.get(), static_cast<s64>(size)) != 0)
      return errorText(errno);
    // The file holds the inode once more; this hold ends here.
    file.reset(new NtfsFile(inodes_, inodes_.open(inode.get()->mft_no), data.release()));
    return std::string();
  }

  bool readFile(const std::string& path, const std::u16string& stream, std::uint64_t offset,
                std::uint8_t* bytes, std::size_t count, std::size_t& got) override {
    got = 0;
    Inode inode(inodes_);
    if (!openEntry(path, inode).empty()) return false;
    std::vector<ntfschar> streamName = ntfsName(stream);
    Attribute data(ntfs_attr_open(inode.get(), AT_DATA,
                                  stream.empty() ? AT_UNNAMED : streamName.data(),
                                  static_cast<u32>(streamName.size())));
    if (!data) return false;
    const s64 read =
        ntfs_attr_pread(data.get(), static_cast<s64>(offset), static_cast<s64>(count), bytes);
    if (read < 0) return false;
    got = static_cast<std::size_t>(read);
    return true;
  }

  void remove(const std::string& path, const std::u16string& stream) override {
    Inode inode(inodes_);
    if (!openEntry(path, inode).empty()) return;
    if (!stream.empty()) {
      std::vector<ntfschar> streamName = ntfsName(stream);
      ntfs_attr_remove(inode.get(), AT_DATA, streamName.data(),
                       static_cast<u32>(streamName.size()));
      return;
    }
    std::string parentPath, name;
    splitPath(path, parentPath, name);
    Inode parent(inodes_);
    if (!openFolder(parentPath, parent).empty()) return;
    const std::vector<ntfschar> units = ntfsName(name);
    ntfs_inode* file = inode.handOff();
    if (!file) return;
    ntfs_inode* folder = parent.handOff();
    if (!folder) {
      inode.reset(inodes_.adopt(file));  // held again, closed as usual
      return;
    }
    // ntfs_delete closes both inodes, whatever it answers.
    ntfs_delete(volume_.get(), path.c_str(), file, folder, const_cast<ntfschar*>(units.data()),
                static_cast<u8>(units.size()));
  }

  VolumeEntry entryAt(const std::string& path) override {
    Inode inode(inodes_);
    if (!openEntry(path, inode).empty()) return VolumeEntry::None;
    return isFolder(inode.get()) ? VolumeEntry::Folder : VolumeEntry::File;
  }

  std::string link(const std::string& existing, const std::string& path) override {
    Inode inode(inodes_);
    std::string reason = openEntry(existing, inode);
    if (!reason.empty()) return reason;
    std::string parentPath, name;
    splitPath(path, parentPath, name);
    Inode parent(inodes_);
    reason = openFolder(parentPath, parent);
    if (!reason.empty()) return reason;
    const std::vector<ntfschar> units = ntfsName(name);
    if (units.empty() || units.size() > 255) return kBadName;
    if (ntfs_link(inode.get(), parent.get(), const_cast<ntfschar*>(units.data()),
                  static_cast<u8>(units.size())) != 0)
      return errorText(errno);
    return std::string();
  }

  std::string setShortName(const std::string& path, const std::u16string& name) override {
    std::string text, reason;
    if (!ntfsNameText(name, text, reason)) return reason;
    std::string parentPath, ignored;
    splitPath(path, parentPath, ignored);
    Inode inode(inodes_), parent(inodes_);
    reason = openEntry(path, inode);
    if (reason.empty()) reason = openFolder(parentPath, parent);
    if (!reason.empty()) return reason;
    ntfs_inode* file = inode.handOff();
    ntfs_inode* folder = file ? parent.handOff() : nullptr;
    if (!folder) {
      if (file) inode.reset(inodes_.adopt(file));
      return "the file is open";
    }
    // The short name's setter closes both inodes, whatever it answers.
    if (ntfs_xattr_system_setxattr(&security_, XATTR_NTFS_DOS_NAME, file, folder, text.data(),
                                   text.size(), 0) != 0)
      return "system.ntfs_dos_name: " + errorText(errno);
    return std::string();
  }

  std::string setReparseData(const std::string& path, std::uint32_t tag,
                             le::ByteSpan data) override {
    const std::vector<std::uint8_t> buffer = reparseBuffer(tag, data);
    if (buffer.empty()) return "the reparse data is larger than NTFS allows";
    Inode inode(inodes_);
    const std::string reason = openEntry(path, inode);
    if (!reason.empty()) return reason;
    return set(inode, XATTR_NTFS_REPARSE_DATA, "system.ntfs_reparse_data", buffer.data(),
               buffer.size());
  }

  void setMetadata(const std::string& path, const EntryMetadata& metadata,
                   MetadataFailures& failures) override {
    Inode inode(inodes_);
    const std::string reason = openEntry(path, inode);
    if (!reason.empty()) {
      failures.add(MetadataKind::Attributes, path + ": " + reason);
      return;
    }
    if (metadata.securityDescriptor.size != 0) {
      const std::string refused =
          set(inode, XATTR_NTFS_ACL, "system.ntfs_acl", metadata.securityDescriptor.data,
              metadata.securityDescriptor.size);
      if (!refused.empty()) failures.add(MetadataKind::Security, refused);
    }
    const std::vector<std::uint8_t> attributes = ntfsAttributesValue(metadata.attributes);
    std::string refused = set(inode, XATTR_NTFS_ATTRIB_BE, "system.ntfs_attrib_be",
                              attributes.data(), attributes.size());
    if (!refused.empty()) failures.add(MetadataKind::Attributes, refused);
    const std::vector<std::uint8_t> times =
        ntfsTimesValue(metadata.creationTime, metadata.lastWriteTime, metadata.lastAccessTime);
    refused = set(inode, XATTR_NTFS_TIMES_BE, "system.ntfs_times_be", times.data(), times.size());
    if (!refused.empty()) failures.add(MetadataKind::Times, refused);
  }

  std::string finish() override {
    if (!volume_.get()) return std::string();
    inodes_.closeAll();
    if (!volume_.close()) return "the volume could not be closed: " + errorText(errno);
    return std::string();
  }

 private:
  std::string set(const Inode& inode, SYSTEMXATTRS kind, const char* name, const void* value,
                  std::size_t size) {
    if (ntfs_xattr_system_setxattr(&security_, kind, inode.get(), nullptr,
                                   static_cast<const char*>(value), size, 0) == 0)
      return std::string();
    return std::string(name) + ": " + errorText(errno);
  }

  // The folder that holds `path`, opened, the last name as NTFS has it, and
  // the record of what bears that name there (-1 for nothing).
  std::string lookUp(const std::string& path, Inode& parent, std::vector<ntfschar>& units,
                     u64& there) {
    std::string parentPath, name;
    splitPath(path, parentPath, name);
    std::string reason = openFolder(parentPath, parent);
    if (!reason.empty()) return reason;
    units = ntfsName(name);
    if (units.empty() || units.size() > 255) return kBadName;
    there = ntfs_inode_lookup_by_name(parent.get(), units.data(), static_cast<int>(units.size()));
    return std::string();
  }

  // A new file (S_IFREG) or folder (S_IFDIR) of that name in `parent`.
  ntfs_inode* create(Inode& parent, const std::vector<ntfschar>& units, mode_t type) {
    return inodes_.adopt(ntfs_create(parent.get(), const_cpu_to_le32(0),
                                     const_cast<ntfschar*>(units.data()),
                                     static_cast<u8>(units.size()), type));
  }

  // Opens the file at `path`, made where nothing is there.
  std::string openFile(const std::string& path, Inode& inode, bool& notAFile) {
    Inode parent(inodes_);
    std::vector<ntfschar> units;
    u64 there = 0;
    const std::string reason = lookUp(path, parent, units, there);
    if (!reason.empty()) return reason;
    if (there == static_cast<u64>(-1)) {
      inode.reset(create(parent, units, S_IFREG));
      return inode ? std::string() : errorText(errno);
    }
    inode.reset(inodes_.open(there));
    if (!inode) return errorText(errno);
    if (isFolder(inode.get()) || (inode.get()->flags & FILE_ATTR_REPARSE_POINT)) {
      notAFile = true;
      return "something that is no file is in its place";
    }
    return std::string();
  }

  // Folders are found by the number of their record once made or seen;
  // everything else by its name in its folder.
  std::string openFolder(const std::string& path, Inode& folder) {
    const auto known = folders_.find(path);
    if (known == folders_.end()) {
      ntfs_inode* found = ntfs_pathname_to_inode(volume_.get(), nullptr, path.c_str());
      if (!found) return errorText(errno);
      const u64 record = found->mft_no;
      const bool folderThere = isFolder(found);
      ntfs_inode_close(found);
      if (!folderThere) return "something that is no folder is in its place";
      folders_[path] = record;
    }
    folder.reset(inodes_.open(folders_[path]));
    return folder ? std::string() : errorText(errno);
  }

  std::string openEntry(const std::string& path, Inode& entry) {
    if (folders_.count(path)) return openFolder(path, entry);
    std::string parentPath, name;
    splitPath(path, parentPath, name);
    Inode parent(inodes_);
    const std::string reason = openFolder(parentPath, parent);
    if (!reason.empty()) return reason;
    const std::vector<ntfschar> units = ntfsName(name);
    if (units.empty()) return kBadName;
    errno = 0;
    const u64 there =
        ntfs_inode_lookup_by_name(parent.get(), units.data(), static_cast<int>(units.size()));
    if (there == static_cast<u64>(-1)) return errorText(errno ? errno : ENOENT);
    entry.reset(inodes_.open(there));
    return entry ? std::string() : errorText(errno);
  }

  Volume volume_;
  InodeTable inodes_;
  SECURITY_CONTEXT security_;
  std::map<std::string, u64> folders_;
};

// Whether the device, or the file, is mounted anywhere: by its number in the
// mount table (kernel file systems), by its name (FUSE mounts such as
// ntfs-3g name their device), or as the file behind a loop device that is.
std::string mountedWhere(const std::string& device) {
  struct stat target {};
  if (::stat(device.c_str(), &target) != 0) return std::string();
  char* real = ::realpath(device.c_str(), nullptr);
  const std::string realName = real ? real : device;
  std::free(real);
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // id parent major:minor root mountpoint options [optional...] - type source super
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point, field;
    fields >> id >> parent >> numbers >> root >> point;
    while (fields >> field && field != "-") {
    }
    std::string type, source;
    fields >> type >> source;
    unsigned major = 0, minor = 0;
    const bool sameDevice = S_ISBLK(target.st_mode) &&
                            std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) == 2 &&
                            makedev(major, minor) == target.st_rdev;
    char* sourceReal =
        source.empty() || source[0] != '/' ? nullptr : ::realpath(source.c_str(), nullptr);
    const bool sameName = sourceReal && realName == sourceReal;
    std::free(sourceReal);
    if (sameDevice || sameName) return point;
  }
  unsigned long flags = 0;
  if (ntfs_check_if_mounted(device.c_str(), &flags) == 0 && (flags & NTFS_MF_MOUNTED))
    return "a mount point the system lists";
  return std::string();
}

// A file behind a loop device: the loop device's name, when it is mounted.
std::string mountedThroughLoop(const std::string& file) {
  struct stat target {};
  if (::stat(file.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return std::string();
  for (int n = 0; n < 256; ++n) {
    const std::string loop = "loop" + std::to_string(n);
    std::ifstream backing("/sys/block/" + loop + "/loop/backing_file");
    std::string name;
    if (!backing || !std::getline(backing, name)) continue;
    struct stat behind {};
    if (::stat(name.c_str(), &behind) != 0 || behind.st_dev != target.st_dev ||
        behind.st_ino != target.st_ino)
      continue;
    const std::string point = mountedWhere("/dev/" + loop);
    if (!point.empty()) return "/dev/" + loop + " on " + point;
  }
  return std::string();
}

// The OEM name of an NTFS boot sector, read before libntfs-3g is asked.
bool holdsNtfs(const std::string& device) {
  std::ifstream in(device, std::ios::binary);
  char sector[11] = {};
  if (!in.read(sector, sizeof sector)) return false;
  return std::memcmp(sector + 3, "NTFS    ", 8) == 0;
}

}  // namespace

bool directVolumesSupported() { return true; }

// A block device is taken as a volume whatever it holds (and refused when
// that is no NTFS); a regular file only when it holds NTFS.
bool isVolumeTarget(const std::string& target) {
  struct stat there {};
  if (::stat(target.c_str(), &there) != 0) return false;
  return S_ISBLK(there.st_mode) || (S_ISREG(there.st_mode) && holdsNtfs(target));
}

TargetTraits volumeTraits(const std::string& device) {
  TargetTraits traits;
  for (bool& kept : traits.keeps) kept = true;
  traits.namedStreams = true;
  traits.reparsePointsInPlace = true;
  traits.shortNamesBeforeLinks = true;
  traits.rootMetadata = true;
  traits.windowsNeedsMetadata = true;
  traits.description = "The target is the NTFS volume in " + device +
                       ", written directly through libntfs-3g: security descriptors, "
                       "attributes, short names, reparse points, named streams and times with "
                       "the files";
  return traits;
}

std::unique_ptr<VolumeWriter> openVolumeWriter(const std::string& device, std::uint64_t bytesNeeded,
                                               std::string& reason) {
  // libntfs-3g would print its own lines; the refusals below say it instead.
  ntfs_log_set_handler(ntfs_log_handler_null);
  std::string where = mountedWhere(device);
  if (where.empty()) where = mountedThroughLoop(device);
  if (!where.empty()) {
    reason = device + " is mounted (" + where + "): unmount it first";
    return nullptr;
  }
  if (!holdsNtfs(device)) {
    reason = device + " holds no NTFS volume (format it with mkntfs)";
    return nullptr;
  }
  {
    Volume look(ntfs_mount(device.c_str(), NTFS_MNT_RDONLY));
    if (!look) {
      reason = "cannot open the NTFS volume in " + device + ": " + errorText(errno);
      return nullptr;
    }
    if (look.get()->flags & VOLUME_IS_DIRTY) {
      reason = "the NTFS volume in " + device +
               " is marked dirty: let Windows check it (chkdsk), or clear the mark with "
               "\"ntfsfix -d " +
               device + "\"";
      return nullptr;
    }
    if (ntfs_volume_check_hiberfile(look.get(), 0) != 0) {
      reason = "the NTFS volume in " + device +
               " holds a hibernated Windows (or one shut down with fast startup): boot "
               "Windows and shut it down fully (shutdown /s /f /t 0)";
      return nullptr;
    }
    if (ntfs_volume_get_free_space(look.get()) == 0) {
      const std::uint64_t free =
          static_cast<std::uint64_t>(look.get()->free_clusters) * look.get()->cluster_size;
      if (free < bytesNeeded) {
        reason = "the NTFS volume in " + device + " has " + std::to_string(free) +
                 " bytes free, the image's files need " + std::to_string(bytesNeeded);
        return nullptr;
      }
    }
  }
  ntfs_volume* volume = ntfs_mount(device.c_str(), NTFS_MNT_EXCLUSIVE);
  if (!volume) {
    reason = "cannot open the NTFS volume in " + device + " for writing: " + errorText(errno);
    return nullptr;
  }
  return std::unique_ptr<VolumeWriter>(new NtfsVolumeWriter(volume));
}

}  // namespace wim
