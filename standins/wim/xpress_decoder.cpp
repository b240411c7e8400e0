// XPRESS as Microsoft describes it for "LZ77+Huffman". A chunk is a series
// of blocks; each block gives 65536 bytes of output (the last one fewer):
//   +0x000  256 bytes  code lengths of the 512 symbols, two to a byte, the even
//                      symbol in the low nibble; 0 = no code. The code is
//                      canonical and must be complete.
//   +0x100  ...        the symbols, packed into 16-bit little-endian words that
//                      are read from the most significant bit down
// Symbol 0-255 is that literal byte. Symbol 256 + (h << 4 | l) is a match:
// its distance is (1 << h) plus the next h bits; its length is l + 3, and for
// l = 15 the length continues in whole bytes placed between the words: one
// byte b gives 18 + b, or, when b is 255, the 16-bit word after it gives
// word + 3. A match may run past the end of its block; the next block (with
// its own table) starts at the next output byte.
#include "standins/wim/xpress_decoder.h"

#include <cstring>

namespace wim {

namespace {

// The decoding loop's helpers must be inlined into it to keep the bit buffer
// in registers.
#if defined(__GNUC__)
#define WIM_HOT inline __attribute__((always_inline))
#else
#define WIM_HOT inline
#endif

constexpr std::size_t kLengthBytes = 256;
constexpr unsigned kSymbolCount = 512;
constexpr unsigned kMaxCodeLength = 15;
constexpr std::size_t kBlockSize = 65536;

// Width of the table's first level, indexed directly by the next bits. Codes up to this long are
// found with one look-up; longer ones take a second in a subtable.
constexpr unsigned kTableBits = 10;
// A subtable serves one prefix of kTableBits bits and holds at least two
// codes, so there are at most kSymbolCount / 2 of them.
constexpr std::size_t kTableSize =
    (std::size_t{1} << kTableBits) + (kSymbolCount / 2 << (kMaxCodeLength - kTableBits));

// A table entry: the symbol in bits 16-31 and its code length in bits 0-4;
// or, with kSubtable set, where the subtable starts (bits 16-31) and how many
// further bits index it (bits 8-12).
constexpr std::uint32_t kSubtable = 0x80;

constexpr std::uint32_t leaf(unsigned symbol, unsigned length) { return symbol << 16 | length; }

std::uint64_t loadLe64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

std::uint32_t loadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | std::uint32_t{p[3]} << 24;
}

void storeLe64(std::uint8_t* p, std::uint64_t value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  std::memcpy(p, &value, sizeof value);
}

void storeWord(std::uint8_t* p, std::uint64_t value) { std::memcpy(p, &value, sizeof value); }

std::uint64_t loadWord(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Fills `count` entries, a power of two: a table is rebuilt for every
// block, so for a small chunk the filling costs as much as the decoding.
void fill(std::uint32_t* to, std::size_t count, std::uint32_t entry) {
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
// incomplete codes are refused, as the format requires every bit pattern to
// decode.
bool buildTable(const std::uint8_t* lengths, std::uint32_t* table) {
  unsigned count[kMaxCodeLength + 1] = {};
  for (unsigned symbol = 0; symbol < kSymbolCount; ++symbol) ++count[lengths[symbol]];
  std::int32_t left = 1;
  for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
    left = 2 * left - static_cast<std::int32_t>(count[length]);
    if (left < 0) return false;
  }
  if (left != 0) return false;

  unsigned first[kMaxCodeLength + 2] = {};
  for (unsigned length = 1; length <= kMaxCodeLength; ++length)
    first[length + 1] = first[length] + count[length];
  std::uint16_t sorted[kSymbolCount];
  for (unsigned symbol = 0; symbol < kSymbolCount; ++symbol)
    if (lengths[symbol] != 0) sorted[first[lengths[symbol]]++] = static_cast<std::uint16_t>(symbol);

  // Short codes: in canonical order each takes the next run of entries.
  std::size_t at = 0;
  unsigned next = 0;
  for (unsigned length = 1; length <= kTableBits; ++length) {
    const std::size_t run = std::size_t{1} << (kTableBits - length);
    for (unsigned i = 0; i < count[length]; ++i, ++next) {
      fill(table + at, run, leaf(sorted[next], length));
      at += run;
    }
  }
  if (at == std::size_t{1} << kTableBits) return true;

  // Long codes share a prefix of kTableBits bits with their neighbours. Each
  // prefix gets a subtable just wide enough for its longest code; as the code
  // is complete, the codes that follow fill the prefix exactly.
  std::size_t code = at << (kMaxCodeLength - kTableBits);  // in units of the longest code
  std::size_t end = std::size_t{1} << kTableBits;
  std::size_t prefix = ~std::size_t{0};
  std::size_t start = 0;
  unsigned subBits = 0;
  for (unsigned length = kTableBits + 1; length <= kMaxCodeLength; ++length) {
    for (; count[length] != 0; --count[length], ++next) {
      if (code >> (kMaxCodeLength - kTableBits) != prefix) {
        prefix = code >> (kMaxCodeLength - kTableBits);
        subBits = length - kTableBits;
        unsigned filled = count[length];
        while (filled < (1u << subBits) && kTableBits + subBits < kMaxCodeLength) {
          ++subBits;
          filled = 2 * filled + count[kTableBits + subBits];
        }
        start = end;
        end += std::size_t{1} << subBits;
        if (end > kTableSize) return false;
        table[prefix] = static_cast<std::uint32_t>(start) << 16 | subBits << 8 | kSubtable;
      }
      const unsigned shift = kMaxCodeLength - kTableBits - subBits;
      const std::size_t index = (code >> shift) & ((std::size_t{1} << subBits) - 1);
      fill(table + start + index, std::size_t{1} << (kTableBits + subBits - length),
           leaf(sorted[next], length));
      code += std::size_t{1} << (kMaxCodeLength - length);
    }
  }
  return true;
}

// The bits of one block: 16-bit little-endian words, most significant bit
// first, held in a 64-bit buffer whose next bit is bit 63. Beyond the end of
// the input it reads words of zero bits, so the hot loop needs no bounds
// check; whether the chunk's bits all came from the input is asked at the end.
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
};

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

// One match, after its symbol: reads the rest of it and copies it. False
// when it reaches outside the output. kCalm: far enough from the end of the
// output that a match without extra length bytes (17 bytes at most) fits,
// with room for word copies after it.
template <bool kCalm>
WIM_HOT bool decodeMatch(unsigned symbol, BitReader& reader, std::uint8_t* begin,
                         std::uint8_t*& out, std::uint8_t* end) {
  reader.refill();
  std::size_t length = symbol & 15;
  const unsigned offsetBits = symbol >> 4 & 15;
  bool roomy = kCalm;
  if (length == 15) {
    // The length bytes stand where the format's decoder stands: give back
    // the words this one loaded ahead, keeping the bits that one holds.
    std::size_t at = reader.formatPosition();
    if (at >= reader.size) return false;
    length = 15 + reader.data[at++];
    if (length == 15 + 255) {
      if (reader.size - at < 2) return false;
      length = static_cast<std::size_t>(reader.data[at] | reader.data[at + 1] << 8);
      at += 2;
      if (length < 15) return false;
    }
    const unsigned held = 16 + (reader.count & 15);
    reader.bits &= ~std::uint64_t{0} << (64 - held);
    reader.count = held;
    reader.pos = at;
    roomy = false;
  }
  length += 3;
  const std::size_t offset = std::size_t{1} << offsetBits | reader.pop(offsetBits);
  if (offset > static_cast<std::size_t>(out - begin)) return false;
  if (roomy) {
    copyMatch<true>(out, offset, length, end);
  } else {
    if (length > static_cast<std::size_t>(end - out)) return false;
    copyMatch<false>(out, offset, length, end);
  }
  out += length;
  return true;
}

// Two symbols, or one when only one more byte belongs to the block.
template <bool kCalm>
WIM_HOT bool decodeStep(const std::uint32_t* table, BitReader& reader, std::uint8_t* begin,
                        std::uint8_t*& out, std::uint8_t* blockEnd, std::uint8_t* end) {
  // One refill serves two symbols of 15 bits at most.
  reader.refill();
  unsigned symbol = decodeSymbol(table, reader);
  if (symbol < 256) {
    *out++ = static_cast<std::uint8_t>(symbol);
    if (!kCalm && out == blockEnd) return true;
    symbol = decodeSymbol(table, reader);
    if (symbol < 256) {
      *out++ = static_cast<std::uint8_t>(symbol);
      return true;
    }
  }
  return decodeMatch<kCalm>(symbol, reader, begin, out, end);
}

// Decodes symbols until the output reaches `blockEnd` (a match may carry it
// past); false on a match that reaches outside the output.
bool decodeBlock(const std::uint32_t* table, BitReader& state, std::uint8_t* begin,
                 std::uint8_t*& cursor, std::uint8_t* blockEnd, std::uint8_t* end) {
  BitReader reader = state;
  std::uint8_t* out = cursor;
  // A calm step's match starts at most one byte on and ends 17 bytes later.
  while (blockEnd - out >= 1 + 17 + 16)
    if (!decodeStep<true>(table, reader, begin, out, blockEnd, end)) return false;
  while (out < blockEnd)
    if (!decodeStep<false>(table, reader, begin, out, blockEnd, end)) return false;
  state = reader;
  cursor = out;
  return true;
}

}  // namespace

XpressDecoder::XpressDecoder(std::uint32_t chunkSize) : chunkSize_(chunkSize), table_(kTableSize) {}

bool XpressDecoder::decompress(ByteSpan in, std::uint8_t* out, std::size_t outSize) {
  // A chunk always holds data: an empty one is no chunk a WIM file can have.
  if (in.data == nullptr || out == nullptr || outSize == 0 || outSize > chunkSize_) return false;
  std::uint8_t* const begin = out;
  std::uint8_t* const end = out + outSize;
  std::size_t tableAt = 0;
  for (;;) {
    if (tableAt > in.size || in.size - tableAt < kLengthBytes) return false;
    std::uint8_t lengths[kSymbolCount];
    for (std::size_t i = 0; i < kLengthBytes; ++i) {
      lengths[2 * i] = in.data[tableAt + i] & 15;
      lengths[2 * i + 1] = in.data[tableAt + i] >> 4;
    }
    if (!buildTable(lengths, table_.data())) return false;

    BitReader reader{in.data, in.size, tableAt + kLengthBytes, 0, 0};
    std::uint8_t* const blockEnd =
        static_cast<std::size_t>(end - out) > kBlockSize ? out + kBlockSize : end;
    if (!decodeBlock(table_.data(), reader, begin, out, blockEnd, end)) return false;
    // The words of a complete chunk hold every bit it needs; a cut one would
    // have been read on from zero words.
    reader.refill();
    if (out == end) return reader.formatPosition() <= in.size;
    tableAt = reader.formatPosition();
  }
}

}  // namespace wim
