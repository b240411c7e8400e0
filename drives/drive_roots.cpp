#include "drives/drive_roots.h"

std::vector<std::string> splitDriveStrings(const char* buffer, std::size_t length) {
  std::vector<std::string> roots;
  std::size_t start = 0;
  for (std::size_t pos = 0; pos <= length; ++pos) {
    if (pos == length || buffer[pos] == '\0') {
      if (pos > start) roots.emplace_back(buffer + start, pos - start);
      start = pos + 1;
    }
  }
  return roots;
}
