// The XPRESS decoder against chunks that wimlib compressed (make-codec-vectors.sh),
// against damaged copies of them, and against chunks written here symbol by
// symbol for what wimlib never writes: a second block, the longest lengths,
// one byte of output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "wim/codecs/xpress_decoder.h"
#include "tests/wim/codec_test_support.h"

namespace {

using codectest::Bytes;
using codectest::Vector;

const codectest::VectorsBySize& vectors() { return codectest::vectorsOf("xpress"); }

bool decode(wim::XpressDecoder& decoder, const Bytes& in, std::size_t inSize, Bytes& out,
            std::size_t outSize) {
  out.assign(outSize, 0);
  return decoder.decompress(le::ByteSpan{in.data(), inSize}, out.data(), outSize);
}

// Writes one block with a code that gives every symbol 9 bits, its code
// being the symbol's number. Words go where the format's decoder loads them:
// it keeps 16 to 31 bits loaded, so the bytes of a long length sit after the
// word beyond the one being read. `expected` follows along.
class BlockWriter {
 public:
  BlockWriter(Bytes& out, Bytes& expected) : out_(out), expected_(expected) {
    out_.insert(out_.end(), 256, 0x99);
  }

  void literal(std::uint8_t byte) {
    put(byte, 9);
    expected_.push_back(byte);
  }

  void match(std::size_t length, std::size_t distance) {
    unsigned high = 0;
    while (distance >> (high + 1) != 0) ++high;
    const std::size_t extra = length - 3;
    put(256 + (high << 4) + (extra < 15 ? extra : 15), 9);
    if (extra >= 15) {
      if (extra - 15 < 255) {
        byte(static_cast<std::uint8_t>(extra - 15));
      } else {
        byte(255);
        byte(static_cast<std::uint8_t>(extra));
        byte(static_cast<std::uint8_t>(extra >> 8));
      }
    }
    put(static_cast<std::uint32_t>(distance - (std::size_t{1} << high)), high);
    if (distance > expected_.size()) {  // a bad match, for a chunk that must be refused
      expected_.insert(expected_.end(), length, 0);
      return;
    }
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint8_t byte = expected_[expected_.size() - distance];
      expected_.push_back(byte);
    }
  }

  // A byte between the words, where the format's decoder reads one.
  void byte(std::uint8_t value) {
    reserveWords(loaded());
    lastByteAt_ = out_.size();
    out_.push_back(value);
  }
  std::size_t lastByteAt() const { return lastByteAt_; }

  // Every word the format's decoder loads: the next block starts after them.
  void endBlock() { reserveWords(loaded()); }

  // The end-of-data symbol that Microsoft's decoder looks for, then the words.
  void finish() {
    put(256, 9);
    endBlock();
  }

 private:
  std::size_t loaded() const { return std::max<std::size_t>(2, 1 + (used_ + 15) / 16); }

  void reserveWords(std::size_t count) {
    while (words_.size() < count) {
      words_.push_back(out_.size());
      out_.insert(out_.end(), 2, 0);
    }
  }

  void put(std::uint32_t value, unsigned count) {
    for (unsigned i = count; i-- > 0; ++used_) {
      reserveWords(used_ / 16 + 1);
      const unsigned bit = 15 - used_ % 16;
      if (value >> i & 1) out_[words_[used_ / 16] + (bit >= 8 ? 1 : 0)] |= 1 << (bit % 8);
    }
  }

  Bytes& out_;
  Bytes& expected_;
  std::vector<std::size_t> words_;  // where each word of the block lies
  std::size_t used_ = 0;            // bits written
  std::size_t lastByteAt_ = 0;
};

TEST(XpressDecoder, DecodesEveryChunkOfWimlib) {
  codectest::expectEveryChunkDecodes<wim::XpressDecoder>(vectors());
}

// Cut chunks fail: only the last two bytes (the end-of-data symbol's word)
// are not needed. A shorter output is the start of the chunk, or refused; a
// longer one needs bits the chunk does not have.
TEST(XpressDecoder, RefusesCutChunksAndWrongSizes) {
  for (const auto& [chunkSize, group] : vectors()) {
    wim::XpressDecoder decoder(chunkSize);
    for (const Vector& vector : group) {
      const std::size_t size = vector.compressed.size();
      const std::size_t original = vector.original.size();
      Bytes out;
      for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{255}, std::size_t{256},
                              std::size_t{257}, size / 2, size - 3}) {
        if (cut >= size) continue;
        EXPECT_FALSE(decode(decoder, vector.compressed, cut, out, original))
            << vector.name << " cut to " << cut;
      }
      for (std::size_t more : {1, 2, 100}) {
        if (original + more > chunkSize) continue;
        EXPECT_FALSE(decode(decoder, vector.compressed, size, out, original + more)) << vector.name;
      }
      for (std::size_t fewer : {1, 3, 1000}) {
        if (fewer >= original || !decode(decoder, vector.compressed, size, out, original - fewer))
          continue;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), vector.original.begin())) << vector.name;
      }
      EXPECT_FALSE(decode(decoder, vector.compressed, size, out, chunkSize + 1)) << vector.name;
    }
  }
}

// Damage anywhere may decode to something or not, but never reaches outside
// the buffers (the sanitizers watch), and leaves the decoder fit for the
// next chunk.
TEST(XpressDecoder, SurvivesFlippedBytes) {
  std::uint32_t random = 12345;
  for (const auto& [chunkSize, group] : vectors()) {
    wim::XpressDecoder decoder(chunkSize);
    for (const Vector& vector : group) {
      Bytes out;
      for (int round = 0; round < 40; ++round) {
        Bytes damaged = vector.compressed;
        for (int flips = 0; flips <= round % 4; ++flips) {
          random = random * 1103515245u + 12345u;
          // Half the flips hit the code lengths, half the symbols.
          const std::size_t at = round % 2 ? random % 256 : random % damaged.size();
          damaged[at] ^= static_cast<std::uint8_t>(1u << (random >> 16) % 8);
        }
        decode(decoder, damaged, damaged.size(), out, vector.original.size());
      }
      ASSERT_TRUE(decode(decoder, vector.compressed, vector.compressed.size(), out,
                         vector.original.size()));
      EXPECT_TRUE(out == vector.original) << vector.name;
    }
  }
}

TEST(XpressDecoder, RefusesWhatIsNoChunk) {
  wim::XpressDecoder decoder(65536);
  Bytes out(65536);
  const Bytes ones(4096, 0xFF);  // every length 15: far too few codes
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{ones.data(), ones.size()}, out.data(), 4096));
  const Bytes zeros(4096, 0x00);  // no codes at all
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{zeros.data(), zeros.size()}, out.data(), 100));
  Bytes halves(4096, 0x00);  // symbols 0 and 1 of one bit each: complete, and all literals
  halves[0] = 0x11;
  EXPECT_TRUE(decoder.decompress(le::ByteSpan{halves.data(), halves.size()}, out.data(), 100));
  halves[1] = 0x01;  // a third code of one bit: too many
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{halves.data(), halves.size()}, out.data(), 100));
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{}, out.data(), 100));
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{zeros.data(), 0}, out.data(), 100));
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{zeros.data(), zeros.size()}, nullptr, 100));
  EXPECT_FALSE(decoder.decompress(le::ByteSpan{zeros.data(), zeros.size()}, out.data(), 0));
}

TEST(XpressDecoder, DecodesOneByte) {
  Bytes chunk, expected;
  BlockWriter block(chunk, expected);
  block.literal('x');
  block.finish();
  wim::XpressDecoder decoder(4096);
  Bytes out;
  ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, 1));
  EXPECT_EQ(out, Bytes{'x'});
}

// Lengths in one extra byte (18 to 272) and in a 16-bit word (273 and up),
// at many positions in the bit stream, and a distance of 15 extra bits.
TEST(XpressDecoder, DecodesLongLengths) {
  Bytes chunk, expected;
  BlockWriter block(chunk, expected);
  for (int i = 0; i < 300; ++i) block.literal(static_cast<std::uint8_t>(i * 7));
  for (std::size_t length : {3, 17, 18, 19, 200, 272, 273, 274, 1000}) {
    for (int shift = 0; shift < 5; ++shift) {
      block.literal(static_cast<std::uint8_t>(length + shift));
      block.match(length, 1 + length % 290);
    }
  }
  block.match(30000, 7);
  while (expected.size() < 65536 - 3) block.literal(static_cast<std::uint8_t>(expected.size()));
  block.match(3, 65533);
  block.finish();
  ASSERT_EQ(expected.size(), 65536u);
  wim::XpressDecoder decoder(65536);
  Bytes out;
  ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, expected.size()));
  EXPECT_TRUE(out == expected);
}

TEST(XpressDecoder, RefusesBadMatches) {
  wim::XpressDecoder decoder(4096);
  Bytes out;
  {  // farther back than the output goes
    Bytes chunk, expected{'a', 'b'};
    BlockWriter block(chunk, expected);
    block.literal('a');
    block.match(3, 2);
    block.finish();
    EXPECT_FALSE(decode(decoder, chunk, chunk.size(), out, 4));
  }
  {  // longer than the output
    Bytes chunk, expected;
    BlockWriter block(chunk, expected);
    block.literal('a');
    block.match(10, 1);
    block.finish();
    EXPECT_TRUE(decode(decoder, chunk, chunk.size(), out, 11));
    EXPECT_FALSE(decode(decoder, chunk, chunk.size(), out, 10));
  }
  {  // a 16-bit length below 15 is refused, as Microsoft's decoder does
    Bytes chunk, expected;
    BlockWriter block(chunk, expected);
    block.literal('a');
    block.match(18, 1);  // writes its one extra byte: 0
    block.finish();
    Bytes bad = chunk;
    // Make the extra byte 255 and follow it by the word 14, shifting the rest.
    const std::size_t at = block.lastByteAt();
    ASSERT_EQ(bad[at], 0);
    bad[at] = 255;
    bad.insert(bad.begin() + at + 1, {14, 0});
    EXPECT_FALSE(decode(decoder, bad, bad.size(), out, 1 + 14 + 3));
    bad[at + 1] = 15;  // 15 is the least
    ASSERT_TRUE(decode(decoder, bad, bad.size(), out, 19));
    EXPECT_EQ(out, Bytes(19, 'a'));
    // Without its extra byte the chunk is cut.
    EXPECT_FALSE(decode(decoder, chunk, at, out, 19));
  }
}

// Past 65536 bytes of output a new block starts, with a table of its own,
// after the words the format's decoder has loaded; a match may reach into
// the new block's output.
TEST(XpressDecoder, ReadsASecondBlock) {
  Bytes chunk, expected;
  {
    BlockWriter first(chunk, expected);
    first.literal('a');
    first.match(65535 + 3, 1);  // to byte 65539, past the block's end
    first.endBlock();
  }
  BlockWriter second(chunk, expected);
  for (std::uint8_t byte : {'x', 'y', 'z'}) second.literal(byte);
  second.match(5, 3);
  second.finish();
  ASSERT_EQ(expected.size(), 65547u);
  wim::XpressDecoder decoder(131072);
  Bytes out;
  ASSERT_TRUE(decode(decoder, chunk, chunk.size(), out, expected.size()));
  EXPECT_TRUE(out == expected);
  // Never more output than the chunk size.
  wim::XpressDecoder small(65536);
  EXPECT_FALSE(decode(small, chunk, chunk.size(), out, expected.size()));
}

}  // namespace
