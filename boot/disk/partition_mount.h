// A partition's file system reached as a folder for a while, for a partition
// that may have no drive letter or mount of its own (an EFI system partition
// as a rule): the system's own mount where it has one, else a private one
// made here and released again, on every path out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace boot {

struct PartitionMount {
  std::string folder;      // where the partition's files are, as the file API takes it
  bool temporary = false;  // made here: release() or the destructor undoes it

  PartitionMount() = default;
  PartitionMount(const PartitionMount&) = delete;
  PartitionMount& operator=(const PartitionMount&) = delete;
  PartitionMount(PartitionMount&& other) noexcept;
  PartitionMount& operator=(PartitionMount&& other) noexcept;
  ~PartitionMount();

  // Undoes a temporary mount, with everything written through it on the
  // disk once it returns true. Nothing to do for the system's own mount.
  bool release(std::string& reason);

  std::function<bool(std::string&)> undo;  // set by reachPartition
};

// The partition of `diskPath` (as VolumeLocation names disks) that starts at
// `startBytes` and holds `lengthBytes`: the folder of a mount that the system
// already has, else a mount made for the moment, read-only unless `writable`.
bool reachPartition(const std::string& diskPath, std::uint64_t startBytes,
                    std::uint64_t lengthBytes, bool writable, PartitionMount& mount,
                    std::string& reason);

}  // namespace boot
