// How disks and partitions are named on disk and in the boot store: GUIDs
// in Windows byte order, and the two partition table styles.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace boot {

// A GUID in Windows byte order (as GPT and the device element store it):
// the first three groups little-endian, the last eight bytes as written.
struct Guid {
  std::array<std::uint8_t, 16> bytes{};
};
bool operator==(const Guid& a, const Guid& b);
inline bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }
bool isNullGuid(const Guid& guid);
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", braces optional, any case.
bool parseGuid(const std::string& text, Guid& guid);
// Lower case in braces, as store keys and object lists spell it.
std::string guidText(const Guid& guid);

// The value of one hexadecimal digit, or -1.
int hexDigitValue(char c);

enum class PartitionStyle { Mbr, Gpt };

}  // namespace boot
