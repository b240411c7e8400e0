// Little-endian reads from a byte range. Every read checks its bounds first:
// a field that would reach past the end fails instead of touching stray
// memory, so a short or hostile file can never be read beyond what is there.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wim {

// A read-only view of bytes that someone else owns.
struct ByteSpan {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// True when `width` bytes starting at `offset` lie inside `bytes`; written so
// that offset + width cannot overflow.
inline bool holds(ByteSpan bytes, std::size_t offset, std::size_t width) {
  return offset <= bytes.size && width <= bytes.size - offset;
}

// Reads an unsigned little-endian number of `width` bytes (at most 8).
// Returns false, leaving `value` unchanged, when the field is not all there.
inline bool readLittleEndian(ByteSpan bytes, std::size_t offset, std::size_t width,
                             std::uint64_t& value) {
  if (width > 8 || !holds(bytes, offset, width)) return false;
  std::uint64_t result = 0;
  for (std::size_t i = 0; i < width; ++i)
    result |= static_cast<std::uint64_t>(bytes.data[offset + i]) << (8 * i);
  value = result;
  return true;
}

inline bool readU16(ByteSpan bytes, std::size_t offset, std::uint16_t& value) {
  std::uint64_t wide = 0;
  if (!readLittleEndian(bytes, offset, 2, wide)) return false;
  value = static_cast<std::uint16_t>(wide);
  return true;
}

inline bool readU32(ByteSpan bytes, std::size_t offset, std::uint32_t& value) {
  std::uint64_t wide = 0;
  if (!readLittleEndian(bytes, offset, 4, wide)) return false;
  value = static_cast<std::uint32_t>(wide);
  return true;
}

inline bool readU64(ByteSpan bytes, std::size_t offset, std::uint64_t& value) {
  return readLittleEndian(bytes, offset, 8, value);
}

}  // namespace wim
