#include "boot/disk/disk_access.h"
#include "boot/disk/partition_mount.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace boot {

namespace {

bool fail(std::string& reason, const std::string& why) {
  reason = why;
  return false;
}

std::string errorText(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error)
                         : message + " (error " + std::to_string(error) + ")";
}

HANDLE handleOf(const Device& device) { return reinterpret_cast<HANDLE>(device.handle); }

// Raw device I/O wants buffers aligned to the sector; pages are.
struct AlignedBuffer {
  void* data = nullptr;
  explicit AlignedBuffer(std::size_t size)
      : data(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
  ~AlignedBuffer() {
    if (data) VirtualFree(data, 0, MEM_RELEASE);
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
};

// Raw I/O names its offset in an OVERLAPPED, which Windows documents for
// synchronous handles too: a disk driver's handle keeps no file position of
// its own that SetFilePointerEx could move.
OVERLAPPED at(std::uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

// "C:" or "C:\" → "\\.\C:".
bool volumeDevicePath(const std::string& name, std::string& path) {
  if (name.size() < 2 || name.size() > 3 || name[1] != ':') return false;
  const char letter = name[0];
  if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) return false;
  if (name.size() == 3 && name[2] != '\\' && name[2] != '/') return false;
  path = std::string("\\\\.\\") + letter + ":";
  return true;
}

bool isPhysicalDrive(const std::string& path) {
  const std::string prefix = "\\\\.\\PhysicalDrive";
  if (path.size() <= prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(path[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// The disk extents of an open volume, the buffer grown until they fit.
bool volumeExtents(HANDLE volume, std::vector<DISK_EXTENT>& out, DWORD& error) {
  std::vector<std::uint8_t> buffer(sizeof(VOLUME_DISK_EXTENTS));
  for (;;) {
    DWORD returned = 0;
    if (DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size()), &returned, nullptr))
      break;
    error = GetLastError();
    if (error != ERROR_MORE_DATA && error != ERROR_INSUFFICIENT_BUFFER) return false;
    VOLUME_DISK_EXTENTS head;
    std::memcpy(&head, buffer.data(), sizeof head);
    const std::size_t wanted = offsetof(VOLUME_DISK_EXTENTS, Extents) +
                               std::max<DWORD>(head.NumberOfDiskExtents, 1) * sizeof(DISK_EXTENT);
    if (wanted <= buffer.size() || wanted > (1u << 20)) return false;
    buffer.resize(wanted);
  }
  DWORD count = 0;
  std::memcpy(&count, buffer.data(), sizeof count);
  out.clear();
  for (DWORD i = 0; i < count; ++i) {
    DISK_EXTENT extent;
    const std::size_t at = offsetof(VOLUME_DISK_EXTENTS, Extents) + i * sizeof(DISK_EXTENT);
    if (at + sizeof extent > buffer.size()) break;
    std::memcpy(&extent, buffer.data() + at, sizeof extent);
    out.push_back(extent);
  }
  return true;
}

}  // namespace

Device::Device(Device&& other) noexcept { *this = std::move(other); }

Device& Device::operator=(Device&& other) noexcept {
  if (this != &other) {
    if (isOpen()) CloseHandle(handleOf(*this));
    handle = std::exchange(other.handle, -1);
    sectorSize = other.sectorSize;
    sizeBytes = other.sizeBytes;
    path = std::move(other.path);
    lockFailure = std::move(other.lockFailure);
  }
  return *this;
}

Device::~Device() {
  if (isOpen()) CloseHandle(handleOf(*this));
}

bool openDevice(const std::string& path, bool writable, Device& device, std::string& reason) {
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return fail(reason, "cannot open " + path + " for raw " + (writable ? "writing" : "reading") +
                            " (" + errorText(GetLastError()) + ")");
  Device opened;
  opened.handle = reinterpret_cast<std::intptr_t>(handle);
  opened.path = path;
  DWORD returned = 0;
  DISK_GEOMETRY geometry{};
  if (DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                      &returned, nullptr) &&
      geometry.BytesPerSector >= 512)
    opened.sectorSize = geometry.BytesPerSector;
  GET_LENGTH_INFORMATION length{};
  LARGE_INTEGER fileSize{};
  if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                      &returned, nullptr))
    opened.sizeBytes = static_cast<std::uint64_t>(length.Length.QuadPart);
  else if (GetFileSizeEx(handle, &fileSize))
    opened.sizeBytes = static_cast<std::uint64_t>(fileSize.QuadPart);
  // A volume's handle stops at the file system's end; the NTFS backup boot
  // sector lies just beyond it.
  DeviceIoControl(handle, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned, nullptr);
  // Windows refuses writes to a mounted file system's sectors beyond its
  // boot sector (FAT32's reserved sectors among them) unless the volume is
  // locked. The running system's volume cannot be locked; its boot sectors
  // can be written all the same. The lock ends with the handle.
  // A disk is never locked: Windows mounts RAW on a locked disk's handle, and
  // a second open of the same disk (BOOTICE reads the ESP through one) fails.
  if (writable && !isPhysicalDrive(path) &&
      !DeviceIoControl(handle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr))
    opened.lockFailure = errorText(GetLastError());
  device = std::move(opened);
  return true;
}

bool readSectors(Device& device, std::uint64_t sector, std::uint32_t count, le::Bytes& out,
                 std::string& reason) {
  const std::size_t size = static_cast<std::size_t>(count) * device.sectorSize;
  AlignedBuffer buffer(size);
  if (!buffer.data) return fail(reason, "not enough memory");
  DWORD got = 0;
  OVERLAPPED offset = at(sector * device.sectorSize);
  if (!ReadFile(handleOf(device), buffer.data, static_cast<DWORD>(size), &got, &offset))
    return fail(reason, "cannot read sector " + std::to_string(sector) + " of " + device.path +
                            " (" + errorText(GetLastError()) + ")");
  if (got != size)
    return fail(reason, "cannot read sector " + std::to_string(sector) + " of " + device.path +
                            ": it ends after " + std::to_string(got) + " of " +
                            std::to_string(size) + " bytes");
  const auto* bytes = static_cast<const std::uint8_t*>(buffer.data);
  out.assign(bytes, bytes + size);
  return true;
}

bool writeSectors(Device& device, std::uint64_t sector, const le::Bytes& bytes,
                  std::string& reason) {
  if (bytes.size() % device.sectorSize != 0)
    return fail(reason, "a write of part of a sector to " + device.path);
  AlignedBuffer buffer(bytes.size());
  if (!buffer.data) return fail(reason, "not enough memory");
  std::memcpy(buffer.data, bytes.data(), bytes.size());
  DWORD put = 0;
  OVERLAPPED offset = at(sector * device.sectorSize);
  if (!WriteFile(handleOf(device), buffer.data, static_cast<DWORD>(bytes.size()), &put, &offset)) {
    const std::string why = errorText(GetLastError());
    // A mounted volume that could not be locked takes writes to its boot
    // sector only: the refusal is the lock's, and so is the remedy.
    const std::string lock =
        device.lockFailure.empty()
            ? std::string()
            : "; the volume could not be locked for writing (" + device.lockFailure +
                  "): another program has it open; close it (an Explorer window or a command "
                  "prompt on the drive counts) and run again";
    return fail(reason, "cannot write sector " + std::to_string(sector) + " of " + device.path +
                            " (" + why + ")" + lock);
  }
  if (put != bytes.size())
    return fail(reason, "cannot write sector " + std::to_string(sector) + " of " + device.path +
                            ": only " + std::to_string(put) + " of " +
                            std::to_string(bytes.size()) + " bytes were taken");
  if (!FlushFileBuffers(handleOf(device)))
    return fail(reason, "cannot flush " + device.path + " after writing sector " +
                            std::to_string(sector) + " (" + errorText(GetLastError()) + ")");
  return true;
}

bool locateVolume(const std::string& name, VolumeLocation& location, std::string& reason) {
  location = VolumeLocation{};
  if (!volumeDevicePath(name, location.volumePath))
    return fail(reason, "\"" + name + "\" is not a drive (such as C: or C:\\)");
  HANDLE volume = CreateFileA(location.volumePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) {
    location.whyNotOnDisk = "cannot open " + location.volumePath + ": " + errorText(GetLastError());
    return true;
  }
  std::vector<DISK_EXTENT> extents;
  DWORD error = 0;
  const bool asked = volumeExtents(volume, extents, error);
  CloseHandle(volume);
  if (!asked) {
    location.whyNotOnDisk =
        "the system does not say which disk holds " + name + " (" + errorText(error) + ")";
    return true;
  }
  if (extents.empty()) {
    location.whyNotOnDisk = "the system names no disk for " + name;
    return true;
  }
  if (extents.size() != 1) {
    location.whyNotOnDisk = name + " spans " + std::to_string(extents.size()) +
                            " disk extents; only a volume on one partition can boot";
    return true;
  }
  const DISK_EXTENT& extent = extents[0];
  location.onDisk = true;
  location.diskPath = "\\\\.\\PhysicalDrive" + std::to_string(extent.DiskNumber);
  location.startBytes = static_cast<std::uint64_t>(extent.StartingOffset.QuadPart);
  location.lengthBytes = static_cast<std::uint64_t>(extent.ExtentLength.QuadPart);
  return true;
}

bool volumeHolding(const std::string& path, std::string& volume, std::string& reason) {
  char root[MAX_PATH] = {};
  if (!GetVolumePathNameA(path.c_str(), root, MAX_PATH))
    return fail(reason,
                "cannot find the volume of " + path + " (" + errorText(GetLastError()) + ")");
  volume = root;
  std::string ignored;
  if (!volumeDevicePath(volume, ignored))
    return fail(reason, path + " lies on " + volume + ", which is no drive");
  return true;
}

bool readLayout(Device& disk, DiskLayout& layout, std::string& reason) {
  layout = DiskLayout{};
  // Grown until the table fits: a disk with many logical partitions reports
  // four entries for each.
  std::vector<std::uint8_t> buffer(sizeof(DRIVE_LAYOUT_INFORMATION_EX) +
                                   31 * sizeof(PARTITION_INFORMATION_EX));
  for (;;) {
    DWORD returned = 0;
    if (DeviceIoControl(handleOf(disk), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size()), &returned, nullptr))
      break;
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || buffer.size() > (4u << 20))
      return fail(reason, "the system does not give the partition table of " + disk.path + " (" +
                              errorText(error) + ")");
    buffer.resize(buffer.size() * 2);
  }
  const auto* info = reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
  const DWORD count = std::min<DWORD>(
      info->PartitionCount,
      static_cast<DWORD>((buffer.size() - offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry)) /
                         sizeof(PARTITION_INFORMATION_EX)));
  if (info->PartitionStyle == PARTITION_STYLE_GPT) {
    layout.style = PartitionStyle::Gpt;
    std::memcpy(layout.diskGuid.bytes.data(), &info->Gpt.DiskId, 16);
  } else if (info->PartitionStyle == PARTITION_STYLE_MBR) {
    layout.style = PartitionStyle::Mbr;
    layout.signature = info->Mbr.Signature;
  } else {
    return fail(reason, disk.path + " has no partition table");
  }
  for (DWORD i = 0; i < count; ++i) {
    const PARTITION_INFORMATION_EX& entry = info->PartitionEntry[i];
    if (entry.PartitionLength.QuadPart == 0) continue;
    Partition partition;
    partition.number = static_cast<int>(entry.PartitionNumber);
    partition.startLba =
        static_cast<std::uint64_t>(entry.StartingOffset.QuadPart) / disk.sectorSize;
    partition.sectors =
        static_cast<std::uint64_t>(entry.PartitionLength.QuadPart) / disk.sectorSize;
    if (layout.style == PartitionStyle::Gpt) {
      std::memcpy(partition.gptType.bytes.data(), &entry.Gpt.PartitionType, 16);
      std::memcpy(partition.gptUnique.bytes.data(), &entry.Gpt.PartitionId, 16);
    } else {
      partition.type = entry.Mbr.PartitionType;
      partition.status = entry.Mbr.BootIndicator ? kActive : 0;
      // The first four entries are the MBR's own slots; the rest are logical.
      if (i < 4) partition.slot = static_cast<int>(i);
      partition.logical = i >= 4;
      if (partition.type == 0) continue;
    }
    layout.partitions.push_back(partition);
  }
  return true;
}

std::vector<std::string> listDisks() {
  std::vector<std::string> disks;
  // Numbers are given out from 0 up, but a removed disk leaves a gap.
  for (int number = 0; number < 64; ++number) {
    const std::string path = "\\\\.\\PhysicalDrive" + std::to_string(number);
    HANDLE disk = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) continue;
    CloseHandle(disk);
    disks.push_back(path);
  }
  return disks;
}

void announceLayoutChange(Device& disk) {
  DWORD returned = 0;
  DeviceIoControl(handleOf(disk), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned,
                  nullptr);
}

namespace {

std::string narrow(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  out.resize(std::strlen(out.c_str()));
  return out;
}

// The volume (\\?\Volume{...}\) whose one extent is the given stretch of
// disk `diskNumber`, or the empty text.
std::wstring volumeOnDisk(DWORD diskNumber, std::uint64_t startBytes) {
  wchar_t name[MAX_PATH] = {};
  HANDLE find = FindFirstVolumeW(name, MAX_PATH);
  if (find == INVALID_HANDLE_VALUE) return std::wstring();
  std::wstring found;
  do {
    std::wstring device = name;
    // The volume itself is opened without the trailing backslash.
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    HANDLE volume = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) continue;
    std::vector<DISK_EXTENT> extents;
    DWORD error = 0;
    const bool asked = volumeExtents(volume, extents, error);
    CloseHandle(volume);
    if (!asked) continue;
    if (extents.size() == 1 && extents[0].DiskNumber == diskNumber &&
        static_cast<std::uint64_t>(extents[0].StartingOffset.QuadPart) == startBytes) {
      found = name;
      break;
    }
  } while (FindNextVolumeW(find, name, MAX_PATH));
  FindVolumeClose(find);
  return found;
}

}  // namespace

bool reachPartition(const std::string& diskPath, std::uint64_t startBytes, std::uint64_t, bool,
                    PartitionMount& mount, std::string& reason) {
  mount = PartitionMount{};
  const std::string prefix = "\\\\.\\PhysicalDrive";
  if (diskPath.compare(0, prefix.size(), prefix) != 0 || diskPath.size() == prefix.size())
    return fail(reason, diskPath + " is no physical drive");
  const DWORD diskNumber = std::strtoul(diskPath.c_str() + prefix.size(), nullptr, 10);
  const std::wstring volume = volumeOnDisk(diskNumber, startBytes);
  if (volume.empty())
    return fail(reason, "the system has mounted no volume at byte " + std::to_string(startBytes) +
                            " of " + diskPath);
  // The system's own mount point, where the volume has one.
  std::vector<wchar_t> paths(MAX_PATH);
  for (;;) {
    DWORD length = 0;
    if (GetVolumePathNamesForVolumeNameW(volume.c_str(), paths.data(),
                                         static_cast<DWORD>(paths.size()), &length))
      break;
    const DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA || paths.size() > (1u << 20)) {
      paths.assign(1, L'\0');
      break;
    }
    paths.resize(std::max<std::size_t>(length, paths.size() * 2));
  }
  if (paths[0] != L'\0') {
    mount.folder = narrow(paths.data());
    return true;
  }
  // Else a free drive letter for the moment, from the end of the alphabet.
  const DWORD used = GetLogicalDrives();
  std::string refused;
  for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
    if (used & (1u << (letter - L'A'))) continue;
    const std::wstring root = {letter, L':', L'\\'};
    if (!SetVolumeMountPointW(root.c_str(), volume.c_str())) {
      // The same refusal for every letter says nothing new: stop at the first.
      refused = "the system refused to give " + narrow(volume) + " the drive letter " +
                narrow(root) + " (" + errorText(GetLastError()) + ")";
      break;
    }
    mount.folder = narrow(root);
    mount.temporary = true;
    mount.undo = [root](std::string& why) {
      // What was written through the letter is on the disk before it goes.
      const std::wstring device = L"\\\\.\\" + root.substr(0, 2);
      HANDLE flush =
          CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
      if (flush != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(flush);
        CloseHandle(flush);
      }
      SetLastError(ERROR_SUCCESS);
      if (DeleteVolumeMountPointW(root.c_str())) return true;
      why = "cannot remove the drive letter " + narrow(root) + " again (" +
            errorText(GetLastError()) + ")";
      return false;
    };
    return true;
  }
  if (!refused.empty()) return fail(reason, refused);
  return fail(reason, "no drive letter is free to mount the partition on");
}

}  // namespace boot
