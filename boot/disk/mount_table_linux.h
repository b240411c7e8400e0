// The mounts of this process's namespace, as /proc/self/mountinfo lists them.
#pragma once

#include <string>
#include <vector>

namespace boot {

struct MountEntry {
  std::string mountPoint;  // field 5, unescaped
  std::string type;        // the first field after "-"
  std::string source;      // the field after the type, unescaped
};

// In the file's order: a later entry mounts over an earlier one.
std::vector<MountEntry> readMountTable();

}  // namespace boot
