// Raw access to volumes and disks, one implementation per system
// (disk_access_win32.cpp, disk_access_linux.cpp) behind these procedures:
// open the volume named X, find which disk and which partition hold it, and
// read and write whole sectors of either.
//
// A volume is named as the system names it: on Windows a drive (C: or C:\);
// on Linux a block device (/dev/sdb1, /dev/loop3), a file holding one
// partition, or the folder a volume is mounted on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "boot/disk/partition_table.h"

namespace boot {

// An open volume or disk. Owns its handle; moves, never copies.
struct Device {
  std::intptr_t handle = -1;  // a file descriptor, or a HANDLE
  std::uint32_t sectorSize = 512;
  std::uint64_t sizeBytes = 0;  // 0 when the system does not say
  std::string path;
  std::string lockFailure;  // why the system refused to lock the volume, if it did

  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  Device(Device&& other) noexcept;
  Device& operator=(Device&& other) noexcept;
  ~Device();
  bool isOpen() const { return handle != -1; }
};

// Opens for reading, and for writing too when `writable`. The sector size is
// asked from the device; a plain file counts 512-byte sectors.
bool openDevice(const std::string& path, bool writable, Device& device, std::string& reason);

// Whole sectors, at a sector's offset.
bool readSectors(Device& device, std::uint64_t sector, std::uint32_t count, le::Bytes& out,
                 std::string& reason);
bool writeSectors(Device& device, std::uint64_t sector, const le::Bytes& bytes,
                  std::string& reason);

// Where a named volume lives.
struct VolumeLocation {
  std::string volumePath;  // what openDevice takes for the volume itself
  bool onDisk = false;     // the disk and the partition's place on it are known
  std::string diskPath;    // what openDevice takes for the whole disk
  std::uint64_t startBytes = 0;
  std::uint64_t lengthBytes = 0;
  std::string whyNotOnDisk;  // when !onDisk: why the disk is not known
};

// False, with a reason, when the name is no volume at all.
bool locateVolume(const std::string& name, VolumeLocation& location, std::string& reason);

// The volume that holds a file or folder, named as locateVolume takes it:
// on Windows its drive, on Linux the folder it is mounted on.
bool volumeHolding(const std::string& path, std::string& volume, std::string& reason);

// The partition table of an open disk (Windows asks the system; Linux reads
// the disk's sectors).
bool readLayout(Device& disk, DiskLayout& layout, std::string& reason);

// The whole disks of this machine, as openDevice takes them: on Windows the
// physical drives that open, on Linux the block devices of /sys/block.
std::vector<std::string> listDisks();

// After sector 0 of a disk changed: has the system read its table again.
void announceLayoutChange(Device& disk);

}  // namespace boot
