#include "standins/wim/lzms_decoder.h"

#include <algorithm>
#include <cstring>

// Layout of an LZMS chunk, as Windows and wimlib write it:
//   16-bit little-endian words. A binary range coder reads them forwards
//   from the start; it tells the kind of each item (literal, LZ match, delta
//   match, explicit or repeated offset). Huffman codes and plain bit fields
//   read them backwards from the end, the high bit of each word first; they
//   give the literals, offset slots, length slots and delta powers.
// Nothing in the chunk marks where one stream ends: items are decoded until
// the expected number of bytes is out, then an x86 filter is undone.

// The hot helpers must become part of the decoding loop: a call that is left
// out of line forces the bit buffer and the range into memory.
#if defined(__GNUC__)
#define LZMS_HOT inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define LZMS_HOT __forceinline
#else
#define LZMS_HOT inline
#endif

namespace wim {
namespace {

constexpr unsigned kLiteralSymbols = 256;
constexpr unsigned kLengthSymbols = 54;
constexpr unsigned kDeltaPowerSymbols = 8;
constexpr unsigned kMaxOffsetSymbols = 799;
constexpr unsigned kMaxCodewordLength = 15;

// Each adaptive code is rebuilt from its symbol counts after this many
// symbols, then the counts are halved so that recent data weighs more.
constexpr unsigned kLiteralRebuild = 1024;
constexpr unsigned kLzOffsetRebuild = 1024;
constexpr unsigned kLengthRebuild = 512;
constexpr unsigned kDeltaOffsetRebuild = 1024;
constexpr unsigned kDeltaPowerRebuild = 512;

// Offsets reach 1180427428 at most, so no chunk can be larger than one more.
constexpr std::size_t kMaxChunkBytes = 1180427429;

// A run of consecutive slots that share a number of extra bits.
struct SlotRun {
  std::uint8_t extraBits;
  std::uint16_t slots;
};

// Offset slots serve LZ offsets and raw delta offsets alike; length slots
// serve both kinds of match. Slot 0 starts at 1 and every slot starts where
// the one before it ends, so the runs determine every base.
constexpr SlotRun kOffsetRuns[] = {{0, 8},   {2, 9},   {3, 7},   {4, 10},  {5, 15},  {6, 15},
                                   {7, 20},  {8, 20},  {9, 30},  {10, 33}, {11, 40}, {12, 42},
                                   {13, 45}, {14, 60}, {15, 73}, {16, 80}, {17, 85}, {18, 95},
                                   {19, 105}, {20, 6}, {30, 1}};
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

constexpr SlotTable<kMaxOffsetSymbols> kOffsetSlots =
    makeSlotTable<kMaxOffsetSymbols>(kOffsetRuns);
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

std::uint64_t loadLe64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

// ---------------------------------------------------------------------------
// Item kinds: adaptive binary decisions.

// The chance that the next bit of one context is 0 is the share of zeros
// among the last 64 bits decoded with it, in 64ths, kept within 1..63.
struct Probability {
  std::uint64_t recent;  // newest bit lowest
  std::uint32_t zeros;
};

// A context picks one of its probabilities by the last few bits it decoded.
struct Decision {
  std::uint32_t state;
  std::uint32_t mask;
  Probability entries[64];

  void reset(unsigned stateBits) {
    state = 0;
    mask = (1u << stateBits) - 1;
    // Every entry starts as if it had seen 32 zeros, then 0101... 32 times.
    for (Probability& entry : entries) entry = {0x0000000055555555ull, 48};
  }
};

// ---------------------------------------------------------------------------
// Adaptive canonical Huffman codes.

// Decode table entries. A primary entry gives a symbol (high 16 bits) and its
// codeword length (low bits), or points to a subtable (base in the high 16
// bits, index width in the low bits) for codewords longer than the primary
// index. Subtable entries give the symbol and the bits left after the primary
// index. Entries that no codeword reaches are marked invalid.
constexpr std::uint32_t kSubtableEntry = 0x8000;
constexpr std::uint32_t kInvalidEntry = 0x4000;
constexpr std::uint32_t kSpecialEntry = kSubtableEntry | kInvalidEntry;

// Work space for building one code; shared by all codes of a decoder.
struct CodeBuilder {
  std::uint16_t order[kMaxOffsetSymbols];      // symbols by count, then value
  std::uint16_t byCodeword[kMaxOffsetSymbols];  // symbols by length, then value
  std::uint16_t staging[kMaxOffsetSymbols];
  std::uint32_t leafCounts[kMaxOffsetSymbols];
  std::uint32_t nodeCounts[kMaxOffsetSymbols];  // later: node depths
  std::uint16_t parents[kMaxOffsetSymbols];
  std::uint64_t keys[kMaxOffsetSymbols];

  // Puts the symbols in `order` sorted by count, ties by symbol value.
  void sortByCount(const std::uint32_t* counts, unsigned symbols) {
    std::uint32_t largest = 0;
    for (unsigned s = 0; s < symbols; ++s) largest = std::max(largest, counts[s]);
    if (largest >= 4096) {
      // Halving keeps counts near 2050 at most; this only guards the radix
      // passes below against a count they were not sized for.
      for (unsigned s = 0; s < symbols; ++s) keys[s] = (std::uint64_t{counts[s]} << 16) | s;
      std::sort(keys, keys + symbols);
      for (unsigned s = 0; s < symbols; ++s) order[s] = static_cast<std::uint16_t>(keys[s]);
      return;
    }
    // Two stable counting passes of 6 bits each over symbols taken in
    // increasing order keep equal counts in symbol order.
    unsigned buckets[64];
    std::fill(buckets, buckets + 64, 0u);
    for (unsigned s = 0; s < symbols; ++s) ++buckets[counts[s] & 63];
    unsigned sum = 0;
    for (unsigned& bucket : buckets) {
      unsigned here = bucket;
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
      unsigned here = bucket;
      bucket = sum;
      sum += here;
    }
    for (unsigned i = 0; i < symbols; ++i) {
      std::uint16_t s = staging[i];
      order[buckets[counts[s] >> 6]++] = s;
    }
  }

  // Codeword lengths from symbol counts. LZMS needs exactly the code of the
  // classic two-smallest merging in which a leaf wins a tie against a merged
  // node; the lengths then go, longest first, to the symbols in count order.
  void buildLengths(const std::uint32_t* counts, unsigned symbols, std::uint8_t* lengths) {
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

  // Fills a decode table for the canonical code of `lengths`. False when the
  // lengths over-fill the code or the subtables outgrow `tableSize`.
  bool buildTable(const std::uint8_t* lengths, unsigned symbols, unsigned tableBits,
                  std::uint32_t* table, std::size_t tableSize) {
    unsigned perLength[kMaxCodewordLength + 1] = {};
    for (unsigned s = 0; s < symbols; ++s) ++perLength[lengths[s]];
    perLength[0] = 0;
    unsigned starts[kMaxCodewordLength + 2];
    std::uint32_t space = 0;  // Kraft sum in units of 2^-15
    starts[1] = 0;
    for (unsigned length = 1; length <= kMaxCodewordLength; ++length) {
      starts[length + 1] = starts[length] + perLength[length];
      space += perLength[length] << (kMaxCodewordLength - length);
    }
    if (space > (1u << kMaxCodewordLength)) return false;
    const bool complete = space == (1u << kMaxCodewordLength);
    const unsigned used = starts[kMaxCodewordLength + 1];
    for (unsigned s = 0; s < symbols; ++s) {
      if (lengths[s] != 0) byCodeword[starts[lengths[s]]++] = static_cast<std::uint16_t>(s);
    }

    const std::size_t primary = std::size_t{1} << tableBits;
    // An incomplete code (none or one symbol) leaves holes that must fail.
    if (!complete) std::fill(table, table + primary, kInvalidEntry);
    std::size_t nextSubtable = primary;
    std::uint32_t codeword = 0;
    unsigned previousLength = used != 0 ? lengths[byCodeword[0]] : 0;
    std::uint32_t subPrefix = ~0u;
    std::size_t subBase = 0;
    unsigned subBits = 0;
    for (unsigned i = 0; i < used; ++i) {
      const unsigned symbol = byCodeword[i];
      const unsigned length = lengths[symbol];
      codeword <<= length - previousLength;
      previousLength = length;
      if (length <= tableBits) {
        const std::size_t first = std::size_t{codeword} << (tableBits - length);
        std::fill(table + first, table + first + (std::size_t{1} << (tableBits - length)),
                  (symbol << 16) | length);
      } else {
        const unsigned extra = length - tableBits;
        const std::uint32_t prefix = codeword >> extra;
        if (prefix != subPrefix) {
          // The subtable is as wide as the longest codeword under this
          // prefix; canonical order puts those codewords next.
          unsigned longest = length;
          std::uint32_t c = codeword;
          unsigned cLength = length;
          for (unsigned j = i + 1; j < used; ++j) {
            const unsigned jLength = lengths[byCodeword[j]];
            c = (c + 1) << (jLength - cLength);
            cLength = jLength;
            if ((c >> (cLength - tableBits)) != prefix) break;
            longest = cLength;
          }
          subBits = longest - tableBits;
          subBase = nextSubtable;
          nextSubtable += std::size_t{1} << subBits;
          if (nextSubtable > tableSize) return false;
          if (!complete) std::fill(table + subBase, table + nextSubtable, kInvalidEntry);
          table[prefix] = static_cast<std::uint32_t>(subBase << 16) | kSubtableEntry | subBits;
          subPrefix = prefix;
        }
        const std::uint32_t low = codeword & ((1u << extra) - 1);
        const std::size_t first = subBase + (std::size_t{low} << (subBits - extra));
        std::fill(table + first, table + first + (std::size_t{1} << (subBits - extra)),
                  (symbol << 16) | extra);
      }
      ++codeword;
    }
    return true;
  }
};

// One adaptive code: symbol counts, current lengths and decode table.
template <unsigned MaxSymbols, unsigned TableBits>
struct AdaptiveCode {
  static constexpr unsigned kTableBits = TableBits;
  // Each subtable holds two codewords or more and at most 2^(15 - TableBits)
  // entries, so half a subtable per symbol is room enough.
  static constexpr std::size_t kTableSize =
      (std::size_t{1} << TableBits) +
      (std::size_t{MaxSymbols} << (kMaxCodewordLength - TableBits)) / 2;

  unsigned symbols;
  unsigned interval;
  unsigned untilRebuild;
  std::uint32_t counts[MaxSymbols];
  std::uint8_t lengths[MaxSymbols];
  std::uint32_t table[kTableSize];

  bool build(CodeBuilder& builder) {
    builder.buildLengths(counts, symbols, lengths);
    untilRebuild = interval;
    return builder.buildTable(lengths, symbols, TableBits, table, kTableSize);
  }

  bool reset(unsigned symbolCount, unsigned rebuildInterval, CodeBuilder& builder) {
    symbols = symbolCount;
    interval = rebuildInterval;
    std::fill(counts, counts + symbols, 1u);
    return build(builder);
  }

  // Kept out of line: it runs once per few hundred symbols.
#if defined(__GNUC__)
  __attribute__((noinline))
#endif
  bool rebuild(CodeBuilder& builder) {
    const bool ok = build(builder);
    for (unsigned s = 0; s < symbols; ++s) counts[s] = (counts[s] >> 1) + 1;
    return ok;
  }
};

using LiteralCode = AdaptiveCode<kLiteralSymbols, 10>;
using OffsetCode = AdaptiveCode<kMaxOffsetSymbols, 10>;
using LengthCode = AdaptiveCode<kLengthSymbols, 10>;
using PowerCode = AdaptiveCode<kDeltaPowerSymbols, 7>;

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

// The high bit of each byte of `word` that can start a translated
// instruction: 48 or 4C, E8 or E9, F0, FF.
constexpr std::uint64_t x86Candidates(std::uint64_t word) {
  constexpr std::uint64_t kBytes = 0x0101010101010101ull;
  return zeroBytes((word & (0xFB * kBytes)) ^ (0x48 * kBytes)) |
         zeroBytes((word & (0xFE * kBytes)) ^ (0xE8 * kBytes)) | zeroBytes(word ^ (0xF0 * kBytes)) |
         zeroBytes(~word);
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

}  // namespace

struct LzmsDecoder::Scratch {
  Decision mainKind;      // literal or match
  Decision matchKind;     // LZ or delta
  Decision lzKind;        // explicit offset or repeat
  Decision deltaKind;     // explicit pair or repeat
  Decision lzRepeat[2];   // which recent offset
  Decision deltaRepeat[2];

  LiteralCode literalCode;
  OffsetCode lzOffsetCode;
  LengthCode lengthCode;
  OffsetCode deltaOffsetCode;
  PowerCode deltaPowerCode;
  CodeBuilder builder;

  // Position of the last use of each 16-bit target, plus `x86Epoch`, so
  // that one chunk's positions read as long ago for the next without
  // clearing 256 KiB per chunk.
  std::uint32_t lastTargetUse[65536];
  std::uint32_t x86Epoch;

  Scratch() {
    std::fill(lastTargetUse, lastTargetUse + 65536, 0u);
    x86Epoch = kX86IdWindow + 1;
  }

  bool decodeItems(ByteSpan in, std::uint8_t* out, std::size_t outSize);
  void undoX86(std::uint8_t* data, std::size_t size);
};

namespace {

// Forwards reader of range-coded decisions.
struct RangeDecoder {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t next;
  std::uint32_t range;
  std::uint32_t code;

  void start(ByteSpan in) {
    data = in.data;
    size = in.size;
    range = 0xFFFFFFFFu;
    code = (std::uint32_t{loadLe16(data)} << 16) | loadLe16(data + 2);
    next = 4;
  }

  LZMS_HOT unsigned decode(Decision& decision) {
    Probability& entry = decision.entries[decision.state];
    std::uint32_t probability = entry.zeros;
    probability += probability == 0;
    probability -= probability == 64;
    if (range <= 0xFFFF) {
      range <<= 16;
      code <<= 16;
      // Past the end the stream reads as zeros, as other decoders do.
      if (next < size) {
        code |= loadLe16(data + next);
        next += 2;
      }
    }
    const std::uint32_t bound = (range >> 6) * probability;
    unsigned bit;
    if (code < bound) {
      range = bound;
      bit = 0;
    } else {
      range -= bound;
      code -= bound;
      bit = 1;
    }
    const unsigned leaving = static_cast<unsigned>(entry.recent >> 63);
    entry.recent = (entry.recent << 1) | bit;
    entry.zeros = entry.zeros + leaving - bit;
    decision.state = ((decision.state << 1) | bit) & decision.mask;
    return bit;
  }
};

// Backwards reader of codewords and plain bit fields: 16-bit words from the
// end of the chunk towards its start, each word's high bit first.
struct BitReader {
  const std::uint8_t* data;
  std::size_t next;      // bytes not read yet: data[0, next)
  std::uint64_t bits;    // the unread bits, first one highest
  unsigned count;        // how many bits of `bits` are valid
  unsigned pastStart;    // zero bits appended once the start was reached

  void start(ByteSpan in) {
    data = in.data;
    next = in.size;
    bits = 0;
    count = 0;
    pastStart = 0;
  }

  // Tops the buffer up to more than 48 bits.
  LZMS_HOT void refill() {
    if (next >= 8) {
      const unsigned words = (64 - count) >> 4;
      const std::uint64_t chunk = loadLe64(data + next - 8);
      bits |= (chunk >> (64 - 16 * words)) << ((64 - count) & 15);
      next -= 2 * words;
      count += 16 * words;
      return;
    }
    while (count <= 48) {
      std::uint64_t word = 0;
      if (next >= 2) {
        next -= 2;
        word = loadLe16(data + next);
      } else {
        pastStart += 16;
      }
      bits |= word << (48 - count);
      count += 16;
    }
  }

  LZMS_HOT void ensure(unsigned n) {
    if (count < n) refill();
  }

  // `n` at most 32 and no more than `count`.
  LZMS_HOT std::uint32_t take(unsigned n) {
    if (n == 0) return 0;
    const std::uint32_t value = static_cast<std::uint32_t>(bits >> (64 - n));
    bits <<= n;
    count -= n;
    return value;
  }

  // True when the decoding used bits from before the start of the chunk,
  // which no encoder writes: the chunk is cut short or damaged.
  bool overran() const { return pastStart > count; }
};

// Decodes one symbol; the reader must hold 15 bits or more. Sets `bad` on a
// bit pattern that the code does not have.
template <typename Code>
LZMS_HOT unsigned decodeSymbol(Code& code, BitReader& reader, CodeBuilder& builder, bool& bad) {
  std::uint32_t entry = code.table[reader.bits >> (64 - Code::kTableBits)];
  if ((entry & kSpecialEntry) != 0) {
    if ((entry & kInvalidEntry) != 0) {
      bad = true;
      return 0;
    }
    reader.take(Code::kTableBits);
    const unsigned subBits = entry & 0xFF;
    entry = code.table[(entry >> 16) + (reader.bits >> (64 - subBits))];
    if ((entry & kInvalidEntry) != 0) {
      bad = true;
      return 0;
    }
  }
  reader.take(entry & 0xFF);
  const unsigned symbol = entry >> 16;
  ++code.counts[symbol];
  if (--code.untilRebuild == 0 && !code.rebuild(builder)) bad = true;
  return symbol;
}

// An offset or length: a slot from `code`, plus the slot's extra bits.
template <typename Code, unsigned N>
LZMS_HOT std::uint32_t decodeSlotValue(Code& code, const SlotTable<N>& slots, BitReader& reader,
                                       CodeBuilder& builder, bool& bad) {
  reader.ensure(kMaxCodewordLength + 30);
  const unsigned slot = decodeSymbol(code, reader, builder, bad);
  return slots.base[slot] + reader.take(slots.extraBits[slot]);
}

// Copies an LZ match that is known to lie inside the output.
LZMS_HOT void copyMatch(std::uint8_t* out, std::size_t pos, std::size_t offset, std::size_t length,
                      std::size_t outSize) {
  std::uint8_t* dst = out + pos;
  const std::uint8_t* src = dst - offset;
  if (offset >= 8 && outSize - pos - length >= 8) {
    // Whole words, up to 7 bytes past the match: still inside the output,
    // and later items overwrite them.
    std::uint8_t* const end = dst + length;
    do {
      std::uint64_t word;
      std::memcpy(&word, src, 8);
      std::memcpy(dst, &word, 8);
      src += 8;
      dst += 8;
    } while (dst < end);
  } else if (offset == 1) {
    std::memset(dst, *src, length);
  } else {
    for (std::size_t i = 0; i < length; ++i) dst[i] = src[i];
  }
}

}  // namespace

bool LzmsDecoder::Scratch::decodeItems(ByteSpan in, std::uint8_t* out, std::size_t outSize) {
  RangeDecoder decisions;
  decisions.start(in);
  BitReader reader;
  reader.start(in);
  bool bad = false;

  mainKind.reset(4);
  matchKind.reset(5);
  lzKind.reset(6);
  deltaKind.reset(6);
  for (Decision& d : lzRepeat) d.reset(6);
  for (Decision& d : deltaRepeat) d.reset(6);

  const unsigned offsetSlots = offsetSlotsFor(outSize);
  if (!literalCode.reset(kLiteralSymbols, kLiteralRebuild, builder) ||
      !lzOffsetCode.reset(offsetSlots, kLzOffsetRebuild, builder) ||
      !lengthCode.reset(kLengthSymbols, kLengthRebuild, builder) ||
      !deltaOffsetCode.reset(offsetSlots, kDeltaOffsetRebuild, builder) ||
      !deltaPowerCode.reset(kDeltaPowerSymbols, kDeltaPowerRebuild, builder)) {
    return false;
  }

  // Recent offsets, most recent first; a fourth place keeps the one that a
  // repeat pushes out. The offset of a match joins them only after the next
  // item, or right away when the next item is another match of its kind.
  std::uint32_t lzRecent[4] = {1, 2, 3, 4};
  std::uint32_t lzPending = 0;
  std::size_t lzPendingAt = 0;
  // Delta pairs: power in the high 32 bits, raw offset in the low 32.
  std::uint64_t deltaRecent[4] = {1, 2, 3, 4};
  std::uint64_t deltaPending = 0;
  std::size_t deltaPendingAt = 0;

  std::size_t pos = 0;
  while (pos < outSize) {
    if (decisions.decode(mainKind) == 0) {
      reader.ensure(kMaxCodewordLength);
      out[pos++] = static_cast<std::uint8_t>(decodeSymbol(literalCode, reader, builder, bad));
      continue;
    }

    if (decisions.decode(matchKind) == 0) {
      // LZ match.
      if (lzPending != 0 && pos != lzPendingAt) {
        std::memmove(lzRecent + 1, lzRecent, 3 * sizeof lzRecent[0]);
        lzRecent[0] = lzPending;
        lzPending = 0;
      }
      std::uint32_t offset;
      if (decisions.decode(lzKind) == 0) {
        offset = decodeSlotValue(lzOffsetCode, kOffsetSlots, reader, builder, bad);
      } else {
        unsigned index = 0;
        if (decisions.decode(lzRepeat[0]) != 0) index = decisions.decode(lzRepeat[1]) != 0 ? 2 : 1;
        offset = lzRecent[index];
        for (unsigned i = index; i < 3; ++i) lzRecent[i] = lzRecent[i + 1];
      }
      if (lzPending != 0) {
        std::memmove(lzRecent + 1, lzRecent, 3 * sizeof lzRecent[0]);
        lzRecent[0] = lzPending;
      }
      lzPending = offset;

      const std::uint32_t length =
          decodeSlotValue(lengthCode, kLengthSlots, reader, builder, bad);
      if (bad || offset > pos || length > outSize - pos) return false;
      copyMatch(out, pos, offset, length, outSize);
      pos += length;
      lzPendingAt = pos;
      continue;
    }

    // Delta match: each byte is the byte `offset` back, plus the change
    // between the bytes `span` before each of those two.
    if (deltaPending != 0 && pos != deltaPendingAt) {
      std::memmove(deltaRecent + 1, deltaRecent, 3 * sizeof deltaRecent[0]);
      deltaRecent[0] = deltaPending;
      deltaPending = 0;
    }
    std::uint32_t power;
    std::uint32_t rawOffset;
    if (decisions.decode(deltaKind) == 0) {
      reader.ensure(kMaxCodewordLength);
      power = decodeSymbol(deltaPowerCode, reader, builder, bad);
      rawOffset = decodeSlotValue(deltaOffsetCode, kOffsetSlots, reader, builder, bad);
    } else {
      unsigned index = 0;
      if (decisions.decode(deltaRepeat[0]) != 0)
        index = decisions.decode(deltaRepeat[1]) != 0 ? 2 : 1;
      const std::uint64_t pair = deltaRecent[index];
      for (unsigned i = index; i < 3; ++i) deltaRecent[i] = deltaRecent[i + 1];
      power = static_cast<std::uint32_t>(pair >> 32);
      rawOffset = static_cast<std::uint32_t>(pair);
    }
    if (deltaPending != 0) {
      std::memmove(deltaRecent + 1, deltaRecent, 3 * sizeof deltaRecent[0]);
      deltaRecent[0] = deltaPending;
    }
    deltaPending = (std::uint64_t{power} << 32) | rawOffset;

    const std::uint32_t length =
          decodeSlotValue(lengthCode, kLengthSlots, reader, builder, bad);
    // Offsets are 32-bit quantities: one that overflows them is damage.
    const std::uint64_t span = std::uint64_t{1} << power;
    const std::uint64_t offset = std::uint64_t{rawOffset} << power;
    if (bad || offset > 0xFFFFFFFFu || offset + span > 0xFFFFFFFFu || offset + span > pos ||
        length > outSize - pos) {
      return false;
    }
    std::uint8_t* dst = out + pos;
    const std::uint8_t* same = dst - offset;
    const std::uint8_t* before = dst - span;
    const std::uint8_t* sameBefore = same - span;
    for (std::uint32_t i = 0; i < length; ++i) {
      dst[i] = static_cast<std::uint8_t>(same[i] + before[i] - sameBefore[i]);
    }
    pos += length;
    deltaPendingAt = pos;
  }
  return !bad && !reader.overran();
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
    // Most bytes start nothing: step over eight at a time (end + 16 is the
    // size, so the eight bytes are there).
    const std::uint64_t candidates = x86Candidates(loadLe64(data + pos));
    if (candidates == 0) {
      pos += 8;
      continue;
    }
    pos += static_cast<std::int32_t>(lowestSetBit(candidates) >> 3);
    if (pos >= end) break;

    const std::uint8_t byte = data[pos];
    unsigned opcodeBytes = 0;
    std::int32_t reach = kX86MaxReach;
    switch (byte) {
      case 0xE8:  // call rel32; common enough to demand more evidence
        opcodeBytes = 1;
        reach >>= 1;
        break;
      case 0xE9:  // jmp rel32 is never translated, but its operand is skipped
        pos += 5;
        continue;
      case 0xFF:  // call [rip+disp32]
        if (data[pos + 1] == 0x15) opcodeBytes = 2;
        break;
      case 0xF0:  // lock add [rip+disp32], imm8
        if (data[pos + 1] == 0x83 && data[pos + 2] == 0x05) opcodeBytes = 3;
        break;
      default:  // 48 or 4C, REX.W: lea or mov with a ModR/M whose r/m is 101
        if ((data[pos + 2] & 0x07) == 0x05 &&
            (data[pos + 1] == 0x8D ||
             (data[pos + 1] == 0x8B && (byte & 0x04) == 0 && (data[pos + 2] & 0xF0) == 0))) {
          opcodeBytes = 3;
        }
        break;
    }
    if (opcodeBytes == 0) {
      ++pos;
      continue;
    }
    std::uint8_t* operand = data + pos + opcodeBytes;
    if (pos - lastCode <= reach) {
      storeLe32(operand, loadLe32(operand) - static_cast<std::uint32_t>(pos));
    }
    const std::uint16_t target = static_cast<std::uint16_t>(pos + loadLe16(operand));
    const std::int32_t operandEnd = pos + static_cast<std::int32_t>(opcodeBytes) + 3;
    const std::uint32_t stamp = epoch + static_cast<std::uint32_t>(operandEnd);
    if (stamp - lastTargetUse[target] <= static_cast<std::uint32_t>(kX86IdWindow)) {
      lastCode = operandEnd;
    }
    lastTargetUse[target] = stamp;
    pos += static_cast<std::int32_t>(opcodeBytes) + 4;
  }
  // The next chunk's stamps start far enough on to look unrelated.
  x86Epoch = epoch + static_cast<std::uint32_t>(size) + kX86IdWindow + 1;
}

LzmsDecoder::LzmsDecoder(std::uint32_t chunkSize)
    : chunkSize_(chunkSize), scratch_(std::make_unique<Scratch>()) {}

LzmsDecoder::~LzmsDecoder() = default;
LzmsDecoder::LzmsDecoder(LzmsDecoder&&) noexcept = default;
LzmsDecoder& LzmsDecoder::operator=(LzmsDecoder&&) noexcept = default;

bool LzmsDecoder::decompress(ByteSpan in, std::uint8_t* out, std::size_t outSize) {
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
