#include "boot/disk/mount_table_linux.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace boot {

namespace {

// mountinfo escapes blanks and backslashes as \ooo.
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string octal = field.substr(i + 1, 3);
      if (octal.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::strtol(octal.c_str(), nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

std::vector<MountEntry> readMountTable() {
  std::vector<MountEntry> mounts;
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    // id parent major:minor root mount-point options [optional fields] - type source ...
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    if (!(fields >> id >> parent >> device >> root >> mountPoint)) continue;
    std::string field;
    while (fields >> field && field != "-") {
    }
    MountEntry entry;
    entry.mountPoint = unescapeMountField(mountPoint);
    fields >> entry.type >> field;
    entry.source = unescapeMountField(field);
    mounts.push_back(entry);
  }
  return mounts;
}

}  // namespace boot
