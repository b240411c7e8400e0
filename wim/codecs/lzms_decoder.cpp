#include "wim/codecs/lzms_decoder.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

// SSE2, where the target has it, scans for x86 opcodes 16 bytes at a time;
// elsewhere plain 64-bit arithmetic does 8.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define LZMS_SSE2 1
#endif

// Layout of an LZMS chunk, as Windows and wimlib write it:
//   16-bit little-endian words. A binary range coder reads them forwards
//   from the start; it tells the kind of each item (literal, LZ match, delta
//   match, explicit or repeated offset). Huffman codes and plain bit fields
//   read them backwards from the end, the high bit of each word first; they
//   give the literals, offset slots, length slots and delta powers.
// Nothing in the chunk marks where one stream ends: items are decoded until
// the expected number of bytes is out, then an x86 filter is undone.

// The hot helpers must be inlined into the decoding loop: a call that is
// left out of line forces the bit buffer and the range into memory.
#if defined(__GNUC__)
#define LZMS_HOT inline __attribute__((always_inline))
#define LZMS_OUT_OF_LINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define LZMS_HOT __forceinline
#define LZMS_OUT_OF_LINE __declspec(noinline)
#else
#define LZMS_HOT inline
#define LZMS_OUT_OF_LINE
#endif

namespace wim {
namespace {

constexpr unsigned kLiteralSymbols = 256;
constexpr unsigned kLengthSymbols = 54;
constexpr unsigned kDeltaPowerSymbols = 8;
constexpr unsigned kMaxOffsetSymbols = 799;
constexpr unsigned kMaxCodewordLength = 15;
constexpr unsigned kMaxExtraBits = 30;

// Each adaptive code is rebuilt from its symbol counts after this many
// symbols, then the counts are halved so that recent data weighs more.
constexpr unsigned kLiteralRebuild = 1024;
constexpr unsigned kLzOffsetRebuild = 1024;
constexpr unsigned kLengthRebuild = 512;
constexpr unsigned kDeltaOffsetRebuild = 1024;
constexpr unsigned kDeltaPowerRebuild = 512;

// Offsets reach 1180427428 at most, so no chunk can be larger than one more.
constexpr std::size_t kMaxChunkBytes = 1180427429;

// ---------------------------------------------------------------------------
// Slots.

// A run of consecutive slots that share a number of extra bits.
struct SlotRun {
  std::uint8_t extraBits;
  std::uint16_t slots;
};

// Offset slots serve LZ offsets and raw delta offsets alike; length slots
// serve both kinds of match. Slot 0 starts at 1 and every slot starts where
// the one before it ends, so the runs determine every base.
constexpr SlotRun kOffsetRuns[] = {{0, 8},    {2, 9},   {3, 7},   {4, 10},  {5, 15},  {6, 15},
                                   {7, 20},   {8, 20},  {9, 30},  {10, 33}, {11, 40}, {12, 42},
                                   {13, 45},  {14, 60}, {15, 73}, {16, 80}, {17, 85}, {18, 95},
                                   {19, 105}, {20, 6},  {30, 1}};
constexpr SlotRun kLengthRuns[] = {{0, 26}, {1, 4}, {2, 6}, {3, 4},  {4, 5},  {5, 2}, {6, 1},
                                   {7, 1},  {8, 1}, {9, 1}, {10, 1}, {16, 1}, {30, 1}};

template <unsigned N>
struct SlotTable {
  std::uint32_t base[N + 1] = {};  // base[N] is one past the last value
  std::uint8_t extraBits[N] = {};
};

template <unsigned N, std::size_t R>
constexpr SlotTable<N> makeSlotTable(const SlotRun (&runs)[R]) {
  SlotTable<N> table;
  unsigned slot = 0;
  std::uint32_t base = 1;
  for (const SlotRun& run : runs) {
    for (unsigned i = 0; i < run.slots; ++i, ++slot) {
      table.base[slot] = base;
      table.extraBits[slot] = run.extraBits;
      base += std::uint32_t{1} << run.extraBits;
    }
  }
  table.base[slot] = base;
  return table;
}

constexpr SlotTable<kMaxOffsetSymbols> kOffsetSlots = makeSlotTable<kMaxOffsetSymbols>(kOffsetRuns);
constexpr SlotTable<kLengthSymbols> kLengthSlots = makeSlotTable<kLengthSymbols>(kLengthRuns);
static_assert(kOffsetSlots.base[kMaxOffsetSymbols] == 0x465BE4A5, "offset slot runs");
static_assert(kLengthSlots.base[kLengthSymbols] == 0x400108AB, "length slot runs");

// The offset codes have one symbol per slot that an offset inside the chunk
// can fall into, so their size follows the chunk's size.
unsigned offsetSlotsFor(std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t* first = kOffsetSlots.base;
  const std::uint32_t* last = first + kMaxOffsetSymbols;
  return static_cast<unsigned>(std::upper_bound(first, last, size - 1) - first);
}

// ---------------------------------------------------------------------------
// Byte access.

std::uint16_t loadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t loadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void storeLe32(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  p[2] = static_cast<std::uint8_t>(value >> 16);
  p[3] = static_cast<std::uint8_t>(value >> 24);
}

// Eight bytes at once, little-endian whatever the machine.
LZMS_HOT std::uint64_t loadLe64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

// `width` bytes (at most 8) in the low bytes of a word and back; byte order
// does not matter to the bytewise arithmetic done in between.
template <unsigned width>
LZMS_HOT std::uint64_t loadBytes(const std::uint8_t* p) {
  std::uint64_t value = 0;
  std::memcpy(&value, p, width);
  return value;
}

template <unsigned width>
LZMS_HOT void storeBytes(std::uint8_t* p, std::uint64_t value) {
  std::memcpy(p, &value, width);
}

unsigned lowestSetBit(std::uint64_t value) {
#if defined(__GNUC__)
  return static_cast<unsigned>(__builtin_ctzll(value));
#else
  unsigned bit = 0;
  while ((value & 1) == 0) {
    value >>= 1;
    ++bit;
  }
  return bit;
#endif
}

// ---------------------------------------------------------------------------
// Item kinds: adaptive binary decisions.

// The chance that the next bit of one context is 0 is the share of zeros
// among the last 64 bits decoded with it, in 64ths, kept within 1..63.
struct Probability {
  std::uint64_t recent;  // newest bit lowest
  std::uint32_t zeros;
};

// The chance for a count of zeros: 0 and 64 out of 64 are not allowed, and
// 1 and 63 stand for them.
struct ChanceTable {
  std::uint8_t chance[65] = {};
  constexpr ChanceTable() {
    for (unsigned zeros = 0; zeros <= 64; ++zeros)
      chance[zeros] = static_cast<std::uint8_t>(zeros == 0 ? 1 : zeros == 64 ? 63 : zeros);
  }
};
constexpr ChanceTable kChances;

// A context picks one of its probabilities by its state: the last few bits
// it decoded (4 for literal or match, 5 for LZ or delta, 6 for the others),
// newest lowest. The decoding loop keeps the states.
template <unsigned StateBits>
struct Decision {
  static constexpr std::uint32_t kStateMask = (1u << StateBits) - 1;
  Probability entries[1u << StateBits];

  void reset() {
    // Every entry starts as if it had seen 32 zeros, then 0101... 32 times.
    for (Probability& entry : entries) entry = {0x0000000055555555ull, 48};
  }
};

// ---------------------------------------------------------------------------
// Adaptive canonical Huffman codes.

// A canonical code ready for decoding. The table, indexed by the next
// `TableBits` bits, gives a symbol and its length as (symbol << 4 | length)
// for every codeword no longer than that; 0 sends the decoder to the longer
// codewords, which it finds by their first codeword of each length.
template <unsigned MaxSymbols, unsigned TableBits>
struct CanonicalCode {
  std::uint16_t table[1u << TableBits];
  std::uint16_t firstCodeword[kMaxCodewordLength + 1];
  std::uint16_t firstIndex[kMaxCodewordLength + 1];  // into byCodeword
  std::uint16_t perLength[kMaxCodewordLength + 1];
  std::uint16_t byCodeword[MaxSymbols];  // symbols by length, then value
};

// Work space for building codes; shared by all codes of a decoder.
struct CodeBuilder {
  std::uint16_t order[kMaxOffsetSymbols];  // symbols by count, then value
  std::uint16_t staging[kMaxOffsetSymbols];
  std::uint32_t leafCounts[kMaxOffsetSymbols];
  std::uint32_t nodeCounts[kMaxOffsetSymbols];  // later: node depths
  std::uint16_t parents[kMaxOffsetSymbols];
  std::uint64_t keys[kMaxOffsetSymbols];
  std::uint8_t lengths[kMaxOffsetSymbols];

  // Puts the symbols in `order` sorted by count, ties by symbol value.
  void sortByCount(const std::uint32_t* counts, unsigned symbols) {
    std::uint32_t largest = 0;
    for (unsigned s = 0; s < symbols; ++s) largest = std::max(largest, counts[s]);
    if (largest >= 4096) {
      // Halving keeps counts near 2050 at most; this only guards the radix
      // passes below against counts they were not sized for.
      for (unsigned s = 0; s < symbols; ++s) keys[s] = (std::uint64_t{counts[s]} << 16) | s;
      std::sort(keys, keys + symbols);
      for (unsigned s = 0; s < symbols; ++s) order[s] = static_cast<std::uint16_t>(keys[s]);
      return;
    }
    // One or two stable counting passes of 6 bits each over the symbols in
    // increasing order keep equal counts in symbol order.
    unsigned buckets[64];
    std::fill(buckets, buckets + 64, 0u);
    for (unsigned s = 0; s < symbols; ++s) ++buckets[counts[s] & 63];
    unsigned sum = 0;
    for (unsigned& bucket : buckets) {
      const unsigned here = bucket;
      bucket = sum;
      sum += here;
    }
    std::uint16_t* firstPass = largest >= 64 ? staging : order;
    for (unsigned s = 0; s < symbols; ++s)
      firstPass[buckets[counts[s] & 63]++] = static_cast<std::uint16_t>(s);
    if (largest < 64) return;
    std::fill(buckets, buckets + 64, 0u);
    for (unsigned s = 0; s < symbols; ++s) ++buckets[counts[s] >> 6];
    sum = 0;
    for (unsigned& bucket : buckets) {
      const unsigned here = bucket;
      bucket = sum;
      sum += here;
    }
    for (unsigned i = 0; i < symbols; ++i) {
      const std::uint16_t s = staging[i];
      order[buckets[counts[s] >> 6]++] = s;
    }
  }

  // Codeword lengths from symbol counts, into `lengths`. LZMS needs exactly
  // the code of the classic two-smallest merging in which a leaf wins a tie
  // against a merged node; the lengths then go, longest first, to the
  // symbols in count order.
  void buildLengths(const std::uint32_t* counts, unsigned symbols) {
    if (symbols == 0) return;
    if (symbols == 1) {
      lengths[0] = 1;
      return;
    }
    sortByCount(counts, symbols);
    for (unsigned i = 0; i < symbols; ++i) leafCounts[i] = counts[order[i]];

    // Merged nodes are made in increasing count order, so two queues do.
    unsigned nextLeaf = 0;
    unsigned nextNode = 0;  // oldest merged node without a parent
    const unsigned nodes = symbols - 1;
    for (unsigned made = 0; made < nodes; ++made) {
      std::uint32_t sum = 0;
      for (int pick = 0; pick < 2; ++pick) {
        if (nextLeaf < symbols &&
            (nextNode == made || leafCounts[nextLeaf] <= nodeCounts[nextNode])) {
          sum += leafCounts[nextLeaf++];
        } else {
          sum += nodeCounts[nextNode];
          parents[nextNode++] = static_cast<std::uint16_t>(made);
        }
      }
      nodeCounts[made] = sum;
    }

    // Walk the merged nodes from the root down. Each one turns a leaf at its
    // depth into two one deeper. A node that would put leaves past 15 bits
    // takes instead the deepest level that still has a leaf to give.
    unsigned lengthCounts[kMaxCodewordLength + 2] = {};
    lengthCounts[1] = 2;
    std::uint32_t* depths = nodeCounts;
    depths[nodes - 1] = 0;
    for (unsigned node = nodes - 1; node-- > 0;) {
      const std::uint32_t depth = depths[parents[node]] + 1;
      depths[node] = depth;
      unsigned length = depth;
      if (length >= kMaxCodewordLength) {
        length = kMaxCodewordLength;
        do {
          --length;
        } while (length > 1 && lengthCounts[length] == 0);
      }
      --lengthCounts[length];
      lengthCounts[length + 1] += 2;
    }
    unsigned next = 0;
    for (unsigned length = kMaxCodewordLength; length >= 1; --length) {
      for (unsigned n = lengthCounts[length]; n > 0; --n) {
        lengths[order[next++]] = static_cast<std::uint8_t>(length);
      }
    }
  }

  // The decoding form of the canonical code of `lengths`. False when the
  // lengths over-fill the code, which a code built here never does.
  template <unsigned MaxSymbols, unsigned TableBits>
  bool buildDecoding(unsigned symbols, CanonicalCode<MaxSymbols, TableBits>& code) const {
    std::uint16_t* perLength = code.perLength;
    std::fill(perLength, perLength + kMaxCodewordLength + 1, std::uint16_t{0});
    for (unsigned s = 0; s < symbols; ++s) ++perLength[lengths[s]];
    std::uint16_t next[kMaxCodewordLength + 1];
    std::uint32_t first = 0;
    unsigned index = 0;
    for (unsigned length = 1; length <= kMaxCodewordLength; ++length) {
      code.firstCodeword[length] = static_cast<std::uint16_t>(first);
      code.firstIndex[length] = static_cast<std::uint16_t>(index);
      next[length] = static_cast<std::uint16_t>(index);
      first += perLength[length];
      if (first > (1u << length)) return false;
      first <<= 1;
      index += perLength[length];
    }
    for (unsigned s = 0; s < symbols; ++s) {
      if (lengths[s] != 0) code.byCodeword[next[lengths[s]]++] = static_cast<std::uint16_t>(s);
    }

    // Codewords in canonical order cover the table from its start, each a
    // run of 2^(TableBits - length) entries; longer ones share what is left.
    std::uint16_t* at = code.table;
    for (unsigned length = 1; length <= TableBits; ++length) {
      const std::size_t run = std::size_t{1} << (TableBits - length);
      const std::uint16_t* symbol = code.byCodeword + code.firstIndex[length];
      for (unsigned n = perLength[length]; n > 0; --n, ++symbol, at += run) {
        const std::uint16_t entry = static_cast<std::uint16_t>((*symbol << 4) | length);
        if (run >= 4) {
          const std::uint64_t four = entry * 0x0001000100010001ull;
          for (std::size_t i = 0; i < run; i += 4) std::memcpy(at + i, &four, 8);
        } else {
          for (std::size_t i = 0; i < run; ++i) at[i] = entry;
        }
      }
    }
    std::fill(at, code.table + (std::size_t{1} << TableBits), std::uint16_t{0});
    return true;
  }
};

// One adaptive code: symbol counts and the code they last gave.
template <unsigned MaxSymbols, unsigned TableBits>
struct AdaptiveCode {
  static constexpr unsigned kTableBits = TableBits;
  using Code = CanonicalCode<MaxSymbols, TableBits>;

  unsigned symbols = 0;
  unsigned interval = 0;  // symbols between rebuilds
  std::uint32_t counts[MaxSymbols];
  Code code;
  // Every chunk starts from the code of all counts 1; it is kept for the
  // alphabet size it was last made for, which rarely changes.
  Code initial;
  unsigned initialSymbols = ~0u;

  bool reset(unsigned symbolCount, unsigned rebuildInterval, CodeBuilder& builder) {
    symbols = symbolCount;
    interval = rebuildInterval;
    std::fill(counts, counts + symbols, 1u);
    if (initialSymbols == symbols) {
      code = initial;
      return true;
    }
    initialSymbols = ~0u;
    builder.buildLengths(counts, symbols);
    if (!builder.buildDecoding(symbols, code)) return false;
    initial = code;
    initialSymbols = symbols;
    return true;
  }

  // Runs once per few hundred symbols.
  LZMS_OUT_OF_LINE bool rebuild(CodeBuilder& builder) {
    builder.buildLengths(counts, symbols);
    const bool ok = builder.buildDecoding(symbols, code);
    for (unsigned s = 0; s < symbols; ++s) counts[s] = (counts[s] >> 1) + 1;
    return ok;
  }
};

using LiteralCode = AdaptiveCode<kLiteralSymbols, 10>;
using OffsetCode = AdaptiveCode<kMaxOffsetSymbols, 10>;
using LengthCode = AdaptiveCode<kLengthSymbols, 10>;
using PowerCode = AdaptiveCode<kDeltaPowerSymbols, 7>;  // 8 symbols: 7 bits at most

// ---------------------------------------------------------------------------
// The x86 filter.

// Relative addresses in some x86 instructions were turned into absolute ones
// before compression, where the data looked like machine code: the same
// target (its low 16 bits) met twice within 64 KiB marks the bytes near it as
// code. Undoing it must make the same guesses, so it tracks them the same way.
constexpr std::int32_t kX86IdWindow = 65535;
constexpr std::int32_t kX86MaxReach = 1023;

// The high bit of each byte of `word` that is zero, and no other bit.
constexpr std::uint64_t zeroBytes(std::uint64_t word) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((word & kLow7) + kLow7) | word) & ~kLow7;
}

// Bit i set when byte i of the eight in `word` (first byte lowest) can start
// a translated instruction: 48 or 4C, E8 or E9, F0, FF.
constexpr unsigned x86Candidates8(std::uint64_t word) {
  constexpr std::uint64_t kBytes = 0x0101010101010101ull;
  const std::uint64_t highBits = zeroBytes((word & (0xFB * kBytes)) ^ (0x48 * kBytes)) |
                                 zeroBytes((word & (0xFE * kBytes)) ^ (0xE8 * kBytes)) |
                                 zeroBytes(word ^ (0xF0 * kBytes)) | zeroBytes(~word);
  // Gathers the high bits of the eight bytes into one byte: each product of
  // two bits lands on a bit of its own, so none carries into another.
  return static_cast<unsigned>(((highBits >> 7) * 0x0102040810204080ull) >> 56);
}
static_assert(x86Candidates8(0x4C00E9FF12F04800ull) == 0xB6, "x86 candidates");

// The same for the 16 bytes at `p`.
LZMS_HOT unsigned x86Candidates16(const std::uint8_t* p) {
#if defined(LZMS_SSE2)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i rex = _mm_cmpeq_epi8(_mm_and_si128(bytes, _mm_set1_epi8(static_cast<char>(0xFB))),
                                     _mm_set1_epi8(0x48));
  const __m128i call = _mm_cmpeq_epi8(_mm_and_si128(bytes, _mm_set1_epi8(static_cast<char>(0xFE))),
                                      _mm_set1_epi8(static_cast<char>(0xE8)));
  const __m128i lock = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(0xF0)));
  const __m128i group = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(0xFF)));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(rex, call), _mm_or_si128(lock, group))));
#else
  return x86Candidates8(loadLe64(p)) | (x86Candidates8(loadLe64(p + 8)) << 8);
#endif
}

// ---------------------------------------------------------------------------
// Delta matches: bytewise arithmetic on eight bytes at once, with no carry
// or borrow crossing from one byte into the next.

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

constexpr std::uint64_t addBytes(std::uint64_t a, std::uint64_t b) {
  return ((a & ~kHighBits) + (b & ~kHighBits)) ^ ((a ^ b) & kHighBits);
}

constexpr std::uint64_t subtractBytes(std::uint64_t a, std::uint64_t b) {
  return ((a | kHighBits) - (b & ~kHighBits)) ^ ((a ^ ~b) & kHighBits);
}

static_assert(addBytes(0xFF01807F00000000ull, 0x0101808100000000ull) == 0x0002000000000000ull,
              "bytewise add");
static_assert(subtractBytes(0x0002000000000000ull, 0x0101808100000000ull) == 0xFF01807F00000000ull,
              "bytewise subtract");

// A codeword longer than the table's index, from the next 15 bits: the first
// length at which they fall among that length's codewords. Gives the symbol
// and length as a table entry does, or 0 for a hole in a code of fewer than
// two symbols.
template <unsigned MaxSymbols, unsigned TableBits>
LZMS_OUT_OF_LINE std::uint32_t decodeLong(const CanonicalCode<MaxSymbols, TableBits>& code,
                                          std::uint32_t window) {
  for (unsigned length = TableBits + 1; length <= kMaxCodewordLength; ++length) {
    const std::uint32_t rank =
        (window >> (kMaxCodewordLength - length)) - code.firstCodeword[length];
    if (rank < code.perLength[length])
      return (std::uint32_t{code.byCodeword[code.firstIndex[length] + rank]} << 4) | length;
  }
  return 0;
}

// Copies an LZ match of `length` bytes from `offset` back to `dst`; the
// match lies inside the output, which ends at `outEnd`.
LZMS_HOT void copyMatch(std::uint8_t* dst, std::size_t offset, std::size_t length,
                        std::uint8_t* outEnd) {
  std::uint8_t* const end = dst + length;
  if (offset == 1) {
    std::memset(dst, dst[-1], length);
    return;
  }
  const std::uint8_t* src = dst - offset;
  if (outEnd - dst >= 24) {
    // Whole words, which may run past the match as long as they stay
    // inside the output (24 bytes are enough for the first eight bytes and
    // two words): later items overwrite those bytes.
    std::uint8_t* const wordsEnd = end < outEnd - 7 ? end : outEnd - 7;
    if (offset < 8) {
      // The first eight bytes one by one; from there the bytes repeat with
      // a period of `offset`, so a word back by whole periods is their copy.
      for (int i = 0; i < 8; ++i) dst[i] = src[i];
      dst += 8;
      src = dst - (8 + offset - 1) / offset * offset;
    }
    // Most matches are short: two words without a loop test between.
    std::uint64_t word;
    std::memcpy(&word, src, 8);
    std::memcpy(dst, &word, 8);
    std::memcpy(&word, src + 8, 8);
    std::memcpy(dst + 8, &word, 8);
    dst += 16;
    src += 16;
    for (; dst < wordsEnd; dst += 8, src += 8) {
      std::memcpy(&word, src, 8);
      std::memcpy(dst, &word, 8);
    }
  }
  for (; dst < end; ++dst, ++src) *dst = *src;
}

// Decodes a delta match of `length` bytes at `dst`: each byte is the byte
// `offset` back, plus the change between the bytes `span` before each of
// those two. The match lies inside the output, which ends at `outEnd`.
LZMS_HOT void copyDelta(std::uint8_t* dst, std::size_t offset, std::size_t span, std::size_t length,
                        std::uint8_t* outEnd) {
  const std::uint8_t* same = dst - offset;
  const std::ptrdiff_t back = static_cast<std::ptrdiff_t>(span);
  if (span >= 2 && outEnd - (dst + length) >= 8) {
    // Blocks of up to eight bytes, none wider than the span so that each
    // block's sources are final; the last may run past the match like the
    // words of an LZ copy.
    const auto blocks = [&](auto width) {
      constexpr unsigned kWidth = decltype(width)::value;
      for (std::size_t i = 0; i < length; i += kWidth) {
        const std::uint64_t before = loadBytes<kWidth>(dst + i - back);
        const std::uint64_t sameBefore = loadBytes<kWidth>(same + i - back);
        storeBytes<kWidth>(
            dst + i, addBytes(loadBytes<kWidth>(same + i), subtractBytes(before, sameBefore)));
      }
    };
    if (span >= 8) {
      blocks(std::integral_constant<unsigned, 8>());
    } else if (span == 4) {
      blocks(std::integral_constant<unsigned, 4>());
    } else {
      blocks(std::integral_constant<unsigned, 2>());
    }
  } else if (span == 1) {
    // Each byte follows from the one just written: keep it in a register.
    const std::uint8_t* sameBefore = same - 1;
    std::uint8_t previous = dst[-1];
    for (std::size_t i = 0; i < length; ++i) {
      previous = static_cast<std::uint8_t>(same[i] + previous - sameBefore[i]);
      dst[i] = previous;
    }
  } else {
    const std::uint8_t* before = dst - back;
    const std::uint8_t* sameBefore = same - back;
    for (std::size_t i = 0; i < length; ++i)
      dst[i] = static_cast<std::uint8_t>(same[i] + before[i] - sameBefore[i]);
  }
}

// The position in both streams and in the output: what every item needs,
// kept separately so that the compiler can hold it in registers. The rest
// lives in the decoder's scratch memory; output bytes are written through a
// pointer that may alias anything there, so the compiler reloads that when
// it is used.
struct Cursor {
  const std::uint8_t* forward;  // next word for the range decoder
  std::uint32_t range;
  std::uint32_t code;
  const std::uint8_t* backward;  // the bit reader's unread bytes end here
  std::uint64_t bits;            // the unread bits, first one highest
  unsigned count;                // how many bits of `bits` are valid
  std::uint8_t* dst;             // next output byte; null once a match failed
};

}  // namespace

struct LzmsDecoder::Scratch {
  Decision<4> mainKind;     // literal or match
  Decision<5> matchKind;    // LZ or delta
  Decision<6> lzKind;       // explicit offset or repeat
  Decision<6> deltaKind;    // explicit pair or repeat
  Decision<6> lzRepeat[2];  // which recent offset
  Decision<6> deltaRepeat[2];
  // States of the decisions but the first, which the decoding loop keeps.
  std::uint32_t matchState;
  std::uint32_t lzState;
  std::uint32_t deltaState;
  std::uint32_t lzRepeatState[2];
  std::uint32_t deltaRepeatState[2];

  LiteralCode literalCode;
  OffsetCode lzOffsetCode;
  LengthCode lengthCode;
  OffsetCode deltaOffsetCode;
  PowerCode deltaPowerCode;
  // Symbols until the next rebuild of each code but the literal one.
  unsigned lzOffsetLeft;
  unsigned lengthLeft;
  unsigned deltaOffsetLeft;
  unsigned deltaPowerLeft;
  CodeBuilder builder;

  // Recent offsets, most recent first; a fourth place keeps the one that a
  // repeat takes out. The offset of a match joins them only after the next
  // item, or right away when the next item is another match of its kind.
  std::uint32_t lzRecent[4];
  std::uint32_t lzPending;
  const std::uint8_t* lzPendingAt;
  // Delta pairs: power in the high 32 bits, raw offset in the low 32.
  std::uint64_t deltaRecent[4];
  std::uint64_t deltaPending;
  const std::uint8_t* deltaPendingAt;

  const std::uint8_t* inBegin;
  const std::uint8_t* inEnd;
  std::uint8_t* outBegin;
  std::uint8_t* outEnd;
  unsigned pastStart;  // zero bits the bit reader appended past the start
  unsigned pastEnd;    // zero words the range decoder read past the end
  bool bad;            // a symbol that its code does not have

  // Position of the last use of each 16-bit target, plus `x86Epoch`, so
  // that one chunk's positions read as long ago for the next without
  // clearing 256 KiB per chunk.
  std::uint32_t lastTargetUse[65536];
  std::uint32_t x86Epoch;

  Scratch() {
    std::fill(lastTargetUse, lastTargetUse + 65536, 0u);
    x86Epoch = kX86IdWindow + 1;
  }

  bool decodeItems(le::ByteSpan in, std::uint8_t* out, std::size_t outSize);
  LZMS_HOT void decodeMatch(Cursor& at);
  LZMS_HOT void decodeLz(Cursor& at);
  LZMS_HOT void decodeDelta(Cursor& at);
  void undoX86(std::uint8_t* data, std::size_t size);
  std::int32_t undoX86At(std::uint8_t* data, std::int32_t pos, std::uint32_t epoch,
                         std::int32_t& lastCode);

  // Range decoding: one decision, with its context's state.
  template <unsigned StateBits>
  LZMS_HOT unsigned decodeBit(Cursor& at, Decision<StateBits>& decision, std::uint32_t& state) {
    Probability& entry = decision.entries[state];
    const std::uint32_t zeros = entry.zeros;
    if (at.range <= 0xFFFF) {
      at.range <<= 16;
      at.code <<= 16;
      // Past the end the stream reads as zeros, as other decoders do.
      if (at.forward != inEnd) {
        at.code |= loadLe16(at.forward);
        at.forward += 2;
      } else {
        ++pastEnd;
      }
    }
    // Without a branch here: the caller branches on the bit anyway, and one
    // unpredictable branch costs less than two.
    const std::uint32_t bound = (at.range >> 6) * kChances.chance[zeros];
    const std::uint32_t bit = at.code >= bound ? 1u : 0u;
    at.range = bit != 0 ? at.range - bound : bound;
    at.code = bit != 0 ? at.code - bound : at.code;
    const std::uint64_t recent = entry.recent;
    entry.recent = (recent << 1) | bit;
    entry.zeros = zeros + static_cast<std::uint32_t>(recent >> 63) - bit;
    state = ((state << 1) | bit) & Decision<StateBits>::kStateMask;
    return bit;
  }

  static_assert(kMaxCodewordLength + kMaxExtraBits <= 48,
                "one refill is enough for a codeword and its extra bits");

  // Bit reading: tops the buffer up to more than 48 bits, whatever it held.
  // Once the first refill has taken the last 8 bytes, and while 8 bytes
  // remain before the read position, it takes the 8 bytes that end at the
  // new read position: the words among them that the buffer already holds
  // land on the very same bits, so OR-ing them in again changes nothing,
  // and no branch depends on how many words were needed.
  LZMS_HOT void refill(Cursor& at) {
    if (at.backward - inBegin >= 8) {
      const unsigned room = 64 - at.count;
      at.backward -= 2 * (room >> 4);
      at.bits |= loadLe64(at.backward) << (room & 15);
      at.count += room & ~15u;
      return;
    }
    while (at.count <= 48) {
      std::uint64_t word = 0;
      if (at.backward - inBegin >= 2) {
        at.backward -= 2;
        word = loadLe16(at.backward);
      } else {
        pastStart += 16;
      }
      at.bits |= word << (48 - at.count);
      at.count += 16;
    }
  }

  // `n` up to 32, and no more than `at.count`.
  static LZMS_HOT std::uint32_t take(Cursor& at, unsigned n) {
    // Two steps, so that n = 0 shifts by nothing rather than by 64.
    const std::uint32_t value = static_cast<std::uint32_t>((at.bits >> 1) >> (63 - n));
    at.bits <<= n;
    at.count -= n;
    return value;
  }

  // One symbol of an adaptive code; the buffer must hold 15 bits or more.
  // `left` counts down the symbols until the code is rebuilt.
  template <typename Adaptive>
  LZMS_HOT unsigned decodeSymbol(Cursor& at, Adaptive& adaptive, unsigned& left) {
    std::uint32_t entry =
        adaptive.code.table[static_cast<std::uint32_t>(at.bits >> (64 - Adaptive::kTableBits))];
    if ((entry & 15) == 0) {
      entry = decodeLong(adaptive.code,
                         static_cast<std::uint32_t>(at.bits >> (64 - kMaxCodewordLength)));
      if (entry == 0) {
        bad = true;
        entry = 1;  // symbol 0, one bit: decoding goes on, and fails at the end
      }
    }
    at.bits <<= entry & 15;
    at.count -= entry & 15;
    const unsigned symbol = entry >> 4;
    ++adaptive.counts[symbol];
    if (--left == 0) {
      if (!adaptive.rebuild(builder)) bad = true;
      left = adaptive.interval;
    }
    return symbol;
  }

  // An offset or length: a slot from `adaptive`, plus the slot's extra bits.
  template <typename Adaptive, unsigned N>
  LZMS_HOT std::uint32_t decodeSlotValue(Cursor& at, Adaptive& adaptive, unsigned& left,
                                         const SlotTable<N>& slots) {
    // Whether 45 bits are left is a coin toss here: refilling always costs
    // less than guessing.
    refill(at);
    const unsigned slot = decodeSymbol(at, adaptive, left);
    return slots.base[slot] + take(at, slots.extraBits[slot]);
  }
};

namespace {

// Puts `value` in front of a recent-offset queue when `push` holds, pushing
// the rest back. Without branches: whether it happens is hard to guess.
template <typename T>
LZMS_HOT void pushFrontIf(bool push, T (&queue)[4], T value) {
  const T first = queue[0];
  const T second = queue[1];
  const T third = queue[2];
  queue[3] = push ? third : queue[3];
  queue[2] = push ? second : third;
  queue[1] = push ? first : second;
  queue[0] = push ? value : first;
}

// Takes entry `index` (0 to 2) out of a recent-offset queue; the fourth
// place keeps its value, ready to move up again.
template <typename T>
LZMS_HOT T takeOut(T (&queue)[4], unsigned index) {
  const T value = queue[index];
  const T first = queue[0];
  const T second = queue[1];
  const T third = queue[2];
  queue[0] = index == 0 ? second : first;
  queue[1] = index <= 1 ? third : second;
  queue[2] = queue[3];
  return value;
}

}  // namespace

bool LzmsDecoder::Scratch::decodeItems(le::ByteSpan in, std::uint8_t* out, std::size_t outSize) {
  mainKind.reset();
  matchKind.reset();
  lzKind.reset();
  deltaKind.reset();
  for (Decision<6>& d : lzRepeat) d.reset();
  for (Decision<6>& d : deltaRepeat) d.reset();
  matchState = lzState = deltaState = 0;
  lzRepeatState[0] = lzRepeatState[1] = 0;
  deltaRepeatState[0] = deltaRepeatState[1] = 0;

  const unsigned offsetSlots = offsetSlotsFor(outSize);
  if (!literalCode.reset(kLiteralSymbols, kLiteralRebuild, builder) ||
      !lzOffsetCode.reset(offsetSlots, kLzOffsetRebuild, builder) ||
      !lengthCode.reset(kLengthSymbols, kLengthRebuild, builder) ||
      !deltaOffsetCode.reset(offsetSlots, kDeltaOffsetRebuild, builder) ||
      !deltaPowerCode.reset(kDeltaPowerSymbols, kDeltaPowerRebuild, builder)) {
    return false;
  }
  lzOffsetLeft = kLzOffsetRebuild;
  lengthLeft = kLengthRebuild;
  deltaOffsetLeft = kDeltaOffsetRebuild;
  deltaPowerLeft = kDeltaPowerRebuild;

  for (unsigned i = 0; i < 4; ++i) {
    lzRecent[i] = i + 1;
    deltaRecent[i] = i + 1;  // power 0
  }
  lzPending = 0;
  lzPendingAt = nullptr;
  deltaPending = 0;
  deltaPendingAt = nullptr;

  inBegin = in.data;
  inEnd = in.data + in.size;
  outBegin = out;
  outEnd = out + outSize;
  pastStart = 0;
  pastEnd = 0;
  bad = false;

  Cursor at;
  at.range = 0xFFFFFFFFu;
  at.code = (std::uint32_t{loadLe16(in.data)} << 16) | loadLe16(in.data + 2);
  at.forward = in.data + 4;
  at.backward = inEnd;
  at.bits = 0;
  at.count = 0;
  // Four words one by one, or fewer and zeros: from here on the read
  // position is at least 8 bytes before the end.
  while (at.count < 64) {
    std::uint64_t word = 0;
    if (at.backward - inBegin >= 2) {
      at.backward -= 2;
      word = loadLe16(at.backward);
    } else {
      pastStart += 16;
    }
    at.count += 16;
    at.bits |= word << (64 - at.count);
  }

  at.dst = out;
  std::uint32_t mainState = 0;
  unsigned literalLeft = kLiteralRebuild;
  std::uint8_t* const end = outEnd;
  while (at.dst != end) {
    if (decodeBit(at, mainKind, mainState) == 0) {
      if (at.count < kMaxCodewordLength) refill(at);
      *at.dst++ = static_cast<std::uint8_t>(decodeSymbol(at, literalCode, literalLeft));
    } else {
      decodeMatch(at);
      if (at.dst == nullptr) return false;
    }
  }
  // The two streams share the chunk without overlapping, but for the range
  // decoder's two words of lookahead at the end, which an encoder need not
  // write. (wimlib leaves a gap of one word.) Streams that cross further are
  // damaged, or were given a wrong size: so is an output size that is too
  // large, which makes the decoding go on into the other stream.
  const std::uint64_t forwardBytes =
      static_cast<std::uint64_t>(at.forward - inBegin) + 2 * std::uint64_t{pastEnd};
  const std::uint64_t backwardBits =
      8 * static_cast<std::uint64_t>(inEnd - at.backward) + pastStart - at.count;
  const std::uint64_t backwardBytes = (backwardBits + 15) / 16 * 2;
  return !bad && forwardBytes + backwardBytes <= in.size + 4;
}

// A match, LZ or delta, at `at.dst`; `at.dst` becomes its end, or null
// when it does not fit in the output.
LZMS_HOT void LzmsDecoder::Scratch::decodeMatch(Cursor& at) {
  if (decodeBit(at, matchKind, matchState) == 0) {
    decodeLz(at);
  } else {
    decodeDelta(at);
  }
}

LZMS_HOT void LzmsDecoder::Scratch::decodeLz(Cursor& at) {
  std::uint8_t* dst = at.dst;
  const bool pendingDue = lzPending != 0 && dst != lzPendingAt;
  pushFrontIf(pendingDue, lzRecent, lzPending);
  lzPending = pendingDue ? 0 : lzPending;
  std::uint32_t offset;
  if (decodeBit(at, lzKind, lzState) == 0) {
    offset = decodeSlotValue(at, lzOffsetCode, lzOffsetLeft, kOffsetSlots);
  } else {
    unsigned index = 0;
    if (decodeBit(at, lzRepeat[0], lzRepeatState[0]) != 0)
      index = decodeBit(at, lzRepeat[1], lzRepeatState[1]) != 0 ? 2 : 1;
    offset = takeOut(lzRecent, index);
  }
  pushFrontIf(lzPending != 0, lzRecent, lzPending);
  lzPending = offset;

  const std::uint32_t length = decodeSlotValue(at, lengthCode, lengthLeft, kLengthSlots);
  std::uint8_t* const outLimit = outEnd;
  if (offset > static_cast<std::size_t>(dst - outBegin) ||
      length > static_cast<std::size_t>(outLimit - dst)) {
    at.dst = nullptr;
    return;
  }
  copyMatch(dst, offset, length, outLimit);
  at.dst = dst + length;
  lzPendingAt = at.dst;
}

LZMS_HOT void LzmsDecoder::Scratch::decodeDelta(Cursor& at) {
  std::uint8_t* dst = at.dst;
  const bool pendingDue = deltaPending != 0 && dst != deltaPendingAt;
  pushFrontIf(pendingDue, deltaRecent, deltaPending);
  deltaPending = pendingDue ? 0 : deltaPending;
  std::uint32_t power;
  std::uint32_t rawOffset;
  if (decodeBit(at, deltaKind, deltaState) == 0) {
    if (at.count < kMaxCodewordLength) refill(at);
    power = decodeSymbol(at, deltaPowerCode, deltaPowerLeft);
    rawOffset = decodeSlotValue(at, deltaOffsetCode, deltaOffsetLeft, kOffsetSlots);
  } else {
    unsigned index = 0;
    if (decodeBit(at, deltaRepeat[0], deltaRepeatState[0]) != 0)
      index = decodeBit(at, deltaRepeat[1], deltaRepeatState[1]) != 0 ? 2 : 1;
    const std::uint64_t pair = takeOut(deltaRecent, index);
    power = static_cast<std::uint32_t>(pair >> 32);
    rawOffset = static_cast<std::uint32_t>(pair);
  }
  pushFrontIf(deltaPending != 0, deltaRecent, deltaPending);
  deltaPending = (std::uint64_t{power} << 32) | rawOffset;

  const std::uint32_t length = decodeSlotValue(at, lengthCode, lengthLeft, kLengthSlots);
  // Offsets are 32-bit quantities; one past that reaches before the output
  // anyway, as the output is smaller than 2^32 bytes.
  const std::uint64_t span = std::uint64_t{1} << power;
  const std::uint64_t offset = std::uint64_t{rawOffset} << power;
  std::uint8_t* const outLimit = outEnd;
  if (offset + span > static_cast<std::size_t>(dst - outBegin) ||
      length > static_cast<std::size_t>(outLimit - dst)) {
    at.dst = nullptr;
    return;
  }
  copyDelta(dst, static_cast<std::size_t>(offset), static_cast<std::size_t>(span), length,
            outLimit);
  at.dst = dst + length;
  deltaPendingAt = at.dst;
}

// One byte that may start a translated instruction, at `pos`, at least 16
// bytes before the end. Gives the position to look at next.
LZMS_HOT std::int32_t LzmsDecoder::Scratch::undoX86At(std::uint8_t* data, std::int32_t pos,
                                                      std::uint32_t epoch, std::int32_t& lastCode) {
  const std::uint8_t byte = data[pos];
  unsigned opcodeBytes = 0;
  std::int32_t reach = kX86MaxReach;
  // Tested in this order, a call (the most common) takes two comparisons.
  if (byte >= 0xF0) {
    if (byte == 0xFF) {
      if (data[pos + 1] == 0x15) opcodeBytes = 2;  // call [rip+disp32]
    } else if (data[pos + 1] == 0x83 && data[pos + 2] == 0x05) {
      opcodeBytes = 3;  // lock add [rip+disp32], imm8
    }
  } else if (byte >= 0xE8) {
    if (byte == 0xE9) return pos + 5;  // jmp rel32 is never translated; its operand is skipped
    opcodeBytes = 1;                   // call rel32: common enough to demand more evidence
    reach >>= 1;
  } else if ((data[pos + 2] & 0x07) == 0x05 &&
             (data[pos + 1] == 0x8D ||
              (data[pos + 1] == 0x8B && (byte & 0x04) == 0 && (data[pos + 2] & 0xF0) == 0))) {
    opcodeBytes = 3;  // 48 or 4C, REX.W: lea or mov with a ModR/M whose r/m is 101
  }
  if (opcodeBytes == 0) return pos + 1;
  std::uint8_t* operand = data + pos + opcodeBytes;
  std::uint32_t value = loadLe32(operand);
  if (pos - lastCode <= reach) {
    value -= static_cast<std::uint32_t>(pos);
    storeLe32(operand, value);
  }
  // The target is that of the operand as it ends up.
  const std::uint16_t target = static_cast<std::uint16_t>(static_cast<std::uint32_t>(pos) + value);
  const std::int32_t operandEnd = pos + static_cast<std::int32_t>(opcodeBytes) + 3;
  const std::uint32_t stamp = epoch + static_cast<std::uint32_t>(operandEnd);
  if (stamp - lastTargetUse[target] <= static_cast<std::uint32_t>(kX86IdWindow)) {
    lastCode = operandEnd;
  }
  lastTargetUse[target] = stamp;
  return operandEnd + 1;
}

void LzmsDecoder::Scratch::undoX86(std::uint8_t* data, std::size_t size) {
  // Nothing within the last 16 bytes is ever translated, nor the first byte.
  if (size <= 17) return;
  if (x86Epoch > 0xF0000000u - size) {
    std::fill(lastTargetUse, lastTargetUse + 65536, 0u);
    x86Epoch = kX86IdWindow + 1;
  }
  const std::uint32_t epoch = x86Epoch;
  const std::int32_t end = static_cast<std::int32_t>(size - 16);
  std::int32_t lastCode = -kX86MaxReach - 1;  // where code was last recognised
  std::int32_t pos = 1;
  while (pos < end) {
    // Most bytes start nothing: look at 16 at a time (end + 16 is the size,
    // so the 16 bytes are there) for the next one that may. Scanning again
    // after each instruction costs less than the branches of walking the
    // candidates of one scan.
    const unsigned candidates = x86Candidates16(data + pos);
    if (candidates == 0) {
      pos += 16;
      continue;
    }
    pos += static_cast<std::int32_t>(lowestSetBit(candidates));
    if (pos >= end) break;
    pos = undoX86At(data, pos, epoch, lastCode);
  }
  // The next chunk's stamps start far enough on to look unrelated.
  x86Epoch = epoch + static_cast<std::uint32_t>(size) + kX86IdWindow + 1;
}

LzmsDecoder::LzmsDecoder(std::uint32_t chunkSize)
    : chunkSize_(chunkSize), scratch_(std::make_unique<Scratch>()) {}

LzmsDecoder::~LzmsDecoder() = default;
LzmsDecoder::LzmsDecoder(LzmsDecoder&&) noexcept = default;
LzmsDecoder& LzmsDecoder::operator=(LzmsDecoder&&) noexcept = default;

bool LzmsDecoder::decompress(le::ByteSpan in, std::uint8_t* out, std::size_t outSize) {
  // The streams are made of 16-bit words, and the range decoder starts with
  // two of them.
  if (in.data == nullptr || in.size < 4 || in.size % 2 != 0) return false;
  if (outSize > chunkSize_ || outSize > kMaxChunkBytes || (out == nullptr && outSize != 0))
    return false;
  if (!scratch_) return false;  // moved from
  if (!scratch_->decodeItems(in, out, outSize)) return false;
  scratch_->undoX86(out, outSize);
  return true;
}

}  // namespace wim
