#include "boot/disk/partition_mount.h"

#include <utility>

namespace boot {

PartitionMount::PartitionMount(PartitionMount&& other) noexcept { *this = std::move(other); }

PartitionMount& PartitionMount::operator=(PartitionMount&& other) noexcept {
  if (this != &other) {
    std::string ignored;
    release(ignored);
    folder = std::move(other.folder);
    temporary = std::exchange(other.temporary, false);
    undo = std::exchange(other.undo, nullptr);
  }
  return *this;
}

PartitionMount::~PartitionMount() {
  std::string ignored;
  release(ignored);
}

bool PartitionMount::release(std::string& reason) {
  if (!undo) return true;
  const auto undoing = std::exchange(undo, nullptr);
  temporary = false;
  return undoing(reason);
}

}  // namespace boot
