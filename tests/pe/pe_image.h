// A small reader of PE files for checking the built programs: headers,
// imported DLLs and the resource tree. Every read is bounds-checked.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pe {

struct Resource {
  std::uint32_t type = 0;  // numeric type id; named types are skipped
  std::string name;        // numeric id as text, or the name in ASCII
  std::vector<std::uint8_t> data;
};

struct Image {
  bool valid = false;
  std::string error;
  std::uint16_t machine = 0;
  std::uint16_t characteristics = 0;  // 0x0002 executable image, 0x2000 DLL
  std::uint16_t optionalMagic = 0;    // 0x10B for PE32, 0x20B for PE32+
  std::uint16_t subsystem = 0;        // 2 GUI, 3 console
  std::vector<std::string> importedDlls;
  std::vector<Resource> resources;
};

Image read(const std::vector<std::uint8_t>& file);
Image readFile(const std::string& path);

// UTF-16LE text of an ASCII string, for searching version resources.
std::vector<std::uint8_t> utf16(const std::string& ascii);
bool contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle);

}  // namespace pe
