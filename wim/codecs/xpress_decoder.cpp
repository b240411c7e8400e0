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
#include "wim/codecs/xpress_decoder.h"

#include <cstring>

#include "wim/codecs/lz_decoding.h"

namespace wim {

namespace {

using lz::BitReader;
using lz::copyMatch;

constexpr std::size_t kLengthBytes = 256;
constexpr unsigned kSymbolCount = 512;
constexpr unsigned kMaxCode = 15;
constexpr std::size_t kBlockSize = 65536;

// Width of the table's first level, indexed directly by the next bits. Codes up to this long are
// found with one look-up; longer ones take a second in a subtable.
constexpr unsigned kTableBits = 10;
// A subtable serves one prefix of kTableBits bits and holds at least two
// codes, so there are at most kSymbolCount / 2 of them.
constexpr std::size_t kTableSize =
    (std::size_t{1} << kTableBits) + (kSymbolCount / 2 << (kMaxCode - kTableBits));

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
  unsigned symbol = lz::decodeSymbol<kTableBits>(table, reader);
  if (symbol < 256) {
    *out++ = static_cast<std::uint8_t>(symbol);
    if (!kCalm && out == blockEnd) return true;
    symbol = lz::decodeSymbol<kTableBits>(table, reader);
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

bool XpressDecoder::decompress(le::ByteSpan in, std::uint8_t* out, std::size_t outSize) {
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
    if (!lz::buildTable(lengths, kSymbolCount, kMaxCode, kTableBits, false, table_.data(),
                        kTableSize))
      return false;

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
