#include "boot/disk/partition_mount.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "boot/disk/disk_access.h"
#include "boot/disk/mount_table_linux.h"

namespace boot {

namespace {

using Clock = std::chrono::steady_clock;

bool fail(std::string& reason, const std::string& why) {
  reason = why;
  return false;
}

std::string systemError() { return std::strerror(errno); }

// Two names of one disk: the same block device, or the same file.
bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  if (S_ISBLK(sa.st_mode) && S_ISBLK(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Only file systems that may hold a FAT or NTFS volume are asked where they
// come from: finding the device of a FUSE mount walks every process.
bool mayBeFatOrNtfs(const std::string& type) {
  return type == "vfat" || type == "msdos" || type == "ntfs" || type == "ntfs3" ||
         type.compare(0, 4, "fuse") == 0;
}

bool mountedAt(const std::string& folder) {
  for (const MountEntry& mount : readMountTable())
    if (mount.mountPoint == folder) return true;
  return false;
}

std::string existingMount(const std::string& diskPath, std::uint64_t startBytes) {
  const std::vector<MountEntry> mounts = readMountTable();
  // Later mounts cover earlier ones at the same place: the last one counts.
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    if (!mayBeFatOrNtfs(it->type)) continue;
    VolumeLocation location;
    std::string ignored;
    if (locateVolume(it->mountPoint, location, ignored) && location.onDisk &&
        location.startBytes == startBytes && sameFile(location.diskPath, diskPath))
      return it->mountPoint;
  }
  return std::string();
}

// A loop device over the partition's bytes of the disk, detached again when
// its last user closes it.
bool attachLoop(const std::string& diskPath, std::uint64_t startBytes, std::uint64_t lengthBytes,
                bool writable, int& loopFd, std::string& loopPath, std::string& reason) {
  const int backing = open(diskPath.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (backing < 0) return fail(reason, "cannot open " + diskPath + ": " + systemError());
  const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) {
    close(backing);
    return fail(reason, "cannot open /dev/loop-control: " + systemError());
  }
  bool attached = false;
  // Another program may take the free device between asking and attaching.
  for (int attempt = 0; attempt < 8 && !attached; ++attempt) {
    const int number = ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0) {
      reason = "no free loop device: " + systemError();
      break;
    }
    loopPath = "/dev/loop" + std::to_string(number);
    loopFd = open(loopPath.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (loopFd < 0) {
      reason = "cannot open " + loopPath + ": " + systemError();
      continue;
    }
    if (ioctl(loopFd, LOOP_SET_FD, backing) != 0) {
      reason = "cannot attach " + loopPath + ": " + systemError();
      close(loopFd);
      loopFd = -1;
      continue;
    }
    loop_info64 info{};
    info.lo_offset = startBytes;
    info.lo_sizelimit = lengthBytes;
    info.lo_flags = LO_FLAGS_AUTOCLEAR | (writable ? 0 : LO_FLAGS_READ_ONLY);
    if (ioctl(loopFd, LOOP_SET_STATUS64, &info) != 0) {
      reason = "cannot set the offset of " + loopPath + ": " + systemError();
      ioctl(loopFd, LOOP_CLR_FD, 0);
      close(loopFd);
      loopFd = -1;
      break;
    }
    attached = true;
  }
  close(control);
  close(backing);
  return attached;
}

// What fusefat wrote sits in the loop device's cache until it is flushed:
// detaching first would lose it, and a flush that fails is said. A read-only
// look wrote nothing.
bool detachLoop(int loopFd, bool writable, std::string& why) {
  bool flushed = true;
  if (writable && fsync(loopFd) != 0) {
    why = "cannot flush what was written to the partition (fsync: " + systemError() + ")";
    flushed = false;
  }
  ioctl(loopFd, LOOP_CLR_FD, 0);
  close(loopFd);
  return flushed;
}

// Waits for a child to end, at most `limit`; false when it has not.
bool reap(pid_t child, std::chrono::milliseconds limit, int& status) {
  const auto until = Clock::now() + limit;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child || (done < 0 && errno != EINTR)) return true;
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Bytes 3-10 of an NTFS volume's boot sector.
bool holdsNtfs(int fd) {
  char name[8] = {};
  return pread(fd, name, sizeof name, 3) == static_cast<ssize_t>(sizeof name) &&
         std::memcmp(name, "NTFS    ", sizeof name) == 0;
}

// fusefat (FAT) or ntfs-3g (NTFS) in the foreground, as a child of this
// process: its end after the unmount says that everything it held is on the
// disk.
bool mountWithFuse(const std::string& device, const std::string& folder, bool writable, bool ntfs,
                   pid_t& child, std::string& reason) {
  const char* program = ntfs ? "ntfs-3g" : "fusefat";
  child = fork();
  if (child < 0) return fail(reason, std::string("cannot start ") + program + ": " + systemError());
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    if (ntfs)
      execlp(program, program, "-o", writable ? "no_detach" : "ro,no_detach", device.c_str(),
             folder.c_str(), static_cast<char*>(nullptr));
    // fusefat mounts nothing unless told how: "ro", or "rw+" for writing.
    execlp(program, program, "-f", "-o", writable ? "rw+" : "ro", device.c_str(), folder.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (!mountedAt(folder)) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      child = -1;
      return fail(reason, WIFEXITED(status) && WEXITSTATUS(status) == 127
                              ? std::string("the kernel cannot mount ") + (ntfs ? "NTFS" : "FAT") +
                                    " and " + program + " is not installed"
                              : std::string(program) + " could not mount " + device);
    }
    if (Clock::now() >= until) {
      kill(child, SIGTERM);
      reap(child, std::chrono::seconds(2), status);
      child = -1;
      return fail(reason, std::string(program) + " did not mount " + device + " within 10 seconds");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool unmount(const std::string& folder, pid_t fuse, bool writable, std::string& reason) {
  bool ok = true;
  // The file system may be busy for a moment after the last file closed.
  for (int attempt = 0; umount2(folder.c_str(), 0) != 0; ++attempt) {
    if (errno != EBUSY || attempt == 50) {
      reason = "cannot unmount " + folder + ": " + systemError();
      ok = false;
      if (umount2(folder.c_str(), MNT_DETACH) != 0) return false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (fuse > 0) {
    int status = 0;
    if (!reap(fuse, std::chrono::seconds(30), status)) {
      kill(fuse, SIGKILL);
      reap(fuse, std::chrono::seconds(2), status);
      return fail(reason, "fusefat did not finish writing " + folder + " within 30 seconds");
    }
    // Read-only, fusefat ends with a failure of its own final write, which
    // loses nothing.
    if (writable && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
      return fail(reason, "fusefat ended with a failure after unmounting " + folder);
  }
  return ok;
}

}  // namespace

bool reachPartition(const std::string& diskPath, std::uint64_t startBytes,
                    std::uint64_t lengthBytes, bool writable, PartitionMount& mount,
                    std::string& reason) {
  mount = PartitionMount{};
  const std::string existing = existingMount(diskPath, startBytes);
  if (!existing.empty()) {
    mount.folder = existing;
    return true;
  }
  char folder[] = "/tmp/roamdeck-partition.XXXXXX";
  if (!mkdtemp(folder)) return fail(reason, "cannot make a folder to mount on: " + systemError());
  int loopFd = -1;
  std::string loopPath;
  if (!attachLoop(diskPath, startBytes, lengthBytes, writable, loopFd, loopPath, reason)) {
    rmdir(folder);
    return false;
  }
  pid_t fuse = -1;
  // The kernel's driver where it has one; fusefat or ntfs-3g where it has none.
  const bool ntfs = holdsNtfs(loopFd);
  const unsigned long flags = writable ? 0 : MS_RDONLY;
  if (::mount(loopPath.c_str(), folder, ntfs ? "ntfs3" : "vfat", flags, nullptr) != 0) {
    const int kernelError = errno;
    if (!mountWithFuse(loopPath, folder, writable, ntfs, fuse, reason)) {
      if (kernelError != ENODEV)
        reason += " (and the kernel's vfat: " + std::string(std::strerror(kernelError)) + ")";
      std::string ignored;
      detachLoop(loopFd, false, ignored);
      rmdir(folder);
      return false;
    }
  }
  mount.folder = folder;
  mount.temporary = true;
  const std::string mounted = folder;
  mount.undo = [mounted, fuse, loopFd, writable](std::string& why) {
    sync();
    const bool unmounted = unmount(mounted, fuse, writable, why);
    std::string flushWhy;
    const bool flushed = detachLoop(loopFd, writable, flushWhy);
    if (unmounted && !flushed) why = flushWhy;
    if (unmounted) rmdir(mounted.c_str());
    return unmounted && flushed;
  };
  return true;
}

}  // namespace boot
