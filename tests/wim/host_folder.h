// Folders that a fixture script filled on the Linux side, as a test program
// sees them: natively as they are, under Wine through drive Z:.
#pragma once

#include <string>

namespace wimtest {

inline std::string hostFolder(std::string dir) {
#ifdef _WIN32
  for (char& c : dir)
    if (c == '/') c = '\\';
  dir = "Z:" + dir;
#endif
  return dir;
}

}  // namespace wimtest
