#include "wim/apply/reparse_data.h"

namespace wim {

bool readLinkTarget(std::uint32_t tag, le::ByteSpan data, LinkTarget& target) {
  std::size_t bufferStart = 0;
  if (tag == kReparseTagSymlink)
    bufferStart = 12;
  else if (tag == kReparseTagMountPoint)
    bufferStart = 8;
  else
    return false;
  std::uint16_t offset = 0, length = 0;
  std::uint32_t flags = 0;
  if (!le::readU16(data, 0, offset) || !le::readU16(data, 2, length)) return false;
  if (tag == kReparseTagSymlink && !le::readU32(data, 8, flags)) return false;
  if (length % 2 != 0 || !le::holds(data, bufferStart, 0) ||
      !le::holds(data, bufferStart + offset, length))
    return false;
  LinkTarget read;
  const std::uint8_t* name = data.data + bufferStart + offset;
  for (std::size_t i = 0; i < length; i += 2)
    read.substituteName.push_back(static_cast<char16_t>(name[i] | (name[i + 1] << 8)));
  read.relative = tag == kReparseTagSymlink && (flags & kSymlinkFlagRelative) != 0;
  target = std::move(read);
  return true;
}

std::u16string posixLinkText(const LinkTarget& target) {
  std::u16string text = target.substituteName;
  if (!target.relative) {
    if (text.compare(0, 4, u"\\??\\") == 0) text.erase(0, 4);
    if (text.size() >= 2 && text[1] == u':') text.erase(0, 2);
  }
  for (char16_t& c : text)
    if (c == u'\\') c = u'/';
  return text;
}

}  // namespace wim
