// Little-endian fields of on-disk structures: sectors, partition tables,
// registry hives. Reads check their bounds and fail instead of reaching past
// the end; writes do the same, so a short buffer is never written beyond.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace boot {

using Bytes = std::vector<std::uint8_t>;

// True when `width` bytes at `offset` lie inside a buffer of `size` bytes;
// written so that offset + width cannot overflow.
inline bool holds(std::size_t size, std::size_t offset, std::size_t width) {
  return offset <= size && width <= size - offset;
}

// An unsigned little-endian number of `width` bytes (at most 8). False, with
// `value` unchanged, when the field is not all there.
inline bool readLe(const std::uint8_t* data, std::size_t size, std::size_t offset,
                   std::size_t width, std::uint64_t& value) {
  if (width > 8 || !holds(size, offset, width)) return false;
  std::uint64_t result = 0;
  for (std::size_t i = 0; i < width; ++i)
    result |= static_cast<std::uint64_t>(data[offset + i]) << (8 * i);
  value = result;
  return true;
}

// Reads of a field that the caller has already checked to lie inside the
// buffer (a sector of known size): 0 when it does not, never a stray read.
inline std::uint64_t le(const Bytes& bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  readLe(bytes.data(), bytes.size(), offset, width, value);
  return value;
}
inline std::uint8_t le8(const Bytes& b, std::size_t offset) {
  return static_cast<std::uint8_t>(le(b, offset, 1));
}
inline std::uint16_t le16(const Bytes& b, std::size_t offset) {
  return static_cast<std::uint16_t>(le(b, offset, 2));
}
inline std::uint32_t le32(const Bytes& b, std::size_t offset) {
  return static_cast<std::uint32_t>(le(b, offset, 4));
}
inline std::uint64_t le64(const Bytes& b, std::size_t offset) { return le(b, offset, 8); }

// Writes `width` bytes of `value`, least significant first. False, with the
// buffer unchanged, when the field does not fit.
inline bool putLe(Bytes& bytes, std::size_t offset, std::size_t width, std::uint64_t value) {
  if (width > 8 || !holds(bytes.size(), offset, width)) return false;
  for (std::size_t i = 0; i < width; ++i)
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  return true;
}

}  // namespace boot
