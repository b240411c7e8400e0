// The text conversions of the reader: the XML data is UTF-16LE on disk, and
// everything the tool prints is UTF-8.
#pragma once

#include <cstdint>
#include <string>

#include "bytes/little_endian.h"
#include "wim/format/outcome.h"

namespace wim {

// U+FFFD, the replacement character, in UTF-8.
inline constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

// Appends one code point as UTF-8. Surrogates and values beyond U+10FFFF,
// which UTF-8 cannot carry, are appended as U+FFFD.
void appendUtf8(std::uint32_t codePoint, std::string& out);

// Converts UTF-16LE code units to UTF-8. An unpaired surrogate becomes
// U+FFFD, and so does a lone last byte when the length is odd.
std::string utf16leToUtf8(le::ByteSpan bytes);

// Converts the XML data resource: a UTF-16LE byte-order mark (FF FE), then
// UTF-16LE text of whole code units. Anything else is reported as damage.
Outcome decodeXmlData(le::ByteSpan bytes, std::string& utf8);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing beyond U+10FFFF).
bool isValidUtf8(const std::string& text);

// Steps over one UTF-8 character at `position`. Returns its length (1 to 4)
// and its code point, or 0 when the bytes there are no well-formed character.
std::size_t decodeUtf8(const std::string& text, std::size_t position, std::uint32_t& codePoint);

}  // namespace wim
