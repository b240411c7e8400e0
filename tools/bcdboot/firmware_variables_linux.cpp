// The running machine's firmware variables on Linux, through efivarfs.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/bcdboot/firmware_entry.h"

namespace tools {

namespace {

constexpr char kEfiFolder[] = "/sys/firmware/efi";
constexpr char kEfivarfs[] = "/sys/firmware/efi/efivars";
constexpr char kGlobalSuffix[] = "-8be4df61-93ca-11d2-aa0d-00e098032b8c";
constexpr unsigned long kEfivarfsMagic = 0xde5e81e4;
constexpr int kLoopMajor = 7;

struct Descriptor {
  int fd = -1;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

std::string systemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// The file's inode flags; false where the file system keeps none (then
// there is no immutable flag to mind either).
bool inodeFlags(int fd, int& flags) { return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0; }

bool readVariable(const std::string& path, bool& exists, le::Bytes& data, std::string& reason) {
  exists = false;
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) {
    if (errno == ENOENT) return true;
    return reason = systemError("cannot open", path), false;
  }
  le::Bytes content;
  std::uint8_t buffer[4096];
  for (;;) {
    const ssize_t got = read(file.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return reason = systemError("cannot read", path), false;
    if (got == 0) break;
    content.insert(content.end(), buffer, buffer + got);
  }
  // The first four bytes are the variable's attributes.
  if (content.size() < 4) return reason = path + " holds no variable attributes", false;
  data.assign(content.begin() + 4, content.end());
  exists = true;
  return true;
}

bool writeVariable(const std::string& path, const le::Bytes& data, std::string& reason) {
  le::Bytes content(4, 0);
  le::put(content, 0, 4, boot::kBootVariableAttributes);
  content.insert(content.end(), data.begin(), data.end());

  // efivarfs keeps most variables immutable so that a stray write cannot
  // brick the machine: lifted for this one write, put back afterwards.
  int flags = 0;
  bool restoreImmutable = false;
  {
    Descriptor existing(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (existing.fd >= 0 && inodeFlags(existing.fd, flags) && (flags & FS_IMMUTABLE_FL)) {
      int cleared = flags & ~FS_IMMUTABLE_FL;
      if (ioctl(existing.fd, FS_IOC_SETFLAGS, &cleared) != 0)
        return reason = systemError("cannot lift the immutable flag of", path), false;
      restoreImmutable = true;
    }
  }
  auto putBack = [&] {
    if (!restoreImmutable) return;
    Descriptor again(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (again.fd >= 0) ioctl(again.fd, FS_IOC_SETFLAGS, &flags);
  };

  // No O_TRUNC: efivarfs takes the whole variable in one write and replaces
  // the old one; a plain folder (as in the tests) is cut to length after it.
  Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (file.fd < 0) {
    reason = systemError("cannot open", path);
    putBack();
    return false;
  }
  ssize_t wrote;
  do {
    wrote = write(file.fd, content.data(), content.size());
  } while (wrote < 0 && errno == EINTR);
  if (wrote != static_cast<ssize_t>(content.size())) {
    reason = wrote < 0 ? systemError("cannot write", path) : "a short write to " + path;
    putBack();
    return false;
  }
  struct statfs fileSystem {};
  if (fstatfs(file.fd, &fileSystem) == 0 &&
      static_cast<unsigned long>(fileSystem.f_type) != kEfivarfsMagic &&
      ftruncate(file.fd, static_cast<off_t>(content.size())) != 0) {
    reason = systemError("cannot cut to length", path);
    putBack();
    return false;
  }
  putBack();
  return true;
}

}  // namespace

bool startedThroughUefi() {
  struct stat info {};
  return stat(kEfiFolder, &info) == 0 && S_ISDIR(info.st_mode);
}

bool runningFirmwareVariables(FirmwareVariables& variables, std::string& reason) {
  struct stat info {};
  if (stat(kEfivarfs, &info) != 0 || !S_ISDIR(info.st_mode))
    return reason = std::string("the firmware's variables are not mounted at ") + kEfivarfs +
                    " (mount -t efivarfs efivarfs " + kEfivarfs + ")",
           false;
  variables = efivarfsVariables(kEfivarfs);
  return true;
}

bool firmwareCanSeeDisk(const std::string& diskPath, std::string& why) {
  struct stat info {};
  if (stat(diskPath.c_str(), &info) != 0)
    return why = systemError("cannot look at", diskPath), false;
  if (!S_ISBLK(info.st_mode)) return why = diskPath + " is a disk image file", false;
  if (major(info.st_rdev) == kLoopMajor) return why = diskPath + " is a loop device", false;
  return true;
}

FirmwareVariables efivarfsVariables(const std::string& root) {
  FirmwareVariables variables;
  const std::string folder = root.empty() || root.back() == '/' ? root : root + "/";
  variables.read = [folder](const std::string& name, bool& exists, le::Bytes& data,
                            std::string& reason) {
    return readVariable(folder + name + kGlobalSuffix, exists, data, reason);
  };
  variables.write = [folder](const std::string& name, const le::Bytes& data, std::string& reason) {
    return writeVariable(folder + name + kGlobalSuffix, data, reason);
  };
  variables.listBootOptions = [folder](std::vector<std::uint16_t>& numbers, std::string& reason) {
    DIR* listing = opendir(folder.c_str());
    if (!listing) return reason = systemError("cannot list", folder), false;
    const std::size_t suffixLength = std::strlen(kGlobalSuffix);
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      std::uint16_t number = 0;
      if (name.size() == 8 + suffixLength && name.compare(8, suffixLength, kGlobalSuffix) == 0 &&
          boot::parseBootOptionName(name.substr(0, 8), number))
        numbers.push_back(number);
    }
    closedir(listing);
    return true;
  };
  return variables;
}

}  // namespace tools
