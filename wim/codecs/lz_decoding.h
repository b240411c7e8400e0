// What the XPRESS and LZX decoders share: little-endian loads and stores,
// canonical Huffman decoding tables with subtables for long codes, the
// reader of 16-bit words taken most significant bit first, and the copying
// of matches. Everything inlines into the decoding loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wim {
namespace lz {

// The decoding loop's helpers must be inlined into it to keep the bit buffer
// in registers.
#if defined(__GNUC__)
#define WIM_HOT inline __attribute__((always_inline))
#else
#define WIM_HOT inline
#endif

// Code lengths of the two formats go up to 16 bits; LZX's largest alphabet
// (the main code of a 2 MiB window) has 656 symbols.
constexpr unsigned kMaxCodeLength = 16;
constexpr unsigned kMaxSymbols = 656;

// A table entry: the symbol in bits 16-31 and its code length in bits 0-4;
// or, with kSubtable set, where the subtable starts (bits 16-31) and how many
// further bits index it (bits 8-12). An empty code's entries hold kNoSymbol:
// nothing can be decoded with it.
constexpr std::uint32_t kSubtable = 0x80;
constexpr unsigned kNoSymbol = 0xFFFF;

constexpr std::uint32_t leaf(unsigned symbol, unsigned length) { return symbol << 16 | length; }

inline std::uint64_t loadLe64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

inline std::uint32_t loadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | std::uint32_t{p[3]} << 24;
}

inline void storeLe32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void storeLe64(std::uint8_t* p, std::uint64_t value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  std::memcpy(p, &value, sizeof value);
}

inline void storeWord(std::uint8_t* p, std::uint64_t value) {
  std::memcpy(p, &value, sizeof value);
}

inline std::uint64_t loadWord(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Fills `count` entries, a power of two: a table is rebuilt for every
// block, so for a small chunk the filling costs as much as the decoding.
inline void fill(std::uint32_t* to, std::size_t count, std::uint32_t entry) {
  if (count < 4) {
    for (std::size_t i = 0; i < count; ++i) to[i] = entry;
    return;
  }
  const std::uint64_t pair = entry * 0x0000000100000001ull;
  for (std::size_t i = 0; i < count; i += 4) {
    std::memcpy(to + i, &pair, sizeof pair);
    std::memcpy(to + i + 2, &pair, sizeof pair);
  }
}

// Builds the decoding table of the canonical code with these lengths: codes
// are handed out in order of length, then of symbol. Over-full and
// incomplete codes are refused; an empty code is allowed where a block need
// not use it (the length and aligned offset codes, the pretree), and gives
// entries that decode nothing.
inline bool buildTable(const std::uint8_t* lengths, unsigned symbols, unsigned maxCode,
                       unsigned tableBits, bool mayBeEmpty, std::uint32_t* table,
                       std::size_t room) {
  unsigned count[kMaxCodeLength + 1] = {};
  for (unsigned symbol = 0; symbol < symbols; ++symbol) ++count[lengths[symbol]];
  std::int32_t left = 1;
  for (unsigned length = 1; length <= maxCode; ++length) {
    left = 2 * left - static_cast<std::int32_t>(count[length]);
    if (left < 0) return false;
  }
  if (left != 0) {
    if (!mayBeEmpty || count[0] != symbols) return false;
    fill(table, std::size_t{1} << tableBits, leaf(kNoSymbol, 0));
    return true;
  }

  unsigned first[kMaxCodeLength + 2] = {};
  for (unsigned length = 1; length <= maxCode; ++length)
    first[length + 1] = first[length] + count[length];
  std::uint16_t sorted[kMaxSymbols];
  for (unsigned symbol = 0; symbol < symbols; ++symbol)
    if (lengths[symbol] != 0) sorted[first[lengths[symbol]]++] = static_cast<std::uint16_t>(symbol);

  // Short codes: in canonical order each takes the next run of entries.
  std::size_t at = 0;
  unsigned next = 0;
  for (unsigned length = 1; length <= tableBits && length <= maxCode; ++length) {
    const std::size_t run = std::size_t{1} << (tableBits - length);
    for (unsigned i = 0; i < count[length]; ++i, ++next) {
      fill(table + at, run, leaf(sorted[next], length));
      at += run;
    }
  }
  if (at == std::size_t{1} << tableBits) return true;

  // Long codes share a prefix of tableBits bits with their neighbours. Each
  // prefix gets a subtable just wide enough for its longest code; as the code
  // is complete, the codes that follow fill the prefix exactly.
  std::size_t code = at << (maxCode - tableBits);  // in units of the longest code
  std::size_t end = std::size_t{1} << tableBits;
  std::size_t prefix = ~std::size_t{0};
  std::size_t start = 0;
  unsigned subBits = 0;
  for (unsigned length = tableBits + 1; length <= maxCode; ++length) {
    for (; count[length] != 0; --count[length], ++next) {
      if (code >> (maxCode - tableBits) != prefix) {
        prefix = code >> (maxCode - tableBits);
        subBits = length - tableBits;
        unsigned filled = count[length];
        while (filled < (1u << subBits) && tableBits + subBits < maxCode) {
          ++subBits;
          filled = 2 * filled + count[tableBits + subBits];
        }
        start = end;
        end += std::size_t{1} << subBits;
        if (end > room) return false;
        table[prefix] = static_cast<std::uint32_t>(start) << 16 | subBits << 8 | kSubtable;
      }
      const unsigned shift = maxCode - tableBits - subBits;
      const std::size_t index = (code >> shift) & ((std::size_t{1} << subBits) - 1);
      fill(table + start + index, std::size_t{1} << (tableBits + subBits - length),
           leaf(sorted[next], length));
      code += std::size_t{1} << (maxCode - length);
    }
  }
  return true;
}

// The bits of a chunk: 16-bit little-endian words, most significant bit
// first, held in a 64-bit buffer whose next bit is bit 63. Beyond the end of
// the input it reads words of zero bits, so the hot loop needs no bounds
// check; whether a bit that was used came from there is asked afterwards.
struct BitReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;     // the next word to load; passes `size` by the zero words
  std::uint64_t bits;  // unused bits at the top, zeros below
  unsigned count;      // how many bits of `bits` are valid: whole words' worth

  // Tops the buffer up to at least 32 bits, two words at a time.
  WIM_HOT void refill() {
    if (count >= 32) return;
    std::uint32_t pair = 0;
    if (pos + 4 <= size) {
      pair = loadLe32(data + pos);
      pair = pair << 16 | pair >> 16;  // the first word's bits come first
    } else if (pos + 2 <= size) {
      pair = static_cast<std::uint32_t>(data[pos] | data[pos + 1] << 8) << 16;
    }  // beyond the last whole word: zero words
    bits |= static_cast<std::uint64_t>(pair) << (32 - count);
    count += 32;
    pos += 4;
  }

  // The next n bits (0 to 32) as a number.
  WIM_HOT std::uint32_t pop(unsigned n) {
    const std::uint32_t value = static_cast<std::uint32_t>((bits >> (63 - n)) >> 1);
    bits <<= n;
    count -= n;
    return value;
  }

  // Where the format's own decoder stands: it loads a word whenever fewer
  // than 16 bits are left, so it holds 16 to 31 bits, and the bytes of long
  // match lengths (and the next block) follow the words it has loaded.
  std::size_t formatPosition() const {
    const unsigned held = 16 + (count & 15);
    return pos - 2 * ((count - held) >> 4);
  }

  // Bits used since the start of the input.
  std::uint64_t used() const { return 8 * static_cast<std::uint64_t>(pos) - count; }

  // True when every bit used so far came from the input.
  bool usedOnlyInput() const { return pos - 2 * (count >> 4) <= size; }
};

template <unsigned kTableBits>
WIM_HOT unsigned decodeSymbol(const std::uint32_t* table, BitReader& reader) {
  std::uint32_t entry = table[reader.bits >> (64 - kTableBits)];
  if (entry & kSubtable) {
    const unsigned subBits = entry >> 8 & 31;
    entry = table[(entry >> 16) + ((reader.bits << kTableBits) >> (64 - subBits))];
  }
  reader.bits <<= entry & 31;
  reader.count -= entry & 31;
  return entry >> 16;
}

// Copies `length` bytes from `offset` back, 8 bytes at a time where it can.
// kRoomy: at least 16 bytes of output follow the match, so the copy may run
// past it by up to 15 bytes, into bytes that are written afterwards anyway.
template <bool kRoomy>
WIM_HOT void copyMatch(std::uint8_t* to, std::size_t offset, std::size_t length,
                       const std::uint8_t* end) {
  const std::uint8_t* from = to - offset;
  std::uint8_t* const stop = to + length;
  if (!kRoomy && end - stop >= 16) return copyMatch<true>(to, offset, length, end);
  if (offset < 8) {
    // A short distance repeats a pattern of `offset` bytes. Lay down its
    // first 8 bytes, then copy from a whole number of periods back, no less
    // than 8 bytes.
    static constexpr std::uint8_t kPeriods[8] = {0, 8, 8, 9, 8, 10, 12, 14};
    if (kRoomy) {
      std::uint64_t pattern = loadLe64(from) & (~std::uint64_t{0} >> (64 - 8 * offset));
      pattern |= pattern << (8 * offset);
      if (offset < 4) pattern |= pattern << (16 * offset);
      if (offset == 1) pattern |= pattern << 32;
      storeLe64(to, pattern);
      if (offset == 1) {
        storeLe64(to + 8, pattern);
        for (to += 16; to < stop; to += 8) storeLe64(to, pattern);
        return;
      }
      to += 8;
      if (to >= stop) return;
    } else {
      std::uint8_t* const head = length < 8 ? stop : to + 8;
      while (to < head) *to++ = *from++;
      if (to == stop) return;
    }
    from = to - kPeriods[offset];
  }
  if (kRoomy) {
    // Most matches are short: two words without a test first.
    storeWord(to, loadWord(from));
    storeWord(to + 8, loadWord(from + 8));
    for (to += 16, from += 16; to < stop; to += 8, from += 8) storeWord(to, loadWord(from));
    return;
  }
  for (; stop - to >= 8; from += 8, to += 8) storeWord(to, loadWord(from));
  while (to < stop) *to++ = *from++;
}

// What a verbatim or aligned offset block decodes with.
}  // namespace lz
}  // namespace wim
