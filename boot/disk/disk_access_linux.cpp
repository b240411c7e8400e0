#include "boot/disk/disk_access.h"

#include "boot/disk/mount_table_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace boot {

namespace {

bool fail(std::string& reason, const std::string& why) {
  reason = why;
  return false;
}

// The system's words and the error's name: "No space left on device (ENOSPC)".
std::string systemError(int error = errno) {
  const char* name = strerrorname_np(error);
  return std::string(std::strerror(error)) + (name ? std::string(" (") + name + ")" : "");
}

// The first line of a sysfs file, or the empty text.
std::string readLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool readNumber(const std::string& path, std::uint64_t& value) {
  const std::string text = readLine(path);
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 10);
  return end != text.c_str();
}

// The source of the mount at `folder` (its real path), or the empty text.
std::string mountSource(const std::string& folder, std::string& fsType) {
  std::string source;
  // Later lines mount over earlier ones: the last match counts.
  for (const MountEntry& mount : readMountTable()) {
    if (mount.mountPoint != folder) continue;
    fsType = mount.type;
    source = mount.source;
  }
  return source;
}

// A FUSE file system such as fusefat names no device as its mount's source:
// the device is an argument of the process that serves the mount, beside the
// mount point. That process has moved to "/" by then, so a relative mount
// point is matched by its last components; two processes that fit leave the
// device unknown. The tool's own process is no server, though its command
// line may name the mount point beside a file (bcdboot's /nvram), and nor
// are the processes that started it (sudo, strace, a script), whose command
// lines hold the same words.
std::vector<std::string> selfAndAncestors() {
  std::vector<std::string> chain;
  for (pid_t pid = getpid(); pid > 1 && chain.size() < 64;) {
    chain.push_back(std::to_string(pid));
    std::ifstream stat("/proc/" + chain.back() + "/stat");
    std::string line;
    std::getline(stat, line);
    // "pid (name) state ppid ...": the name may hold spaces and parentheses.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) break;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    if (!(rest >> state >> parent)) break;
    pid = parent;
  }
  return chain;
}

std::string fuseDeviceOf(const std::string& mountPoint) {
  DIR* processes = opendir("/proc");
  if (!processes) return std::string();
  const std::vector<std::string> skipped = selfAndAncestors();
  std::string device;
  int found = 0;
  while (dirent* entry = readdir(processes)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        std::find(skipped.begin(), skipped.end(), pid) != skipped.end())
      continue;
    std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(in, argument, '\0');) arguments.push_back(argument);
    bool serves = false;
    std::string candidate;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      const std::string& argument = arguments[i];
      if (argument.empty() || argument[0] == '-') continue;
      std::string tail = argument;
      while (tail.size() > 1 && tail.back() == '/') tail.pop_back();
      const bool names =
          tail[0] == '/'
              ? tail == mountPoint
              : mountPoint.size() > tail.size() &&
                    mountPoint.compare(mountPoint.size() - tail.size(), tail.size(), tail) == 0 &&
                    mountPoint[mountPoint.size() - tail.size() - 1] == '/';
      struct stat st {};
      if (names)
        serves = true;
      else if (argument[0] == '/' && stat(argument.c_str(), &st) == 0 &&
               (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)))
        candidate = argument;
    }
    if (serves && !candidate.empty()) {
      device = candidate;
      ++found;
    }
  }
  closedir(processes);
  return found == 1 ? device : std::string();
}

// The mount point that holds `path` (a real path): the longest one that is
// the path itself or one of the folders above it.
std::string mountPointHolding(const std::string& path) {
  std::string best;
  for (const MountEntry& mount : readMountTable()) {
    const std::string& point = mount.mountPoint;
    const bool holds = path == point || point == "/" ||
                       (path.compare(0, point.size(), point) == 0 && path.size() > point.size() &&
                        path[point.size()] == '/');
    if (holds && point.size() >= best.size()) best = point;
  }
  return best;
}

// /sys/dev/block/MAJ:MIN of a block device.
std::string sysfsOf(const struct stat& st) {
  return "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
         std::to_string(minor(st.st_rdev));
}

void locateBlockDevice(const std::string& path, const struct stat& st, VolumeLocation& location) {
  const std::string sys = sysfsOf(st);
  std::uint64_t value = 0;
  // An offset loop device is a partition of the file behind it.
  const std::string backing = readLine(sys + "/loop/backing_file");
  if (!backing.empty()) {
    std::uint64_t offset = 0, limit = 0, size = 0;
    readNumber(sys + "/loop/offset", offset);
    readNumber(sys + "/loop/sizelimit", limit);
    readNumber(sys + "/size", size);  // in 512-byte units
    if (offset == 0) {
      location.whyNotOnDisk = path + " is a loop device over the whole of " + backing +
                              ", not over one of its partitions";
      return;
    }
    location.onDisk = true;
    location.diskPath = backing;
    location.startBytes = offset;
    location.lengthBytes = limit != 0 ? limit : size * 512;
    return;
  }
  // A partition of a disk: /dev/sdb1 is the 'start'-th sector of /dev/sdb.
  if (readNumber(sys + "/partition", value) && readNumber(sys + "/start", location.startBytes)) {
    char resolved[PATH_MAX];
    if (!realpath(sys.c_str(), resolved)) {
      location.whyNotOnDisk = "cannot find the disk of " + path;
      return;
    }
    std::string parent = resolved;
    parent = parent.substr(0, parent.find_last_of('/'));
    const std::string disk = parent.substr(parent.find_last_of('/') + 1);
    std::uint64_t sectors = 0;
    readNumber(sys + "/size", sectors);
    location.onDisk = true;
    location.diskPath = "/dev/" + disk;
    location.startBytes *= 512;  // sysfs counts 512-byte units whatever the sector size
    location.lengthBytes = sectors * 512;
    return;
  }
  location.whyNotOnDisk = path + " is a whole disk, not a partition";
}

}  // namespace

Device::Device(Device&& other) noexcept { *this = std::move(other); }

Device& Device::operator=(Device&& other) noexcept {
  if (this != &other) {
    if (isOpen()) close(static_cast<int>(handle));
    handle = std::exchange(other.handle, -1);
    sectorSize = other.sectorSize;
    sizeBytes = other.sizeBytes;
    path = std::move(other.path);
    lockFailure = std::move(other.lockFailure);
  }
  return *this;
}

Device::~Device() {
  if (isOpen()) close(static_cast<int>(handle));
}

bool openDevice(const std::string& path, bool writable, Device& device, std::string& reason) {
  const int fd = open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return fail(reason, "cannot open " + path + ": " + systemError());
  Device opened;
  opened.handle = fd;
  opened.path = path;
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(reason, "cannot look at " + path + ": " + systemError());
  if (S_ISBLK(st.st_mode)) {
    int sector = 0;
    if (ioctl(fd, BLKSSZGET, &sector) == 0 && sector > 0)
      opened.sectorSize = static_cast<std::uint32_t>(sector);
    std::uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) opened.sizeBytes = bytes;
  } else if (S_ISREG(st.st_mode)) {
    opened.sizeBytes = static_cast<std::uint64_t>(st.st_size);
  } else {
    return fail(reason, path + " is neither a block device nor a file");
  }
  device = std::move(opened);
  return true;
}

bool readSectors(Device& device, std::uint64_t sector, std::uint32_t count, le::Bytes& out,
                 std::string& reason) {
  const std::uint64_t offset = sector * device.sectorSize;
  const std::size_t size = static_cast<std::size_t>(count) * device.sectorSize;
  out.assign(size, 0);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(static_cast<int>(device.handle), out.data() + done, size - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0)
      return fail(reason, "cannot read sector " +
                              std::to_string(sector + done / device.sectorSize) + " of " +
                              device.path + ": " +
                              (got == 0 ? std::string("it lies beyond the end") : systemError()));
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool writeSectors(Device& device, std::uint64_t sector, const le::Bytes& bytes,
                  std::string& reason) {
  if (bytes.size() % device.sectorSize != 0)
    return fail(reason, "a write of part of a sector to " + device.path);
  const std::uint64_t offset = sector * device.sectorSize;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = pwrite(static_cast<int>(device.handle), bytes.data() + done,
                               bytes.size() - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0)
      return fail(reason, "pwrite of sector " + std::to_string(sector + done / device.sectorSize) +
                              " of " + device.path +
                              " failed: " + systemError(put == 0 ? EIO : errno));
    done += static_cast<std::size_t>(put);
  }
  // On the disk before the next write: the tools order their writes so that
  // a stop between two leaves a volume that starts.
  if (fsync(static_cast<int>(device.handle)) != 0)
    return fail(reason, "fsync of " + device.path + " after writing sector " +
                            std::to_string(sector) + " failed: " + systemError());
  return true;
}

bool locateVolume(const std::string& name, VolumeLocation& location, std::string& reason) {
  location = VolumeLocation{};
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) return fail(reason, name + ": " + systemError());
  std::string device = name;
  if (S_ISDIR(st.st_mode)) {
    char resolved[PATH_MAX];
    if (!realpath(name.c_str(), resolved)) return fail(reason, name + ": " + systemError());
    std::string type;
    device = mountSource(resolved, type);
    if (device.empty()) return fail(reason, name + " is a folder but no volume is mounted on it");
    if (stat(device.c_str(), &st) != 0 && type.compare(0, 5, "fuse.") == 0)
      device = fuseDeviceOf(resolved);
    if (device.empty() || stat(device.c_str(), &st) != 0)
      return fail(reason, name + " is mounted (" + type + ") from no device that can be found");
  }
  location.volumePath = device;
  if (S_ISBLK(st.st_mode)) {
    locateBlockDevice(device, st, location);
    return true;
  }
  if (S_ISREG(st.st_mode)) {
    location.whyNotOnDisk = device + " is a file holding one partition: no disk around it";
    return true;
  }
  return fail(reason, device + " is neither a block device, a file nor a mounted folder");
}

bool volumeHolding(const std::string& path, std::string& volume, std::string& reason) {
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) return fail(reason, path + ": " + systemError());
  volume = mountPointHolding(resolved);
  if (volume.empty()) return fail(reason, "no volume is mounted where " + path + " lies");
  return true;
}

bool readLayout(Device& disk, DiskLayout& layout, std::string& reason) {
  const ReadSectors read = [&disk](std::uint64_t lba, std::uint32_t count, le::Bytes& out) {
    std::string ignored;
    return readSectors(disk, lba, count, out, ignored);
  };
  return readDiskLayout(read, disk.sectorSize, disk.sizeBytes / disk.sectorSize, layout, reason);
}

std::vector<std::string> listDisks() {
  std::vector<std::string> disks;
  DIR* folder = opendir("/sys/block");
  if (!folder) return disks;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    // RAM disks hold no partitions anyone starts from.
    if (name.empty() || name[0] == '.' || name.compare(0, 3, "ram") == 0) continue;
    disks.push_back("/dev/" + name);
  }
  closedir(folder);
  return disks;
}

void announceLayoutChange(Device& disk) {
  struct stat st {};
  if (fstat(static_cast<int>(disk.handle), &st) == 0 && S_ISBLK(st.st_mode))
    ioctl(static_cast<int>(disk.handle), BLKRRPART);  // refused while a partition is in use
}

}  // namespace boot
