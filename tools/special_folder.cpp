#include "tools/special_folder.h"

#include <windows.h>

#include <shlobj.h>

std::string specialFolderPath(int csidl) {
  char buffer[256] = {};
  if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
    return std::string();
  return std::string(buffer) + "\\";
}
