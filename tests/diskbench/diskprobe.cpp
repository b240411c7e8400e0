// diskprobe: asks a disk or volume what the boot tools ask of it, through the
// documented calls, and prints the answers one fact a line, for the bench's
// tests to compare with what sfdisk and sgdisk read from the same image.
//   diskprobe layout \\.\PhysicalDrive1     geometry, length, the drive layout
//   diskprobe volume \\.\S:                 device number, extents, partition
//   diskprobe volumes                       FindFirstVolumeW and each volume's
//                                           path names
//   diskprobe set-mbr DISK SIGNATURE [TYPE START LENGTH BOOT]...
//   diskprobe set-gpt DISK [TYPE-GUID UNIQUE-GUID START LENGTH NAME]...
//   diskprobe read DISK OFFSET LENGTH       hex of the bytes (explicit offset)
//   diskprobe short DISK                    the answers to buffers that are
//                                           too small
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

bool open(const char* path, bool write, Handle& handle) {
  handle.h = CreateFileA(path, GENERIC_READ | (write ? GENERIC_WRITE : 0),
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle.h == INVALID_HANDLE_VALUE) {
    std::printf("error open %s %lu\n", path, GetLastError());
    return false;
  }
  return true;
}

std::string guid(const GUID& g) {
  char text[64];
  std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool parseGuid(const char* text, GUID& g) {
  unsigned long d1;
  unsigned d2, d3, b[8];
  if (std::sscanf(text, "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1],
                  &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
    return false;
  g.Data1 = d1;
  g.Data2 = static_cast<unsigned short>(d2);
  g.Data3 = static_cast<unsigned short>(d3);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<unsigned char>(b[i]);
  return true;
}

int layout(const char* path) {
  Handle disk;
  if (!open(path, false, disk)) return 1;
  DWORD got = 0;
  DISK_GEOMETRY geometry{};
  if (!DeviceIoControl(disk.h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                       sizeof geometry, &got, nullptr))
    return std::printf("error geometry %lu\n", GetLastError()), 1;
  std::printf("sector %lu\n", geometry.BytesPerSector);
  GET_LENGTH_INFORMATION length{};
  if (!DeviceIoControl(disk.h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got,
                       nullptr))
    return std::printf("error length %lu\n", GetLastError()), 1;
  std::printf("length %lld\n", static_cast<long long>(length.Length.QuadPart));
  std::vector<unsigned char> buffer(sizeof(DRIVE_LAYOUT_INFORMATION_EX));
  // Grown until it fits, as a caller must.
  while (!DeviceIoControl(disk.h, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, buffer.data(),
                          static_cast<DWORD>(buffer.size()), &got, nullptr)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > (1u << 20))
      return std::printf("error layout %lu\n", GetLastError()), 1;
    buffer.resize(buffer.size() * 2);
  }
  const auto* info = reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
  if (info->PartitionStyle == PARTITION_STYLE_MBR) {
    std::printf("style mbr\nsignature %08lx\n", info->Mbr.Signature);
  } else if (info->PartitionStyle == PARTITION_STYLE_GPT) {
    std::printf(
        "style gpt\ndisk-guid %s\nusable %lld %lld\nentries %lu\n", guid(info->Gpt.DiskId).c_str(),
        static_cast<long long>(info->Gpt.StartingUsableOffset.QuadPart),
        static_cast<long long>(info->Gpt.UsableLength.QuadPart), info->Gpt.MaxPartitionCount);
  } else {
    std::printf("style raw\n");
  }
  for (DWORD i = 0; i < info->PartitionCount; ++i) {
    const PARTITION_INFORMATION_EX& p = info->PartitionEntry[i];
    if (p.PartitionLength.QuadPart == 0) continue;
    std::printf("partition %lu start %lld length %lld", p.PartitionNumber,
                static_cast<long long>(p.StartingOffset.QuadPart),
                static_cast<long long>(p.PartitionLength.QuadPart));
    if (info->PartitionStyle == PARTITION_STYLE_MBR)
      std::printf(" type %02x boot %d\n", p.Mbr.PartitionType, p.Mbr.BootIndicator ? 1 : 0);
    else
      std::printf(" type %s unique %s\n", guid(p.Gpt.PartitionType).c_str(),
                  guid(p.Gpt.PartitionId).c_str());
  }
  return 0;
}

int volume(const char* path) {
  Handle v;
  if (!open(path, false, v)) return 1;
  DWORD got = 0;
  STORAGE_DEVICE_NUMBER number{};
  if (DeviceIoControl(v.h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                      &got, nullptr))
    std::printf("device-number %lu partition %lu\n", number.DeviceNumber, number.PartitionNumber);
  else
    std::printf("error device-number %lu\n", GetLastError());
  VOLUME_DISK_EXTENTS extents{};
  if (DeviceIoControl(v.h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                      sizeof extents, &got, nullptr))
    std::printf("extent disk %lu start %lld length %lld\n", extents.Extents[0].DiskNumber,
                static_cast<long long>(extents.Extents[0].StartingOffset.QuadPart),
                static_cast<long long>(extents.Extents[0].ExtentLength.QuadPart));
  else
    std::printf("error extents %lu\n", GetLastError());
  PARTITION_INFORMATION_EX partition{};
  if (DeviceIoControl(v.h, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &partition,
                      sizeof partition, &got, nullptr))
    std::printf("partition-info %lu start %lld length %lld\n", partition.PartitionNumber,
                static_cast<long long>(partition.StartingOffset.QuadPart),
                static_cast<long long>(partition.PartitionLength.QuadPart));
  else
    std::printf("error partition-info %lu\n", GetLastError());
  GET_LENGTH_INFORMATION length{};
  if (DeviceIoControl(v.h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got,
                      nullptr))
    std::printf("length %lld\n", static_cast<long long>(length.Length.QuadPart));
  return 0;
}

int volumes() {
  wchar_t name[MAX_PATH];
  HANDLE find = FindFirstVolumeW(name, MAX_PATH);
  if (find == INVALID_HANDLE_VALUE) return std::printf("error find %lu\n", GetLastError()), 1;
  do {
    std::vector<wchar_t> paths(4);
    DWORD needed = 0;
    while (!GetVolumePathNamesForVolumeNameW(name, paths.data(), static_cast<DWORD>(paths.size()),
                                             &needed)) {
      if (GetLastError() != ERROR_MORE_DATA || paths.size() > 65536) break;
      paths.resize(needed > paths.size() ? needed : paths.size() * 2);
    }
    std::printf("volume %ls paths", name);
    for (const wchar_t* p = paths.data(); *p; p += wcslen(p) + 1) std::printf(" %ls", p);
    std::printf("\n");
  } while (FindNextVolumeW(find, name, MAX_PATH));
  FindVolumeClose(find);
  return 0;
}

int readBytes(const char* path, long long offset, long length) {
  Handle disk;
  if (!open(path, false, disk)) return 1;
  std::vector<unsigned char> bytes(static_cast<size_t>(length));
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(disk.h, bytes.data(), static_cast<DWORD>(length), &got, &at))
    return std::printf("error read %lu\n", GetLastError()), 1;
  std::printf("read %lu ", got);
  for (DWORD i = 0; i < got; ++i) std::printf("%02x", bytes[i]);
  std::printf("\n");
  return 0;
}

int setLayout(bool gpt, int argc, char** argv) {
  Handle disk;
  if (!open(argv[0], true, disk)) return 1;
  const int fields = gpt ? 5 : 4;
  const int count = (argc - (gpt ? 1 : 2)) / fields;
  const DWORD entries = gpt ? count : 4;
  std::vector<unsigned char> buffer(sizeof(DRIVE_LAYOUT_INFORMATION_EX) +
                                    entries * sizeof(PARTITION_INFORMATION_EX));
  auto* info = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
  info->PartitionStyle = gpt ? PARTITION_STYLE_GPT : PARTITION_STYLE_MBR;
  info->PartitionCount = entries;
  char** next = argv + 1;
  if (!gpt) {
    info->Mbr.Signature = std::strtoul(*next++, nullptr, 16);
  }
  for (int i = 0; i < count; ++i) {
    PARTITION_INFORMATION_EX& p = info->PartitionEntry[i];
    p.PartitionStyle = static_cast<PARTITION_STYLE>(info->PartitionStyle);
    p.RewritePartition = TRUE;
    if (gpt) {
      if (!parseGuid(next[0], p.Gpt.PartitionType) || !parseGuid(next[1], p.Gpt.PartitionId))
        return std::printf("error guid\n"), 1;
      p.StartingOffset.QuadPart = std::strtoll(next[2], nullptr, 10);
      p.PartitionLength.QuadPart = std::strtoll(next[3], nullptr, 10);
      for (int c = 0; next[4][c] && c < 35; ++c) p.Gpt.Name[c] = static_cast<wchar_t>(next[4][c]);
    } else {
      p.Mbr.PartitionType = static_cast<BYTE>(std::strtoul(next[0], nullptr, 16));
      p.StartingOffset.QuadPart = std::strtoll(next[1], nullptr, 10);
      p.PartitionLength.QuadPart = std::strtoll(next[2], nullptr, 10);
      p.Mbr.BootIndicator = std::atoi(next[3]) != 0;
    }
    next += fields;
  }
  DWORD got = 0;
  if (!DeviceIoControl(disk.h, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(),
                       static_cast<DWORD>(buffer.size()), nullptr, 0, &got, nullptr))
    return std::printf("error set-layout %lu\n", GetLastError()), 1;
  DeviceIoControl(disk.h, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &got, nullptr);
  std::printf("set\n");
  return 0;
}

// What a caller learns from buffers that are too small.
int shortBuffers(const char* path) {
  Handle disk;
  if (!open(path, false, disk)) return 1;
  unsigned char small[16];
  DWORD got = 0;
  BOOL ok =
      DeviceIoControl(disk.h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, small, 8, &got, nullptr);
  std::printf("geometry-8 %d %lu\n", ok, ok ? 0 : GetLastError());
  std::vector<unsigned char> one(sizeof(DRIVE_LAYOUT_INFORMATION_EX));
  ok = DeviceIoControl(disk.h, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, one.data(),
                       static_cast<DWORD>(one.size()), &got, nullptr);
  std::printf("layout-1 %d %lu\n", ok, ok ? 0 : GetLastError());
  // Unaligned and past-the-end reads are refused.
  unsigned char sector[4096];
  OVERLAPPED at{};
  at.Offset = 100;
  ok = ReadFile(disk.h, sector, 512, &got, &at);
  std::printf("read-unaligned %d %lu\n", ok, ok ? 0 : GetLastError());
  GET_LENGTH_INFORMATION length{};
  DeviceIoControl(disk.h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got,
                  nullptr);
  at.Offset = static_cast<DWORD>(length.Length.QuadPart);
  at.OffsetHigh = static_cast<DWORD>(length.Length.QuadPart >> 32);
  ok = ReadFile(disk.h, sector, 4096, &got, &at);
  std::printf("read-past-end %d %lu\n", ok, ok ? 0 : GetLastError());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && !std::strcmp(argv[1], "layout")) return layout(argv[2]);
  if (argc >= 3 && !std::strcmp(argv[1], "volume")) return volume(argv[2]);
  if (argc >= 2 && !std::strcmp(argv[1], "volumes")) return volumes();
  if (argc >= 5 && !std::strcmp(argv[1], "read"))
    return readBytes(argv[2], std::strtoll(argv[3], nullptr, 10),
                     std::strtol(argv[4], nullptr, 10));
  if (argc >= 4 && !std::strcmp(argv[1], "set-mbr")) return setLayout(false, argc - 2, argv + 2);
  if (argc >= 3 && !std::strcmp(argv[1], "set-gpt")) return setLayout(true, argc - 2, argv + 2);
  if (argc >= 3 && !std::strcmp(argv[1], "short")) return shortBuffers(argv[2]);
  std::fprintf(stderr, "usage: diskprobe layout|volume|volumes|read|set-mbr|set-gpt|short ...\n");
  return 2;
}
