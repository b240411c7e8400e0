// Little-endian fields of on-disk structures: WIM headers and tables, boot
// sectors, partition tables, registry hives, PE files. Every read checks its
// bounds first and fails instead of reaching past the end, and so does every
// write: a short or hostile file is never read, nor a short buffer written,
// beyond what is there. Shared by the WIM engine and the boot library, so it
// includes nothing but the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le {

using Bytes = std::vector<std::uint8_t>;

// A read-only view of bytes that someone else owns.
struct ByteSpan {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

inline ByteSpan spanOf(const Bytes& bytes) { return ByteSpan{bytes.data(), bytes.size()}; }

// True when `width` bytes at `offset` lie inside `size` bytes; written so
// that offset + width cannot overflow.
inline bool holds(std::size_t size, std::size_t offset, std::size_t width) {
  return offset <= size && width <= size - offset;
}
inline bool holds(ByteSpan bytes, std::size_t offset, std::size_t width) {
  return holds(bytes.size, offset, width);
}

// An unsigned number of `width` bytes (at most 8), least significant first.
// False, with `value` unchanged, when the field is not all there.
inline bool read(ByteSpan bytes, std::size_t offset, std::size_t width, std::uint64_t& value) {
  if (width > 8 || !holds(bytes, offset, width)) return false;
  std::uint64_t result = 0;
  for (std::size_t i = 0; i < width; ++i)
    result |= static_cast<std::uint64_t>(bytes.data[offset + i]) << (8 * i);
  value = result;
  return true;
}

template <typename Unsigned>
bool readAs(ByteSpan bytes, std::size_t offset, Unsigned& value) {
  std::uint64_t wide = 0;
  if (!read(bytes, offset, sizeof(Unsigned), wide)) return false;
  value = static_cast<Unsigned>(wide);
  return true;
}
inline bool readU16(ByteSpan b, std::size_t offset, std::uint16_t& v) {
  return readAs(b, offset, v);
}
inline bool readU32(ByteSpan b, std::size_t offset, std::uint32_t& v) {
  return readAs(b, offset, v);
}
inline bool readU64(ByteSpan b, std::size_t offset, std::uint64_t& v) {
  return readAs(b, offset, v);
}

// Reads of a field that the caller has already checked to lie inside the
// buffer (a sector of known size): 0 when it does not, never a stray read.
inline std::uint64_t value(ByteSpan bytes, std::size_t offset, std::size_t width) {
  std::uint64_t result = 0;
  read(bytes, offset, width, result);
  return result;
}
inline std::uint64_t value(const Bytes& b, std::size_t offset, std::size_t width) {
  return value(spanOf(b), offset, width);
}
inline std::uint8_t u8(const Bytes& b, std::size_t offset) {
  return static_cast<std::uint8_t>(value(b, offset, 1));
}
inline std::uint16_t u16(const Bytes& b, std::size_t offset) {
  return static_cast<std::uint16_t>(value(b, offset, 2));
}
inline std::uint32_t u32(const Bytes& b, std::size_t offset) {
  return static_cast<std::uint32_t>(value(b, offset, 4));
}
inline std::uint64_t u64(const Bytes& b, std::size_t offset) { return value(b, offset, 8); }

// Writes `width` bytes of `value`, least significant first. False, with the
// buffer unchanged, when the field does not fit.
inline bool put(Bytes& bytes, std::size_t offset, std::size_t width, std::uint64_t value) {
  if (width > 8 || !holds(bytes.size(), offset, width)) return false;
  for (std::size_t i = 0; i < width; ++i)
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  return true;
}

}  // namespace le
