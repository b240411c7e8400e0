// Text helpers over GBK (code page 936) bytes. Everything inside the program is
// GBK: a byte of 0x80 or above starts a two-byte character, so no routine may
// split one or mistake its second byte for ASCII.
#pragma once

#include <cstddef>
#include <string>

namespace gbk {

inline bool isLeadByte(unsigned char byte) { return byte >= 0x80; }

// Length in bytes of the character that starts at text[pos]: 2 for a lead byte
// that has a second byte after it, otherwise 1.
std::size_t charLength(const std::string& text, std::size_t pos);

// The ideographic space of GBK.
inline constexpr char kIdeographicSpace[] = "\xA1\xA1";

// Removes leading and trailing ASCII spaces and ideographic spaces (A1 A1).
// Tabs and line ends stay.
std::string trimSpaces(const std::string& text);

// Lower-cases ASCII letters only; the bytes of double-byte characters stay
// as they are even when their second byte falls into A-Z.
std::string asciiLower(const std::string& text);

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b);

}  // namespace gbk
