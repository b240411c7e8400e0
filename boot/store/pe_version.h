// What bcdboot reads from a Windows image's programs: the machine a PE file
// is built for and the file version in its version resource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace boot {

constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMachineArm64 = 0xAA64;

struct FileVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;
};

struct PeInfo {
  std::uint16_t machine = 0;
  bool hasVersion = false;  // false: no readable version resource
  FileVersion version;
  std::string versionProblem;  // why hasVersion is false
};

// False with a reason when the bytes are no PE file; a PE file without a
// usable version resource is still read (hasVersion false). Every offset is
// checked against the bytes.
bool readPeInfo(const std::uint8_t* data, std::size_t size, PeInfo& info, std::string& reason);

// The name of the Windows of a kernel's version: "Windows 7" for 6.1,
// "Windows 11" for 10.0 from build 22000, "Windows" when unknown.
std::string windowsDescription(unsigned major, unsigned minor, unsigned build);

}  // namespace boot
