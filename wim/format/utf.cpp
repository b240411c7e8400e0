#include "wim/format/utf.h"

namespace wim {

namespace {

bool isHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

void appendUtf8(std::uint32_t codePoint, std::string& out) {
  if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) {
    out += kReplacementUtf8;
  } else if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

std::string utf16leToUtf8(le::ByteSpan bytes) {
  std::string out;
  out.reserve(bytes.size);  // most WIM XML is ASCII: one byte out per unit in
  std::size_t offset = 0;
  while (le::holds(bytes, offset, 2)) {
    std::uint16_t unit = 0;
    le::readU16(bytes, offset, unit);
    offset += 2;
    if (isHighSurrogate(unit)) {
      std::uint16_t next = 0;
      if (le::readU16(bytes, offset, next) && isLowSurrogate(next)) {
        offset += 2;
        appendUtf8(0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                       (static_cast<std::uint32_t>(next) - 0xDC00),
                   out);
      } else {
        out += kReplacementUtf8;  // the pair is broken; the next unit stands on its own
      }
    } else {
      appendUtf8(unit, out);  // a lone low surrogate comes out as U+FFFD
    }
  }
  if (offset < bytes.size) out += kReplacementUtf8;
  return out;
}

Outcome decodeXmlData(le::ByteSpan bytes, std::string& utf8) {
  if (bytes.size % 2 != 0)
    return failure(Problem::Damaged, "the XML data has an odd length (" +
                                         std::to_string(bytes.size) +
                                         " bytes), which UTF-16 text cannot have");
  if (bytes.size < 2 || bytes.data[0] != 0xFF || bytes.data[1] != 0xFE)
    return failure(Problem::Damaged,
                   "the XML data does not start with the UTF-16LE byte-order mark");
  utf8 = utf16leToUtf8(le::ByteSpan{bytes.data + 2, bytes.size - 2});
  return success();
}

std::size_t decodeUtf8(const std::string& text, std::size_t position, std::uint32_t& codePoint) {
  if (position >= text.size()) return 0;
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byteAt(position);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  // By the lead byte: the sequence length, the payload bits it carries, and
  // the lowest code point of that length (anything lower is overlong).
  struct Form {
    unsigned char first, last;
    std::size_t length;
    std::uint32_t payloadMask, smallest;
  };
  static const Form forms[] = {
      {0xC2, 0xDF, 2, 0x1F, 0x80}, {0xE0, 0xEF, 3, 0x0F, 0x800}, {0xF0, 0xF4, 4, 0x07, 0x10000}};
  const Form* form = nullptr;
  for (const Form& candidate : forms)
    if (lead >= candidate.first && lead <= candidate.last) form = &candidate;
  if (!form) return 0;  // a continuation byte, or a lead that only overlong forms use
  const std::size_t length = form->length;
  const std::uint32_t smallest = form->smallest;
  std::uint32_t value = lead & form->payloadMask;
  if (length > text.size() - position) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byteAt(position + i);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  codePoint = value;
  return length;
}

bool isValidUtf8(const std::string& text) {
  std::size_t position = 0;
  while (position < text.size()) {
    std::uint32_t codePoint = 0;
    const std::size_t length = decodeUtf8(text, position, codePoint);
    if (length == 0) return false;
    position += length;
  }
  return true;
}

}  // namespace wim
