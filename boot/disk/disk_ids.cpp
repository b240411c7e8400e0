#include "boot/disk/disk_ids.h"

#include <cstdio>

namespace boot {

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool operator==(const Guid& a, const Guid& b) { return a.bytes == b.bytes; }

bool parseGuid(const std::string& text, Guid& guid) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
  std::string hex;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) continue;
    if (hexDigitValue(t[i]) < 0) return false;
    hex.push_back(t[i]);
  }
  std::array<std::uint8_t, 16> text16{};  // bytes in the order written
  for (std::size_t i = 0; i < 16; ++i)
    text16[i] =
        static_cast<std::uint8_t>(hexDigitValue(hex[2 * i]) << 4 | hexDigitValue(hex[2 * i + 1]));
  // The first three groups are stored little-endian.
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (std::size_t i = 0; i < 16; ++i) guid.bytes[i] = text16[order[i]];
  return true;
}

std::string guidText(const Guid& guid) {
  const auto& b = guid.bytes;
  char text[40];
  std::snprintf(text, sizeof text,
                "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}", b[3],
                b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return text;
}

bool isNullGuid(const Guid& guid) {
  for (std::uint8_t b : guid.bytes)
    if (b != 0) return false;
  return true;
}

}  // namespace boot
