// Which drives may be install or boot partitions. No Windows API here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The root texts ("C:\", "D:\" ...) in a logical-drive-strings buffer: the
// first `length` bytes, split at every NUL, empty pieces dropped.
std::vector<std::string> splitDriveStrings(const char* buffer, std::size_t length);

// Drive types as the file-system object reports them.
enum DriveKind {
  kDriveUnknown = 0,
  kDriveRemovable = 1,
  kDriveFixed = 2,
  kDriveNetwork = 3,
  kDriveCdRom = 4,
  kDriveRamDisk = 5
};

// Only removable and fixed drives can take an installation.
inline bool isPartitionCandidate(int driveType) {
  return driveType == kDriveRemovable || driveType == kDriveFixed;
}
