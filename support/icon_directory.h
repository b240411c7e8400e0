// The directory of an ICO or CUR file, read from its bytes: which image the
// support module turns into an icon. Plain bytes in, no Windows API.
//
// Layout (all little-endian):
//   ICONDIR        +0 reserved (16)  +2 type (16, 1 icon, 2 cursor)  +4 image count (16)
//   ICONDIRENTRY   16 bytes each from +6:
//                  +0 width (8)  +1 height (8)  +2 colour count (8)  +3 reserved (8)
//                  +4 planes / hotspot x (16)  +6 bit count / hotspot y (16)
//                  +8 bytes in resource (32)   +12 image offset from the file start (32)
#pragma once

#include <cstddef>
#include <cstdint>

struct IconImageSpan {
  std::size_t offset = 0;
  std::uint32_t size = 0;
};

// Picks the first entry whose width byte is 16, else the last entry read.
// Entries that do not lie wholly inside the bytes are not read. False when
// no entry is left, or when the chosen image is empty or does not lie wholly
// inside the bytes; the span is then untouched.
bool chooseIconImage(const unsigned char* data, std::size_t size, IconImageSpan* span);
