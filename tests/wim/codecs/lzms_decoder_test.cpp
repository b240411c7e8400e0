// The LZMS decoder against chunks that wimlib compressed (make-codec-vectors.sh),
// against damaged copies of them, and against chunks written here item by item
// (literals and repeated LZ matches) for what wimlib's chunks cannot pin down:
// the x86 filter at the edges of a chunk and of its reach, the order in which
// recent offsets enter their queue, a chunk of one byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "wim/codecs/lzms_decoder.h"
#include "tests/wim/codec_test_support.h"

namespace {

using codectest::Bytes;
using codectest::Vector;
using codectest::vectorDir;

// Every LZMS chunk, of all chunk sizes.
const std::vector<Vector>& vectors() {
  static const auto* const all = [] {
    auto* flat = new std::vector<Vector>;
    for (const auto& group : codectest::vectorsOf("lzms"))
      flat->insert(flat->end(), group.second.begin(), group.second.end());
    return flat;
  }();
  return *all;
}

const Vector* vectorNamed(const std::string& name) {
  for (const Vector& v : vectors())
    if (v.name == name) return &v;
  return nullptr;
}

le::ByteSpan spanOf(const Bytes& bytes) { return {bytes.data(), bytes.size()}; }

// Output with guard bytes after it: whatever the decoder makes of its input,
// they must stay as they were.
struct GuardedOutput {
  static constexpr std::size_t kGuard = 64;
  explicit GuardedOutput(std::size_t size) : size(size), bytes(size + kGuard, 0xA5) {}
  std::uint8_t* data() { return bytes.data(); }
  bool guardIntact() const {
    for (std::size_t i = size; i < bytes.size(); ++i)
      if (bytes[i] != 0xA5) return false;
    return true;
  }
  Bytes content() const { return Bytes(bytes.begin(), bytes.begin() + size); }
  std::size_t size;
  Bytes bytes;
};

// ---------------------------------------------------------------------------
// Chunks compressed by wimlib.

TEST(LzmsDecoder, DecodesEveryWimlibChunk) {
  ASSERT_GE(vectors().size(), 16u)
      << "no LZMS chunks in " << vectorDir() << ": did make-codec-vectors.sh run?";
  std::set<std::uint32_t> chunkSizes;
  for (const Vector& v : vectors()) {
    wim::LzmsDecoder decoder(v.chunkSize);
    GuardedOutput out(v.original.size());
    EXPECT_TRUE(decoder.decompress(spanOf(v.compressed), out.data(), out.size)) << v.name;
    EXPECT_TRUE(out.content() == v.original) << v.name;
    EXPECT_TRUE(out.guardIntact()) << v.name;
    chunkSizes.insert(v.chunkSize);
  }
  // Both the chunks of plain resources and the larger ones of solid ones.
  EXPECT_EQ(chunkSizes, (std::set<std::uint32_t>{131072, 1048576}));
  // Every kind of item and the x86 filter are in there.
  for (const char* name : {"lzms-131072-calls", "lzms-131072-samples", "lzms-1048576-records",
                           "lzms-1048576-real", "lzms-131072-short-words"}) {
    EXPECT_NE(vectorNamed(name), nullptr) << name;
  }
}

// One decoder serves chunk after chunk, of any size and order, without
// anything of one chunk reaching the next.
TEST(LzmsDecoder, OneDecoderForManyChunks) {
  ASSERT_FALSE(vectors().empty());
  wim::LzmsDecoder decoder(1 << 20);
  for (int round = 0; round < 2; ++round) {
    for (const Vector& v : vectors()) {
      Bytes out(v.original.size());
      ASSERT_TRUE(decoder.decompress(spanOf(v.compressed), out.data(), out.size())) << v.name;
      ASSERT_TRUE(out == v.original) << v.name << " in round " << round;
    }
  }
  // Chunks with x86 code one after the other, the same one twice: the
  // filter's memory of call targets must start afresh for each.
  const Vector* calls = vectorNamed("lzms-131072-calls");
  const Vector* shortCalls = vectorNamed("lzms-131072-short-calls");
  ASSERT_NE(calls, nullptr);
  ASSERT_NE(shortCalls, nullptr);
  for (const Vector* v : {calls, calls, shortCalls, calls}) {
    Bytes out(v->original.size());
    ASSERT_TRUE(decoder.decompress(spanOf(v->compressed), out.data(), out.size()));
    EXPECT_TRUE(out == v->original) << v->name;
  }
}

TEST(LzmsDecoder, MovedDecoderKeepsWorking) {
  const Vector* words = vectorNamed("lzms-131072-words");
  ASSERT_NE(words, nullptr);
  wim::LzmsDecoder first(131072);
  wim::LzmsDecoder second(std::move(first));
  Bytes out(words->original.size());
  ASSERT_TRUE(second.decompress(spanOf(words->compressed), out.data(), out.size()));
  EXPECT_TRUE(out == words->original);
}

// ---------------------------------------------------------------------------
// Damaged input: never a read or write out of bounds (AddressSanitizer and
// the guard bytes watch), never a hang, and false wherever it shows.

TEST(LzmsDecoder, RefusesWhatCannotBeAChunk) {
  wim::LzmsDecoder decoder(131072);
  GuardedOutput out(100);
  const Bytes four = {0, 0, 0, 0};
  const Bytes odd = {1, 2, 3, 4, 5};
  EXPECT_FALSE(decoder.decompress({nullptr, 0}, out.data(), 100));
  EXPECT_FALSE(decoder.decompress({four.data(), 0}, out.data(), 100));
  EXPECT_FALSE(decoder.decompress({four.data(), 2}, out.data(), 100));  // no range decoder
  EXPECT_FALSE(decoder.decompress(spanOf(odd), out.data(), 100));       // not 16-bit words
  EXPECT_FALSE(decoder.decompress(spanOf(four), nullptr, 100));
  // Larger than the resource's chunks: a damaged size, refused up front.
  const Vector* words = vectorNamed("lzms-131072-words");
  ASSERT_NE(words, nullptr);
  wim::LzmsDecoder small(1000);
  Bytes big(words->original.size());
  EXPECT_FALSE(small.decompress(spanOf(words->compressed), big.data(), big.size()));
  EXPECT_TRUE(out.guardIntact());
}

TEST(LzmsDecoder, AllOnesAndAllZeros) {
  wim::LzmsDecoder decoder(1 << 20);
  for (std::size_t inSize : {4u, 6u, 8u, 30u, 1000u, 65536u}) {
    for (std::uint8_t fill : {std::uint8_t{0xFF}, std::uint8_t{0x00}}) {
      for (std::size_t outSize : {1u, 17u, 18u, 4096u, 131072u}) {
        const Bytes in(inSize, fill);
        GuardedOutput out(outSize);
        const bool ok = decoder.decompress(spanOf(in), out.data(), outSize);
        EXPECT_TRUE(out.guardIntact()) << inSize << " " << outSize;
        if (fill == 0xFF) {
          // The first item is a match at the first byte.
          EXPECT_FALSE(ok) << inSize << " " << outSize;
        } else {
          // All zeros is a true chunk of zero bytes, as long as the input
          // holds their codewords: 8 bits each for the first 1024.
          if (ok) {
            EXPECT_TRUE(out.content() == Bytes(outSize, 0)) << inSize << " " << outSize;
          }
          if (std::min<std::size_t>(outSize, 1024) > inSize + 8) {
            EXPECT_FALSE(ok) << inSize << " " << outSize;
          }
        }
      }
    }
  }
}

TEST(LzmsDecoder, CutChunksFail) {
  wim::LzmsDecoder decoder(1 << 20);
  int cuts = 0;
  for (const Vector& v : vectors()) {
    // Cutting the end moves the start of the backward stream: what comes
    // out runs past one of the chunk's ends or out of the output.
    for (std::size_t cut = 2; cut <= 40 && cut + 4 <= v.compressed.size(); cut += 2) {
      const Bytes shorter(v.compressed.begin(), v.compressed.end() - cut);
      GuardedOutput out(v.original.size());
      EXPECT_FALSE(decoder.decompress(spanOf(shorter), out.data(), out.size)) << v.name << cut;
      EXPECT_TRUE(out.guardIntact()) << v.name << " cut " << cut;
      ++cuts;
    }
  }
  EXPECT_GT(cuts, 300);
}

TEST(LzmsDecoder, WrongOutputSizes) {
  wim::LzmsDecoder decoder(1 << 21);
  for (const Vector& v : vectors()) {
    const std::size_t size = v.original.size();
    // Far too large: decoding goes on into the other stream until the two
    // cross, or past the output; caught either way.
    for (std::size_t extra : {64u, 1000u, 100000u}) {
      GuardedOutput out(size + extra);
      EXPECT_FALSE(decoder.decompress(spanOf(v.compressed), out.data(), out.size))
          << v.name << " +" << extra;
      EXPECT_TRUE(out.guardIntact()) << v.name;
    }
    // Smaller: not always detectable (the first bytes may come out right),
    // but never more bytes than asked for.
    for (std::size_t less : {1u, 2u, 16u, 1000u}) {
      if (less >= size) continue;
      GuardedOutput out(size - less);
      decoder.decompress(spanOf(v.compressed), out.data(), out.size);
      EXPECT_TRUE(out.guardIntact()) << v.name << " -" << less;
    }
  }
}

// Flipped bits anywhere: the decoder agrees with itself whatever happens
// (the same damage gives the same answer twice) and stays in bounds.
TEST(LzmsDecoder, FlippedBitsStayInBounds) {
  wim::LzmsDecoder decoder(1 << 20);
  std::uint32_t seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  int refused = 0;
  int tries = 0;
  for (const Vector& v : vectors()) {
    for (int round = 0; round < (v.chunkSize > 131072 ? 6 : 24); ++round) {
      Bytes damaged = v.compressed;
      for (int flips = 1 + static_cast<int>(next() % 3); flips > 0; --flips)
        damaged[next() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (next() % 8));
      GuardedOutput first(v.original.size());
      GuardedOutput second(v.original.size());
      const bool ok = decoder.decompress(spanOf(damaged), first.data(), first.size);
      EXPECT_EQ(decoder.decompress(spanOf(damaged), second.data(), second.size), ok);
      if (ok) {
        EXPECT_TRUE(first.content() == second.content()) << v.name;
      }
      EXPECT_TRUE(first.guardIntact()) << v.name;
      refused += ok ? 0 : 1;
      ++tries;
    }
  }
  // A flip in the range-coded stream or in a codeword throws everything after
  // it off; most such chunks fail somewhere.
  EXPECT_GT(refused, tries / 2);
}

// Inputs the fuzzer (fuzz/lzms_fuzzer.cpp) found, kept so that they stay
// fixed. The first has a delta match of span 1, whose copy reached the byte
// before its source through an index that wrapped around.
TEST(LzmsDecoder, FuzzerFindings) {
  const Bytes spanOneDelta = {
      0x0C, 0x7A, 0x54, 0x88, 0xEE, 0x67, 0xDE, 0xC0, 0x8B, 0xB7, 0xBA, 0xBF, 0x0A, 0xA6,
      0xD7, 0x74, 0xCF, 0xA0, 0x04, 0xEB, 0x00, 0x00, 0x00, 0x3C, 0xEF, 0xA1, 0xC5, 0x2E,
      0x14, 0xDA, 0x82, 0xBE, 0x1B, 0x8E, 0x06, 0x94, 0x0D, 0x74, 0x48, 0x1F, 0x02, 0x01,
      0x58, 0x07, 0x79, 0x04, 0x08, 0x71, 0xE2, 0xD6, 0x18, 0xB8, 0x13, 0xE7, 0xE0, 0x1F,
      0x73, 0x12, 0x11, 0xEF, 0x58, 0xAE, 0x96, 0x40, 0xCA, 0x13, 0xF7, 0xC1, 0xE4, 0xD2,
      0x89, 0xB3, 0xC8, 0x06, 0xEA, 0x92, 0x79, 0x10, 0x44, 0x32, 0xF1, 0x51, 0x74, 0xE0,
      0x89, 0xB8, 0x42, 0x0C, 0x1C, 0x6A, 0x63, 0x63,
  };
  wim::LzmsDecoder decoder(131072);
  GuardedOutput out(131072);
  decoder.decompress(spanOf(spanOneDelta), out.data(), out.size);
  EXPECT_TRUE(out.guardIntact());
}

// ---------------------------------------------------------------------------
// Chunks written here. The writer knows the first codes only: literals are
// all 8 bits long (256 symbols of equal count), so a literal's codeword is
// the byte itself, for the first 1024 literals of a chunk; length slots are
// 6 bits for slots 0-43 (codewords 20 + slot) and 5 bits for slots 44-53.
// That split is where ties between leaves and merged nodes are decided:
// a decoder that breaks them the other way reads other codewords.

class ChunkWriter {
 public:
  ChunkWriter() {
    for (Context* context : {&main_, &match_, &lz_, &repeat0_, &repeat1_}) {
      context->state = 0;
      for (Entry& entry : context->entries) entry = {0x0000000055555555ull, 48};
    }
    main_.mask = 15;
    match_.mask = 31;
    lz_.mask = repeat0_.mask = repeat1_.mask = 63;
  }

  void literal(std::uint8_t byte) {
    ASSERT_LT(literals_, 1024) << "the literal code changes after 1024 literals";
    ++literals_;
    encode(main_, 0);
    putBits(byte, 8);
  }

  void literals(const Bytes& bytes) {
    for (std::uint8_t byte : bytes) literal(byte);
  }

  // An LZ match at a recent offset (0 = most recent), of 1 to 26 bytes.
  void repeatMatch(unsigned index, unsigned length) {
    ASSERT_TRUE(length >= 1 && length <= 26);
    ASSERT_LT(lengths_, 512) << "the length code changes after 512 lengths";
    ++lengths_;
    encode(main_, 1);
    encode(match_, 0);
    encode(lz_, 1);
    encode(repeat0_, index == 0 ? 0 : 1);
    if (index != 0) encode(repeat1_, index == 1 ? 0 : 1);
    putBits(20 + (length - 1), 6);
  }

  Bytes finish() {
    forward_.push_back(static_cast<std::uint16_t>(low_ >> 16));
    forward_.push_back(static_cast<std::uint16_t>(low_));
    if (used_ != 0) backward_.push_back(static_cast<std::uint16_t>(pending_ << (16 - used_)));
    Bytes chunk;
    const auto put = [&chunk](std::uint16_t word) {
      chunk.push_back(static_cast<std::uint8_t>(word));
      chunk.push_back(static_cast<std::uint8_t>(word >> 8));
    };
    for (std::uint16_t word : forward_) put(word);
    // The bit reader starts at the end: the first word written goes last.
    for (auto word = backward_.rbegin(); word != backward_.rend(); ++word) put(*word);
    return chunk;
  }

  // The backward words alone are what a literal's bits went to.
  std::size_t backwardWords() const { return backward_.size() + (used_ != 0 ? 1 : 0); }

 private:
  struct Entry {
    std::uint64_t recent;
    std::uint32_t zeros;
  };
  struct Context {
    std::uint32_t state;
    std::uint32_t mask;
    Entry entries[64];
  };

  // A range encoder whose low end is kept in a 32-bit window above the
  // words already written; a carry out of the window goes into them.
  void encode(Context& context, unsigned bit) {
    Entry& entry = context.entries[context.state];
    if (range_ <= 0xFFFF) {
      forward_.push_back(static_cast<std::uint16_t>(low_ >> 16));
      low_ = (low_ & 0xFFFF) << 16;
      range_ <<= 16;
    }
    const std::uint32_t chance = entry.zeros == 0 ? 1 : entry.zeros == 64 ? 63 : entry.zeros;
    const std::uint32_t bound = (range_ >> 6) * chance;
    if (bit == 0) {
      range_ = bound;
    } else {
      low_ += bound;
      range_ -= bound;
      if (low_ >> 32 != 0) {
        low_ &= 0xFFFFFFFFu;
        for (auto word = forward_.rbegin(); word != forward_.rend(); ++word)
          if (++*word != 0) break;
      }
    }
    const unsigned leaving = static_cast<unsigned>(entry.recent >> 63);
    entry.recent = (entry.recent << 1) | bit;
    entry.zeros = entry.zeros + leaving - bit;
    context.state = ((context.state << 1) | bit) & context.mask;
  }

  void putBits(std::uint32_t value, unsigned count) {
    while (count-- > 0) {
      pending_ = (pending_ << 1) | ((value >> count) & 1);
      if (++used_ == 16) {
        backward_.push_back(static_cast<std::uint16_t>(pending_));
        pending_ = 0;
        used_ = 0;
      }
    }
  }

  Context main_, match_, lz_, repeat0_, repeat1_;
  std::vector<std::uint16_t> forward_;
  std::vector<std::uint16_t> backward_;
  std::uint64_t low_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
  std::uint32_t pending_ = 0;
  unsigned used_ = 0;
  int literals_ = 0;
  int lengths_ = 0;
};

Bytes decodeAll(const Bytes& chunk, std::size_t size, bool* ok = nullptr) {
  wim::LzmsDecoder decoder(1 << 16);
  GuardedOutput out(size);
  const bool decoded = decoder.decompress(spanOf(chunk), out.data(), size);
  EXPECT_TRUE(out.guardIntact());
  if (ok != nullptr) *ok = decoded;
  return decoded ? out.content() : Bytes();
}

TEST(LzmsWrittenChunk, Literals) {
  const std::string text = "Roamdeck writes LZMS by hand: a literal, and another.";
  ChunkWriter writer;
  writer.literals(Bytes(text.begin(), text.end()));
  const Bytes decoded = decodeAll(writer.finish(), text.size());
  EXPECT_EQ(std::string(decoded.begin(), decoded.end()), text);
}

// A chunk of one byte: no offset can fit in it, so its offset codes have no
// symbols at all.
TEST(LzmsWrittenChunk, OneByte) {
  ChunkWriter writer;
  writer.literal('x');
  EXPECT_EQ(decodeAll(writer.finish(), 1), Bytes{'x'});
}

TEST(LzmsWrittenChunk, MissingBitsFail) {
  Bytes text(300);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>(i * 7);
  ChunkWriter writer;
  writer.literals(text);
  const std::size_t codewordBytes = 2 * writer.backwardWords();
  const Bytes chunk = writer.finish();
  EXPECT_EQ(decodeAll(chunk, text.size()), text);
  // Without the literals' words the bit reader runs into the range coder's,
  // then past the start: the streams overlap.
  const Bytes rangeOnly(chunk.begin(), chunk.end() - static_cast<std::ptrdiff_t>(codewordBytes));
  bool ok = true;
  decodeAll(rangeOnly, text.size(), &ok);
  EXPECT_FALSE(ok);
  // One byte more than was written needs one more item from the streams,
  // which they do not have room for... at least one literal's worth past
  // the read-ahead that encoders may leave out.
  bool longerOk = true;
  decodeAll(chunk, text.size() + 8, &longerOk);
  EXPECT_FALSE(longerOk);
}

// The first recent offsets are 1, 2, 3; the offset a match used is out of
// the queue until the item after it, and joins the front then.
TEST(LzmsWrittenChunk, RepeatOffsetsAndTheirDelay) {
  {  // offset 1 makes a run
    ChunkWriter writer;
    writer.literal('a');
    writer.repeatMatch(0, 10);
    EXPECT_EQ(decodeAll(writer.finish(), 11), Bytes(11, 'a'));
  }
  {  // offsets 2 and 3
    ChunkWriter writer;
    writer.literals({'a', 'b', 'c'});
    writer.repeatMatch(2, 3);  // offset 3: "abc"
    writer.literal('d');
    writer.repeatMatch(1, 2);
    const Bytes decoded = decodeAll(writer.finish(), 9);
    // After "abc" + "abc" the queue is {1, 2, 4} with 3 waiting; the literal
    // lets it in: {3, 1, 2, 4}. Index 1 is then offset 1: "dd".
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), "abcabcddd");
  }
  {  // two matches in a row: the first one's offset is not in the queue yet
    ChunkWriter writer;
    writer.literals({'a', 'b'});
    writer.repeatMatch(1, 4);  // offset 2: "abab"; queue {1, 3, 4}, 2 waiting
    writer.repeatMatch(0, 3);  // offset 1, not 2: "bbb"; then 2 goes in front
    writer.literal('c');       // lets the second match's offset (1) in: {1, 2, 3, 4}
    writer.repeatMatch(1, 2);  // offset 2: "bc"
    const Bytes decoded = decodeAll(writer.finish(), 12);
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()),
              "ababab"
              "bbb"
              "c"
              "bc");
  }
}

// ---------------------------------------------------------------------------
// The x86 filter. A call (E8) is translated back only within 511 bytes after
// code was recognised: an instruction whose 16-bit target was used by
// another less than 64 KiB before it. Translating back subtracts the call's
// position from its operand. Neither the first byte of a chunk nor its last
// 16 bytes start an instruction.

void putCall(Bytes& data, std::size_t at, std::uint32_t operand) {
  data[at] = 0xE8;
  for (int i = 0; i < 4; ++i) data[at + 1 + i] = static_cast<std::uint8_t>(operand >> (8 * i));
}

std::uint32_t operandAt(const Bytes& data, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | data[at + 1 + i];
  return value;
}

// Two calls to one target at `first` and `second`, then a call at `third`;
// returns what the decoder gives for the bytes written.
Bytes filteredCalls(std::size_t size, std::size_t first, std::size_t second, std::size_t third,
                    Bytes* written) {
  Bytes data(size, 0x90);
  const std::uint32_t target = 0x4321;
  putCall(data, first, target - static_cast<std::uint32_t>(first));
  putCall(data, second, target - static_cast<std::uint32_t>(second));
  putCall(data, third, 0x00ABCDEFu);
  ChunkWriter writer;
  writer.literals(data);
  *written = data;
  return decodeAll(writer.finish(), size);
}

TEST(LzmsX86Filter, CallNearTheEnd) {
  const std::size_t size = 200;
  Bytes written;
  // 17 bytes before the end: the last place an instruction may start.
  Bytes decoded = filteredCalls(size, 10, 30, size - 17, &written);
  ASSERT_EQ(decoded.size(), size);
  EXPECT_EQ(operandAt(decoded, size - 17), 0x00ABCDEFu - (size - 17));
  // Everything else as written: the first two calls came before any code
  // was recognised.
  Bytes expected = written;
  for (int i = 0; i < 4; ++i) expected[size - 16 + i] = decoded[size - 16 + i];
  EXPECT_EQ(decoded, expected);

  // 16 bytes before the end: left alone.
  decoded = filteredCalls(size, 10, 30, size - 16, &written);
  EXPECT_EQ(decoded, written);
}

TEST(LzmsX86Filter, FirstByteIsNeverAnInstruction) {
  Bytes written;
  // The first call at byte 0 is not seen, so the second one recognises
  // nothing and the third stays as it is.
  Bytes decoded = filteredCalls(200, 0, 30, 100, &written);
  EXPECT_EQ(decoded, written);
  // The same at byte 1.
  decoded = filteredCalls(200, 1, 30, 100, &written);
  EXPECT_EQ(operandAt(decoded, 100), 0x00ABCDEFu - 100);
}

TEST(LzmsX86Filter, ReachOfRecognisedCode) {
  Bytes written;
  // Code is recognised at the end of the second call's operand, 30 + 4.
  Bytes decoded = filteredCalls(800, 10, 30, 34 + 511, &written);
  EXPECT_EQ(operandAt(decoded, 34 + 511), 0x00ABCDEFu - (34 + 511));
  decoded = filteredCalls(800, 10, 30, 34 + 512, &written);
  EXPECT_EQ(decoded, written);
}

TEST(LzmsX86Filter, ShortChunksAreLeftAlone) {
  for (std::size_t size : {17u, 18u, 40u}) {
    Bytes data(size, 0xE8);
    ChunkWriter writer;
    writer.literals(data);
    const Bytes decoded = decodeAll(writer.finish(), size);
    if (size <= 17) {
      EXPECT_EQ(decoded, data) << size;
    } else {
      EXPECT_EQ(decoded.size(), size);
    }
  }
}

}  // namespace
