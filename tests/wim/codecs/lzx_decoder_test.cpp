// The LZX decoder against chunks that wimlib compressed (make-codec-vectors.sh),
// against damaged copies of them, and against chunks written here bit by bit
// for what wimlib's compressor never writes: uncompressed blocks, E8 bytes
// at the edge of the translated range, one byte of output.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "wim/codecs/lzx_decoder.h"
#include "tests/wim/codec_test_support.h"

namespace {

using codectest::Bytes;
using codectest::Vector;

const codectest::VectorsBySize& vectors() { return codectest::vectorsOf("lzx"); }

bool decode(wim::LzxDecoder& decoder, const Bytes& in, std::size_t inSize, Bytes& out,
            std::size_t outSize) {
  out.assign(outSize, 0);
  return decoder.decompress(le::ByteSpan{in.data(), inSize}, out.data(), outSize);
}

// Offset slots: base and number of extra bits.
std::uint32_t slotBase(unsigned slot) {
  std::uint32_t base = 0;
  for (unsigned s = 0; s < slot; ++s) base += 1u << (s < 4 ? 0 : std::min(17u, s / 2 - 1));
  return base;
}
unsigned slotBits(unsigned slot) { return slot < 4 ? 0 : std::min(17u, slot / 2 - 1); }

// A canonical code: codes handed out in order of length, then of symbol.
struct Code {
  std::vector<std::uint8_t> lengths;
  std::vector<std::uint32_t> codes;

  explicit Code(std::vector<std::uint8_t> codeLengths)
      : lengths(std::move(codeLengths)), codes(lengths.size()) {
    std::uint32_t code = 0;
    for (unsigned length = 1; length <= 16; ++length, code <<= 1)
      for (std::size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s] == length) codes[s] = code++;
  }

  // A complete code over `symbols` symbols, all of two lengths.
  static Code balanced(std::size_t symbols) {
    unsigned longest = 1;
    while ((std::size_t{1} << longest) < symbols) ++longest;
    const std::size_t shorter = (std::size_t{1} << longest) - symbols;  // one bit shorter
    std::vector<std::uint8_t> lengths(symbols);
    for (std::size_t s = 0; s < symbols; ++s)
      lengths[s] = static_cast<std::uint8_t>(s < shorter ? longest - 1 : longest);
    return Code(lengths);
  }
};

// Writes a chunk: bits into 16-bit little-endian words, most significant
// first, with the trees and symbols of each block. `expected` follows along
// (before the E8 translation is undone).
class ChunkWriter {
 public:
  explicit ChunkWriter(unsigned windowOrder)
      : order_(windowOrder),
        main_(Code::balanced(256 + 8 * slotCount(windowOrder))),
        lengthCode_(Code::balanced(249)),
        aligned_(Code::balanced(8)),
        oldMain_(main_.lengths.size()),
        oldLength_(249) {}

  static unsigned slotCount(unsigned order) {
    static const unsigned counts[] = {30, 32, 34, 36, 38, 42, 50};
    return counts[order - 15];
  }

  void put(std::uint32_t value, unsigned count) {
    for (unsigned i = count; i-- > 0;) {
      word_ = static_cast<std::uint16_t>(word_ << 1 | (value >> i & 1));
      if (++filled_ == 16) flushWord();
    }
  }

  void header(unsigned type, std::size_t size) {
    put(type, 3);
    if (size == 32768) {
      put(1, 1);
    } else {
      put(0, 1);
      if (order_ >= 16) {
        put(static_cast<std::uint32_t>(size >> 8), 16);
        put(size & 0xFF, 8);
      } else {
        put(static_cast<std::uint32_t>(size), 16);
      }
    }
  }

  void useMainCode(const Code& code) { main_ = code; }

  // A verbatim or aligned offset block's header and trees. The lengths are
  // sent as changes to the last block's, one pretree symbol each.
  void compressedBlock(bool aligned, std::size_t size, bool withLengthCode = true,
                       std::size_t literalZeros = 0) {
    aligned_used_ = aligned;
    header(aligned ? 2 : 1, size);
    if (aligned)
      for (std::uint8_t length : aligned_.lengths) put(length, 3);
    std::vector<std::uint8_t> newMain = main_.lengths;
    std::vector<std::uint8_t> newLength(249, 0);
    if (withLengthCode) newLength = lengthCode_.lengths;
    sendLengths(oldMain_.data(), newMain.data(), 256, literalZeros);
    sendLengths(oldMain_.data() + 256, newMain.data() + 256, newMain.size() - 256);
    sendLengths(oldLength_.data(), newLength.data(), 249);
    oldMain_ = newMain;
    oldLength_ = newLength;
  }

  void literal(std::uint8_t byte) {
    send(main_, byte);
    expected.push_back(byte);
  }

  // A match at an explicit distance.
  void match(std::size_t length, std::uint32_t distance) {
    unsigned slot = 3;
    while (slotBase(slot + 1) <= distance + 2) ++slot;
    const std::uint32_t extra = distance + 2 - slotBase(slot);
    matchSymbols(length, slot);
    const unsigned bits = slotBits(slot);
    if (aligned_used_ && bits >= 3) {
      put(extra >> 3, bits - 3);
      send(aligned_, extra & 7);
    } else {
      put(extra, bits);
    }
    recent_ = {distance, recent_[0], recent_[1]};
    copy(length, distance);
  }

  // A match at R0, R1 or R2, which then trades places with R0.
  void repeat(std::size_t length, unsigned which) {
    matchSymbols(length, which);
    std::swap(recent_[0], recent_[which]);
    copy(length, recent_[0]);
  }

  // An uncompressed block as the encoder writes it: padding to the next
  // word (a whole word when at a word's start), R0-R2, the bytes, and a
  // padding byte after an odd count. `skippedWord`: one more word of padding.
  void uncompressed(const Bytes& bytes, std::array<std::uint32_t, 3> recent,
                    bool skippedWord = false) {
    header(3, bytes.size());
    put(0, 16 - filled_);
    if (skippedWord) out_.insert(out_.end(), {0x11, 0x22});
    for (std::uint32_t r : recent)
      for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(r >> (8 * i)));
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    if (bytes.size() % 2) out_.push_back(0);
    recent_ = recent;
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }

  Bytes finish() {
    if (filled_ != 0) put(0, 16 - filled_);
    return out_;
  }

  Bytes expected;

 private:
  void flushWord() {
    out_.push_back(static_cast<std::uint8_t>(word_));
    out_.push_back(static_cast<std::uint8_t>(word_ >> 8));
    word_ = 0;
    filled_ = 0;
  }

  void send(const Code& code, unsigned symbol) { put(code.codes[symbol], code.lengths[symbol]); }

  // The last `zeros` lengths go as runs of zeros (pretree symbol 18), the
  // last run at least 20 long even where it overshoots the list's end.
  void sendLengths(std::uint8_t* old, const std::uint8_t* now, std::size_t count,
                   std::size_t zeros = 0) {
    const Code pretree = Code::balanced(20);
    for (std::uint8_t length : pretree.lengths) put(length, 4);
    for (std::size_t i = 0; i < count - zeros; ++i) send(pretree, (old[i] + 17 - now[i]) % 17);
    for (std::size_t i = count - zeros; i < count;) {
      const std::size_t run = std::max<std::size_t>(20, std::min<std::size_t>(51, count - i));
      send(pretree, 18);
      put(static_cast<std::uint32_t>(run - 20), 5);
      std::fill(old + i, old + i + run, 0);  // the overshoot changes the next list's base
      i += run;
    }
  }

  void matchSymbols(std::size_t length, unsigned slot) {
    const std::size_t header = std::min<std::size_t>(length - 2, 7);
    send(main_, static_cast<unsigned>(256 + slot * 8 + header));
    if (header == 7) send(lengthCode_, static_cast<unsigned>(length - 9));
  }

  void copy(std::size_t length, std::uint32_t distance) {
    if (distance > expected.size()) {  // a bad match, for a chunk that must be refused
      expected.insert(expected.end(), length, 0);
      return;
    }
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint8_t byte = expected[expected.size() - distance];
      expected.push_back(byte);
    }
  }

  unsigned order_;
  Code main_, lengthCode_, aligned_;
  std::vector<std::uint8_t> oldMain_, oldLength_;
  bool aligned_used_ = false;
  std::array<std::uint32_t, 3> recent_{1, 1, 1};
  Bytes out_;
  std::uint16_t word_ = 0;
  unsigned filled_ = 0;
};

TEST(LzxDecoder, DecodesEveryChunkOfWimlib) {
  codectest::expectEveryChunkDecodes<wim::LzxDecoder>(vectors());
}

// Every bit of wimlib's chunks is needed, and their blocks add up to the
// chunk's size exactly: a cut chunk and a wrong size are refused.
TEST(LzxDecoder, RefusesCutChunksAndWrongSizes) {
  for (const auto& [chunkSize, group] : vectors()) {
    if (chunkSize > 65536) continue;  // the same code; kept quick
    wim::LzxDecoder decoder(chunkSize);
    for (const Vector& vector : group) {
      const std::size_t size = vector.compressed.size();
      const std::size_t original = vector.original.size();
      Bytes out;
      for (std::size_t cut :
           {std::size_t{0}, std::size_t{1}, std::size_t{2}, size / 3, size / 2, size - 2, size - 1})
        EXPECT_FALSE(decode(decoder, vector.compressed, cut, out, original))
            << vector.name << " cut to " << cut;
      if (original < chunkSize) {
        EXPECT_FALSE(decode(decoder, vector.compressed, size, out, original + 1)) << vector.name;
      }
      EXPECT_FALSE(decode(decoder, vector.compressed, size, out, original - 1)) << vector.name;
      EXPECT_FALSE(decode(decoder, vector.compressed, size, out, chunkSize + 1)) << vector.name;
    }
  }
}

// Damage anywhere may decode to something or not, but never reaches outside
// the buffers (the sanitizers watch), and leaves the decoder fit for the
// next chunk.
TEST(LzxDecoder, SurvivesFlippedBytes) {
  std::uint32_t random = 777;
  for (const auto& [chunkSize, group] : vectors()) {
    wim::LzxDecoder decoder(chunkSize);
    for (const Vector& vector : group) {
      Bytes out;
      const int rounds = chunkSize > 65536 ? 4 : 40;
      for (int round = 0; round < rounds; ++round) {
        Bytes damaged = vector.compressed;
        for (int flips = 0; flips <= round % 4; ++flips) {
          random = random * 1103515245u + 12345u;
          // Half the flips hit the block header and trees, half anywhere.
          const std::size_t span =
              round % 2 ? std::min<std::size_t>(damaged.size(), 400) : damaged.size();
          damaged[random % span] ^= static_cast<std::uint8_t>(1u << (random >> 16) % 8);
        }
        decode(decoder, damaged, damaged.size(), out, vector.original.size());
      }
      ASSERT_TRUE(decode(decoder, vector.compressed, vector.compressed.size(), out,
                         vector.original.size()));
      EXPECT_TRUE(out == vector.original) << vector.name;
    }
  }
}

TEST(LzxDecoder, RefusesWhatIsNoChunk) {
  wim::LzxDecoder decoder(32768);
  Bytes out(32768);
  const Bytes ones(4096, 0xFF);  // block type 7
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{ones.data(), ones.size()}, out.data(), 1000));
  const Bytes zeros(4096, 0x00);  // block type 0
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{zeros.data(), zeros.size()}, out.data(), 1000));
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{}, out.data(), 1000));
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{zeros.data(), 0}, out.data(), 1000));
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{zeros.data(), zeros.size()}, nullptr, 1000));
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{zeros.data(), zeros.size()}, out.data(), 0));
  // LZX windows end at 2 MiB.
  ChunkWriter writer(21);
  writer.uncompressed(Bytes(100, 'a'), {1, 1, 1});
  const Bytes chunk = writer.finish();
  wim::LzxDecoder widest(1u << 21), tooWide((1u << 21) + 1), none(0);
  EXPECT_TRUE(decode(widest, chunk, chunk.size(), out, 100));
  EXPECT_FALSE(decode(tooWide, chunk, chunk.size(), out, 100));
  EXPECT_FALSE(decode(none, chunk, chunk.size(), out, 100));
}

// Block sizes: the default flag (32768) and explicit sizes of 16 bits, or
// 24 bits once the window is 64 KiB or more; an aligned offset block's low
// distance bits come from the aligned offset code; repeated offsets.
TEST(LzxDecoder, DecodesHandWrittenBlocks) {
  for (unsigned order : {15u, 16u, 21u}) {
    const std::size_t first = order == 15 ? 20000 : 32768;
    const std::size_t total = order == 15 ? 32768 : 40000;
    ChunkWriter writer(order);
    writer.compressedBlock(false, first);
    for (int i = 0; i < 100; ++i) writer.literal(static_cast<std::uint8_t>('a' + i % 26));
    writer.match(257, 26);  // R: 26 1 1
    writer.match(9, 100);   // R: 100 26 1
    writer.repeat(30, 1);   // 26 back; R: 26 100 1
    writer.repeat(4, 2);    // 1 back; R: 1 100 26
    const std::uint32_t distances[] = {3, 77, 399, 8, 1, 1000};
    for (int i = 0; writer.expected.size() < first - 300; ++i) writer.match(250, distances[i % 6]);
    while (writer.expected.size() < first) writer.literal('z');
    writer.compressedBlock(true, total - first);
    for (std::uint32_t distance : {1u, 7u, 8u, 9u, 15u, 16u, 100u, 4097u, 19000u})
      writer.match(3, distance);
    writer.repeat(10, 0);
    writer.repeat(10, 2);
    while (writer.expected.size() < total) writer.literal('q');
    const Bytes chunk = writer.finish();
    wim::LzxDecoder decoder(1u << order);
    Bytes out;
    ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, total)) << order;
    EXPECT_TRUE(out == writer.expected) << order;
  }
}

// An uncompressed block sets R0-R2 for the blocks after it; an odd one is
// followed by a padding byte; the code lengths of earlier blocks carry on
// past it.
TEST(LzxDecoder, UncompressedBlocksCarryOn) {
  ChunkWriter writer(15);
  writer.compressedBlock(false, 10);
  for (std::uint8_t byte : {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}) writer.literal(byte);
  writer.uncompressed({'a', 'b', 'c', 'd', 'e'}, {3, 7, 12});
  writer.uncompressed({'f', 'g', 'h'}, {4, 7, 12});
  writer.compressedBlock(false, 14);  // the same lengths: every change is 0
  writer.repeat(4, 0);                // "efgh"
  writer.repeat(3, 1);                // 7 back: "fgh"
  writer.repeat(6, 2);                // 12 back: "defghe"
  writer.literal('!');
  const Bytes chunk = writer.finish();
  wim::LzxDecoder decoder(32768);
  Bytes out;
  ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, 32));
  EXPECT_EQ(std::string(out.begin(), out.end()), "0123456789abcdefghefghfghdefghe!");
}

TEST(LzxDecoder, DecodesOneByte) {
  wim::LzxDecoder decoder(32768);
  Bytes out;
  {
    ChunkWriter writer(15);
    writer.compressedBlock(false, 1, false);  // no match needs the length code
    writer.literal(0xE8);                     // no room for a call to translate
    const Bytes chunk = writer.finish();
    ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, 1));
    EXPECT_EQ(out, Bytes{0xE8});
  }
  {
    ChunkWriter writer(15);
    writer.uncompressed({'x'}, {1, 1, 1});
    const Bytes chunk = writer.finish();
    ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, 1));
    EXPECT_EQ(out, Bytes{'x'});
    // The padding byte after the odd byte may be missing at the very end.
    EXPECT_TRUE(decode(decoder, chunk, chunk.size() - 1, out, 1));
    EXPECT_FALSE(decode(decoder, chunk, chunk.size() - 2, out, 1));
  }
}

// The operand that follows an E8 byte at position p, once decoded, when the
// chunk of `size` bytes stored it as `stored`.
std::uint32_t decodedOperand(std::size_t size, std::size_t p, std::uint32_t stored) {
  Bytes data(size, '.');
  data[p] = 0xE8;
  for (int i = 0; i < 4; ++i) data[p + 1 + i] = static_cast<std::uint8_t>(stored >> (8 * i));
  ChunkWriter writer(15);
  writer.uncompressed(data, {1, 1, 1});
  const Bytes chunk = writer.finish();
  wim::LzxDecoder decoder(32768);
  Bytes out;
  if (!decode(decoder, chunk, chunk.size(), out, size)) return 0xDEADBEEF;
  return out[p + 1] | out[p + 2] << 8 | out[p + 3] << 16 |
         static_cast<std::uint32_t>(out[p + 4]) << 24;
}

// After an E8 byte at position p that starts before the last 10 bytes, the
// 32-bit operand A was made an absolute target: when 0 <= A < 12000000 the
// original was A - p, when -p <= A < 0 it was A + 12000000, else A.
TEST(LzxDecoder, UndoesTheCallTranslation) {
  const std::uint32_t minus = 0xFFFFFFFFu;  // -1
  EXPECT_EQ(decodedOperand(100, 5, 5000), 5000u - 5);
  EXPECT_EQ(decodedOperand(100, 25, 11999999), 11999999u - 25);
  EXPECT_EQ(decodedOperand(100, 20, 12000000), 12000000u);
  EXPECT_EQ(decodedOperand(100, 10, minus - 9), minus - 9 + 12000000);  // -10 at 10
  EXPECT_EQ(decodedOperand(100, 15, minus - 15), minus - 15);  // -16 at 15: before the start
  EXPECT_EQ(decodedOperand(100, 0, minus), minus);             // at 0 nothing lies before
  EXPECT_EQ(decodedOperand(100, 89, 300), 300u - 89);          // 11 from the end
  EXPECT_EQ(decodedOperand(100, 90, 300), 300u);               // 10 from the end
  EXPECT_EQ(decodedOperand(12, 1, 300), 299u);
  EXPECT_EQ(decodedOperand(12, 2, 300), 300u);

  // The four operand bytes are never taken for an E8 of their own: the one
  // at 4 would change 8388624 at 5, were it seen.
  Bytes data(40, '.');
  const Bytes calls{0xE8, 0xE8, 0x10, 0x00, 0x80, 0x00, 0xE8, 0x10, 0x00, 0x00, 0x00};
  std::copy(calls.begin(), calls.end(), data.begin() + 3);
  ChunkWriter writer(15);
  writer.uncompressed(data, {1, 1, 1});
  const Bytes chunk = writer.finish();
  wim::LzxDecoder decoder(32768);
  Bytes out;
  ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, data.size()));
  Bytes wanted = data;
  wanted[10] = 16 - 9;  // the call at 9; the one at 3 holds a negative target
  EXPECT_TRUE(out == wanted);
}

TEST(LzxDecoder, RefusesBadBlocks) {
  wim::LzxDecoder decoder(32768);
  Bytes out;
  auto refused = [&](ChunkWriter& writer, std::size_t outSize) {
    const Bytes chunk = writer.finish();
    return !decode(decoder, chunk, chunk.size(), out, outSize);
  };
  {  // a match from before the chunk's start
    ChunkWriter writer(15);
    writer.compressedBlock(false, 10);
    writer.literal('a');
    writer.match(9, 2);
    EXPECT_TRUE(refused(writer, 10));
  }
  {  // a match past its block's end, though not past the chunk's
    ChunkWriter writer(15);
    writer.compressedBlock(false, 5);
    writer.literal('a');
    writer.match(5, 1);
    writer.compressedBlock(false, 1);
    writer.literal('b');
    EXPECT_TRUE(refused(writer, 7));
  }
  {  // a long match with an empty length code
    ChunkWriter writer(15);
    writer.compressedBlock(false, 20, false);
    writer.literal('a');
    writer.match(19, 1);
    EXPECT_TRUE(refused(writer, 20));
  }
  {  // a block of 0 bytes, and one longer than the chunk
    ChunkWriter empty(15), longer(15);
    empty.uncompressed({}, {1, 1, 1});
    EXPECT_TRUE(refused(empty, 1));
    longer.uncompressed({'a', 'b'}, {1, 1, 1});
    EXPECT_TRUE(refused(longer, 1));
  }
  {  // an offset of 0 in an uncompressed block
    ChunkWriter writer(15);
    writer.uncompressed({'a', 'b'}, {1, 0, 1});
    EXPECT_TRUE(refused(writer, 2));
  }
  for (unsigned type : {0u, 4u, 5u, 6u, 7u}) {
    ChunkWriter writer(15);
    writer.header(type, 100);
    writer.put(0, 32);
    EXPECT_TRUE(refused(writer, 100)) << type;
  }
}

// A run of zero lengths at the end of the literals' list may overshoot into
// the match symbols' old lengths, which the next list then changes: wimlib
// reads such chunks so, and so does this decoder.
TEST(LzxDecoder, LetsLengthRunsOvershoot) {
  std::vector<std::uint8_t> lengths(496, 0);  // no codes for literals 200-255
  for (int s = 0; s < 496; ++s)
    lengths[s] = s < 128 ? 8 : s < 200 ? 10 : s < 256 ? 0 : s < 456 ? 9 : 10;
  ChunkWriter writer(15);
  writer.compressedBlock(false, 10);
  for (int i = 0; i < 10; ++i) writer.literal(static_cast<std::uint8_t>('A' + i));
  writer.useMainCode(Code(lengths));
  writer.compressedBlock(false, 10, true, 56);  // runs of 51 and 20: 15 past the literals
  for (int i = 0; i < 6; ++i) writer.literal(static_cast<std::uint8_t>('a' + i));
  writer.match(4, 1);
  const Bytes chunk = writer.finish();
  wim::LzxDecoder decoder(32768);
  Bytes out;
  ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, 20));
  EXPECT_EQ(std::string(out.begin(), out.end()), "ABCDEFGHIJabcdefffff");
}

// wimlib's decoder (the peer this one is checked against) makes sure of 16
// bits before each main symbol but loads a word only when it must. When an
// uncompressed block of the default size follows a block whose last symbol
// was short, that can leave one whole word loaded beyond the bits used, and
// the padding before R0-R2 then takes that word too. This decoder reads
// such chunks as wimlib does: with 3 literals of 9 bits below, the block
// header ends 4 bits into a word while 16 bits past the last literal's start
// reach into the next.
TEST(LzxDecoder, AlignsUncompressedBlocksAsWimlibDoes) {
  Bytes stored(32768);
  for (std::size_t i = 0; i < stored.size(); ++i)
    stored[i] = static_cast<std::uint8_t>(i * 7 & 0x7F);
  std::vector<std::uint8_t> lengths(512, 0);  // 64 codes of 7 bits, 256 of 9
  for (int s = 0; s < 320; ++s) lengths[s] = s < 64 ? 7 : 9;
  for (unsigned literals : {3u, 4u}) {
    ChunkWriter writer(16);
    writer.useMainCode(Code(lengths));
    writer.compressedBlock(false, literals, false);
    for (unsigned i = 0; i < literals; ++i) writer.literal(static_cast<std::uint8_t>('a' + i));
    writer.uncompressed(stored, {1, 1, 1}, literals == 3);
    const Bytes chunk = writer.finish();
    wim::LzxDecoder decoder(65536);
    Bytes out;
    ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, writer.expected.size())) << literals;
    EXPECT_TRUE(out == writer.expected) << literals;
  }
}

}  // namespace
