// LZX as WIM files use it: the window is the chunk (32 KiB by default, up to
// 2 MiB), every chunk starts afresh, and there is no header: the E8 call
// translation is always on, with a translation size of 12000000.
//
// A chunk is a series of blocks in one stream of 16-bit little-endian words,
// read from the most significant bit down. Each block begins:
//   3 bits    type: 1 verbatim, 2 aligned offset, 3 uncompressed
//   1 bit     1: the block gives 32768 bytes; 0: its size follows in 16 bits,
//             then 8 more (low) bits when the window is 64 KiB or larger
// Verbatim and aligned offset blocks go on with
//   8 x 3 bits  (aligned offset blocks only) lengths of the aligned offset code
//   the main code's lengths for the 256 literals, then for the match symbols,
//   then the length code's 249 lengths: three lists, each as 20 x 4 bits of
//   pretree lengths followed by pretree symbols that change the lengths of
//   the block before (0-16: new = (old - symbol) mod 17; 17, 18: runs of
//   zeros; 19: a run of one changed length)
//   the block's symbols
// Uncompressed blocks go on with padding to the next word (a whole word when
// the stream is at a word's start), R0, R1 and R2 as 32-bit little-endian
// numbers, the bytes themselves, and a padding byte after an odd count.
#include "wim/codecs/lzx_decoder.h"

#include <algorithm>
#include <cstring>

#include "wim/codecs/lz_decoding.h"

namespace wim {

namespace {

using lz::BitReader;
using lz::buildTable;
using lz::copyMatch;
using lz::decodeSymbol;
using lz::fill;
using lz::kNoSymbol;
using lz::leaf;
using lz::loadLe32;
using lz::loadLe64;
using lz::storeLe32;

// The decoding loop's helpers must be inlined into it to keep the bit buffer
// in registers.
constexpr unsigned kMinWindowOrder = 15;
constexpr unsigned kMaxWindowOrder = 21;
constexpr unsigned kMaxSlotCount = 50;
// Offset slots for window orders 15 to 21.
constexpr unsigned kSlotCounts[] = {30, 32, 34, 36, 38, 42, 50};
constexpr unsigned kMaxMainSymbols = 256 + 8 * kMaxSlotCount;
constexpr unsigned kLengthSymbols = 249;
constexpr unsigned kPreSymbols = 20;
constexpr unsigned kAlignedSymbols = 8;

constexpr unsigned kVerbatimBlock = 1;
constexpr unsigned kAlignedBlock = 2;
constexpr unsigned kUncompressedBlock = 3;
constexpr std::size_t kDefaultBlockSize = 32768;

constexpr unsigned kMinMatch = 2;
constexpr unsigned kMaxMatch = 257;
// A pretree run can pass the end of its list by up to 50 lengths.
constexpr std::size_t kRunOvershoot = 50;
constexpr std::uint32_t kE8TranslationSize = 12000000;

// Widths of the decoding tables' first levels, and longest codes.
constexpr unsigned kMainTableBits = 11;
constexpr unsigned kLengthTableBits = 10;
constexpr unsigned kAlignedTableBits = 7;
constexpr unsigned kPreTableBits = 8;
constexpr unsigned kMaxMainCode = 16;
constexpr unsigned kMaxLengthCode = 16;
constexpr unsigned kMaxAlignedCode = 7;
constexpr unsigned kMaxPreCode = 15;

// Room for a table: its first level and at most one subtable per two symbols.
constexpr std::size_t tableSize(unsigned symbols, unsigned tableBits, unsigned maxCode) {
  return (std::size_t{1} << tableBits) +
         (maxCode > tableBits ? std::size_t{symbols / 2} << (maxCode - tableBits) : 0);
}

// Extra offset bits per slot: none for slots 0-3, then one more every second
// slot up to 17.
struct SlotTables {
  std::uint8_t extraBits[kMaxSlotCount];
  std::uint32_t base[kMaxSlotCount];
};

constexpr SlotTables makeSlotTables() {
  SlotTables tables{};
  std::uint32_t base = 0;
  for (unsigned slot = 0; slot < kMaxSlotCount; ++slot) {
    const unsigned extra = slot < 4 ? 0 : std::min(17u, slot / 2 - 1);
    tables.extraBits[slot] = static_cast<std::uint8_t>(extra);
    tables.base[slot] = base;
    base += 1u << extra;
  }
  return tables;
}

constexpr SlotTables kSlots = makeSlotTables();
static_assert(kSlots.base[30] == 32768 && kSlots.base[49] == 1966080, "offset slot bases");

// Reads one list of code lengths as changes to the list of the block before.
// A run may overshoot the list's end, into the room kept after it (or, for
// the literals, into the match symbols' old lengths, which the next list then
// changes): refusing it would refuse chunks that wimlib reads.
bool readLengths(BitReader& reader, std::uint8_t* lengths, std::size_t count,
                 std::uint32_t* preTable) {
  std::uint8_t preLengths[kPreSymbols];
  for (unsigned i = 0; i < kPreSymbols; ++i) {
    reader.refill();
    preLengths[i] = static_cast<std::uint8_t>(reader.pop(4));
  }
  if (!buildTable(preLengths, kPreSymbols, kMaxPreCode, kPreTableBits, true, preTable,
                  tableSize(kPreSymbols, kPreTableBits, kMaxPreCode)))
    return false;
  std::size_t i = 0;
  while (i < count) {
    reader.refill();
    unsigned symbol = decodeSymbol<kPreTableBits>(preTable, reader);
    if (symbol < 17) {
      lengths[i] = static_cast<std::uint8_t>((lengths[i] + 17 - symbol) % 17);
      ++i;
      continue;
    }
    unsigned run;
    std::uint8_t value = 0;
    if (symbol == 17) {
      run = 4 + reader.pop(4);
    } else if (symbol == 18) {
      run = 20 + reader.pop(5);
    } else if (symbol == 19) {
      run = 4 + reader.pop(1);
      symbol = decodeSymbol<kPreTableBits>(preTable, reader);
      if (symbol > 17) return false;
      value = static_cast<std::uint8_t>((lengths[i] + 17 - symbol) % 17);
    } else {
      return false;  // an empty pretree
    }
    std::fill(lengths + i, lengths + i + run, value);
    i += run;
  }
  return true;
}

struct BlockCodes {
  const std::uint32_t* main;
  const std::uint32_t* length;
  const std::uint32_t* aligned;
};

// The state of a chunk between blocks.
struct ChunkState {
  BitReader reader;
  std::uint32_t recent[3];  // R0, R1, R2
  std::uint8_t* begin;      // the chunk's output
  std::uint8_t* end;
  std::uint8_t* out;  // the next byte to write
  // Where the current run of words began (the chunk's start, or the end of
  // the last uncompressed block), and the furthest bit that wimlib's decoder
  // would have loaded by now; see readUncompressed.
  std::size_t wordsStart;
  std::uint64_t reach;
};

// One literal or match. Near the block's end (kTail) every match is checked
// against the block's end, and the reach of wimlib's decoder is kept: it
// makes sure of 16 bits before each main or length symbol, 7 before an
// aligned offset symbol. `state` is a copy the caller keeps in registers.
template <bool kAligned, bool kTail>
WIM_HOT bool decodeItem(const BlockCodes& codes, ChunkState& state, std::uint8_t* blockEnd) {
  BitReader& reader = state.reader;
  std::uint8_t*& out = state.out;
  reader.refill();
  if (kTail) state.reach = std::max(state.reach, reader.used() + 16);
  unsigned symbol = decodeSymbol<kMainTableBits>(codes.main, reader);
  if (symbol < 256) {
    *out++ = static_cast<std::uint8_t>(symbol);
    if (kTail) return true;
    // Far from the block's end a second symbol fits in the same refill.
    symbol = decodeSymbol<kMainTableBits>(codes.main, reader);
    if (symbol < 256) {
      *out++ = static_cast<std::uint8_t>(symbol);
      return true;
    }
  }
  symbol -= 256;
  std::size_t length = symbol & 7;
  const unsigned slot = symbol >> 3;
  if (length == 7) {
    if (kTail) state.reach = std::max(state.reach, reader.used() + 16);
    reader.refill();
    const unsigned more = decodeSymbol<kLengthTableBits>(codes.length, reader);
    if (more >= kLengthSymbols) return false;
    length += more;
  }
  length += kMinMatch;

  std::uint32_t offset;
  if (slot < 3) {
    // A repeated offset trades places with R0.
    offset = state.recent[slot];
    state.recent[slot] = state.recent[0];
    state.recent[0] = offset;
  } else {
    const unsigned extraBits = kSlots.extraBits[slot];
    offset = kSlots.base[slot] - 2;
    reader.refill();
    if (kAligned && extraBits >= 3) {
      offset += reader.pop(extraBits - 3) << 3;
      if (kTail) state.reach = std::max(state.reach, reader.used() + 7);
      const unsigned low = decodeSymbol<kAlignedTableBits>(codes.aligned, reader);
      if (low >= kAlignedSymbols) return false;
      offset += low;
    } else {
      offset += reader.pop(extraBits);
    }
    state.recent[2] = state.recent[1];
    state.recent[1] = state.recent[0];
    state.recent[0] = offset;
  }
  if (offset > static_cast<std::size_t>(out - state.begin)) return false;
  if (kTail) {
    if (length > static_cast<std::size_t>(blockEnd - out)) return false;
    copyMatch<false>(out, offset, length, state.end);
  } else {
    copyMatch<true>(out, offset, length, state.end);
  }
  out += length;
  return true;
}

template <bool kAligned>
bool decodeBlock(const BlockCodes& codes, ChunkState& chunk, std::uint8_t* blockEnd) {
  // A local copy: the output bytes written cannot be taken to change it.
  ChunkState state = chunk;
  // Far from the block's end a literal and any match fit, with room for
  // word copies.
  std::uint8_t* const calm = static_cast<std::size_t>(blockEnd - state.out) > kMaxMatch + 17
                                 ? blockEnd - (kMaxMatch + 17)
                                 : state.out;
  while (state.out < calm)
    if (!decodeItem<kAligned, false>(codes, state, blockEnd)) return false;
  while (state.out < blockEnd)
    if (!decodeItem<kAligned, true>(codes, state, blockEnd)) return false;
  chunk = state;
  return true;
}

// An uncompressed block, after its type and size. Its padding is whatever is
// left of the words wimlib's decoder has loaded: that decoder loads a word
// only when it must, but before a main or length symbol it makes sure of 16
// bits, so after a block whose last symbol was short it holds one word more
// than the bits used, and skips it with the padding. Where that word is not
// loaded (every size but the default one pushes the stream past it), this is
// plain alignment to the next word, a whole word when already aligned.
bool readUncompressed(ChunkState& chunk, std::size_t size) {
  BitReader& reader = chunk.reader;
  const std::uint64_t start = 8 * static_cast<std::uint64_t>(chunk.wordsStart);
  const std::uint64_t used = reader.used() - start;
  std::uint64_t loaded = (std::max(chunk.reach - start, used) + 15) / 16 * 16;
  if (loaded == used) loaded += 16;
  std::size_t at = chunk.wordsStart + static_cast<std::size_t>(loaded / 8);
  if (at > reader.size || reader.size - at < 12) return false;
  for (int i = 0; i < 3; ++i) {
    chunk.recent[i] = loadLe32(reader.data + at + 4 * i);
    if (chunk.recent[i] == 0) return false;
  }
  at += 12;
  if (reader.size - at < size) return false;
  std::memcpy(chunk.out, reader.data + at, size);
  chunk.out += size;
  at += size;
  // The padding byte after an odd count may be missing at the very end.
  if ((size & 1) && at < reader.size) ++at;
  reader = BitReader{reader.data, reader.size, at, 0, 0};
  chunk.wordsStart = at;
  chunk.reach = 8 * static_cast<std::uint64_t>(at);
  return true;
}

// Where the first E8 byte is among the 8 at `at`, or 8 when none is. Looks
// at all 8 at once: a byte of `match` is zero where the data is E8, and the
// lowest byte that is zero sets the lowest flagged bit.
unsigned firstE8(const std::uint8_t* at) {
  const std::uint64_t match = loadLe64(at) ^ 0xE8E8E8E8E8E8E8E8ull;
  const std::uint64_t flags = (match - 0x0101010101010101ull) & ~match & 0x8080808080808080ull;
  if (flags == 0) return 8;
#if defined(__GNUC__)
  return static_cast<unsigned>(__builtin_ctzll(flags)) / 8;
#else
  unsigned index = 0;
  while ((flags >> (8 * index) & 0x80) == 0) ++index;
  return index;
#endif
}

// Undoes the E8 translation: the 32-bit operand after each E8 byte that
// starts before the last 10 bytes went from a relative to an absolute
// target when the translation was done. The four operand bytes are skipped
// whether or not they changed.
void undoE8(std::uint8_t* data, std::size_t size) {
  if (size <= 10) return;
  std::uint8_t* at = data;
  std::uint8_t* const limit = data + size - 10;
  while (at < limit) {
    // Calls come in clusters: look at the next 8 bytes (all inside the data,
    // as they start before `limit`), and search further only past them.
    const unsigned skip = firstE8(at);
    at += skip;
    if (skip == 8 && at < limit) {
      at = static_cast<std::uint8_t*>(std::memchr(at, 0xE8, static_cast<std::size_t>(limit - at)));
      if (at == nullptr) return;
    }
    if (at >= limit) return;
    const std::uint32_t position = static_cast<std::uint32_t>(at - data);
    const std::uint32_t target = loadLe32(at + 1);
    if (target < kE8TranslationSize) {
      storeLe32(at + 1, target - position);
    } else if (target >= 0x80000000u && target >= 0u - position && position != 0) {
      // Negative, and no further back than the chunk's start.
      storeLe32(at + 1, target + kE8TranslationSize);
    }
    at += 5;
  }
}

}  // namespace

LzxDecoder::LzxDecoder(std::uint32_t chunkSize) : chunkSize_(chunkSize) {
  unsigned order = kMinWindowOrder;
  while (order <= kMaxWindowOrder && (std::uint32_t{1} << order) < chunkSize) ++order;
  if (chunkSize == 0 || order > kMaxWindowOrder) return;
  windowOrder_ = order;
  mainSymbolCount_ = 256 + 8 * kSlotCounts[order - kMinWindowOrder];
  mainLengths_.resize(mainSymbolCount_ + kRunOvershoot);
  lengthLengths_.resize(kLengthSymbols + kRunOvershoot);
  mainTable_.resize(tableSize(mainSymbolCount_, kMainTableBits, kMaxMainCode));
  lengthTable_.resize(tableSize(kLengthSymbols, kLengthTableBits, kMaxLengthCode));
  alignedTable_.resize(tableSize(kAlignedSymbols, kAlignedTableBits, kMaxAlignedCode));
  preTable_.resize(tableSize(kPreSymbols, kPreTableBits, kMaxPreCode));
}

bool LzxDecoder::decompress(le::ByteSpan in, std::uint8_t* out, std::size_t outSize) {
  // A chunk always holds data: an empty one is no chunk a WIM file can have.
  if (windowOrder_ == 0 || in.data == nullptr || out == nullptr || outSize == 0 ||
      outSize > chunkSize_)
    return false;
  std::fill(mainLengths_.begin(), mainLengths_.end(), 0);
  std::fill(lengthLengths_.begin(), lengthLengths_.end(), 0);
  ChunkState chunk{BitReader{in.data, in.size, 0, 0, 0}, {1, 1, 1}, out, out + outSize, out, 0, 0};
  const BlockCodes codes{mainTable_.data(), lengthTable_.data(), alignedTable_.data()};
  // Only a literal E8 or stored bytes can put an E8 into the output.
  bool mayHoldE8 = false;

  while (chunk.out < chunk.end) {
    BitReader& reader = chunk.reader;
    if (!reader.usedOnlyInput()) return false;
    reader.refill();
    const unsigned type = reader.pop(3);
    std::size_t size = kDefaultBlockSize;
    if (reader.pop(1) == 0) {
      size = reader.pop(16);
      if (windowOrder_ >= 16) size = size << 8 | reader.pop(8);
    }
    if (size == 0 || size > static_cast<std::size_t>(chunk.end - chunk.out)) return false;

    if (type == kUncompressedBlock) {
      if (!readUncompressed(chunk, size)) return false;
      mayHoldE8 = true;
      continue;
    }
    if (type != kVerbatimBlock && type != kAlignedBlock) return false;
    if (type == kAlignedBlock) {
      std::uint8_t alignedLengths[kAlignedSymbols];
      reader.refill();
      for (std::uint8_t& length : alignedLengths) length = static_cast<std::uint8_t>(reader.pop(3));
      if (!buildTable(alignedLengths, kAlignedSymbols, kMaxAlignedCode, kAlignedTableBits, true,
                      alignedTable_.data(), alignedTable_.size()))
        return false;
    }
    if (!readLengths(reader, mainLengths_.data(), 256, preTable_.data()) ||
        !readLengths(reader, mainLengths_.data() + 256, mainSymbolCount_ - 256, preTable_.data()) ||
        !buildTable(mainLengths_.data(), mainSymbolCount_, kMaxMainCode, kMainTableBits, false,
                    mainTable_.data(), mainTable_.size()) ||
        !readLengths(reader, lengthLengths_.data(), kLengthSymbols, preTable_.data()) ||
        !buildTable(lengthLengths_.data(), kLengthSymbols, kMaxLengthCode, kLengthTableBits, true,
                    lengthTable_.data(), lengthTable_.size()))
      return false;
    std::uint8_t* const blockEnd = chunk.out + size;
    const bool decoded = type == kAlignedBlock ? decodeBlock<true>(codes, chunk, blockEnd)
                                               : decodeBlock<false>(codes, chunk, blockEnd);
    if (!decoded) return false;
    if (mainLengths_[0xE8] != 0) mayHoldE8 = true;
  }
  // The words of a complete chunk hold every bit it needs; a cut one would
  // have been read on from zero words.
  if (!chunk.reader.usedOnlyInput()) return false;
  if (mayHoldE8) undoE8(out, outSize);
  return true;
}

}  // namespace wim
