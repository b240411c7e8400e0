#include "support/icon_directory.h"

namespace {

constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kEntrySize = 16;

std::uint32_t read16(const unsigned char* p) { return p[0] | (std::uint32_t(p[1]) << 8); }

std::uint32_t read32(const unsigned char* p) { return read16(p) | (read16(p + 2) << 16); }

}  // namespace

bool chooseIconImage(const unsigned char* data, std::size_t size, IconImageSpan* span) {
  if (!data || size < kHeaderSize) return false;
  std::size_t count = read16(data + 4);
  // Only the entries that the bytes hold completely.
  std::size_t available = (size - kHeaderSize) / kEntrySize;
  if (count > available) count = available;
  if (count == 0) return false;

  const unsigned char* chosen = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* entry = data + kHeaderSize + kEntrySize * i;
    if (entry[0] == 16) {
      chosen = entry;
      break;
    }
  }
  if (!chosen) chosen = data + kHeaderSize + kEntrySize * (count - 1);

  std::uint32_t imageSize = read32(chosen + 8);
  std::uint32_t imageOffset = read32(chosen + 12);
  // Compared by subtraction, so that a huge offset or size cannot wrap.
  if (imageSize == 0 || imageOffset >= size || imageSize > size - imageOffset) return false;
  span->offset = imageOffset;
  span->size = imageSize;
  return true;
}
