#include "wim/apply/ntfs_xattr_values.h"

#include "wim/format/image_tree.h"
#include "wim/apply/reparse_data.h"

namespace wim {

namespace {

void appendBigEndian(std::uint64_t value, std::size_t width, std::vector<std::uint8_t>& out) {
  for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> ntfsAttributesValue(std::uint32_t attributes) {
  std::vector<std::uint8_t> value;
  appendBigEndian(attributes & kSettableNtfsAttributes, 4, value);
  return value;
}

std::vector<std::uint8_t> ntfsTimesValue(std::uint64_t creation, std::uint64_t lastWrite,
                                         std::uint64_t lastAccess) {
  std::vector<std::uint8_t> value;
  appendBigEndian(creation, 8, value);
  appendBigEndian(lastWrite, 8, value);
  appendBigEndian(lastAccess, 8, value);
  return value;
}

std::vector<std::uint8_t> reparseBuffer(std::uint32_t tag, le::ByteSpan data) {
  if (data.size > kMaxReparseDataSize) return {};
  std::vector<std::uint8_t> buffer;
  buffer.reserve(kReparseHeaderSize + data.size);
  for (int i = 0; i < 4; ++i) buffer.push_back(static_cast<std::uint8_t>(tag >> (8 * i)));
  buffer.push_back(static_cast<std::uint8_t>(data.size));
  buffer.push_back(static_cast<std::uint8_t>(data.size >> 8));
  buffer.push_back(0);
  buffer.push_back(0);
  if (data.size != 0) buffer.insert(buffer.end(), data.data, data.data + data.size);
  return buffer;
}

bool ntfsNameText(const std::u16string& name, std::string& text, std::string& reason) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit == 0) {
      reason = "the name holds a NUL character";
      return false;
    }
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      ++i;
    } else if (high || low) {
      reason = "the name holds an unpaired surrogate, which UTF-8 cannot carry";
      return false;
    }
  }
  text = utf8Of(name);
  return true;
}

bool streamAttributeName(const std::u16string& name, std::string& attribute, std::string& reason) {
  if (name.empty()) {
    reason = "a stream without a name is no named stream";
    return false;
  }
  std::string text;
  if (!ntfsNameText(name, text, reason)) return false;
  text.insert(0, "user.");
  if (text.size() > kMaxAttributeNameBytes) {
    reason = "the name is longer than an extended attribute's name may be";
    return false;
  }
  attribute = std::move(text);
  return true;
}

}  // namespace wim
