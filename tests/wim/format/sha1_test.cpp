// SHA-1 against the test vectors of FIPS 180 and against sha1sum's digests of
// the files the apply's images are made from.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "wim/format/sha1.h"
#include "tests/wim/apply_test_support.h"

namespace {

std::string hexOf(const std::string& text) {
  return wim::sha1Hex(wim::sha1Of(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Sha1, KnownVectors) {
  EXPECT_EQ(hexOf(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hexOf("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hexOf("The quick brown fox jumps over the lazy dog"),
            "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");
}

// The padding changes shape at 55, 56 and 64 bytes: one block or two.
TEST(Sha1, LengthsAroundTheBlockEdge) {
  EXPECT_EQ(hexOf(std::string(55, 'a')), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
  EXPECT_EQ(hexOf(std::string(56, 'a')), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
  EXPECT_EQ(hexOf(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
}

// A million 'a' fed in pieces of awkward sizes gives the digest of the whole.
TEST(Sha1, PiecesMakeTheWhole) {
  const std::string million(1000000, 'a');
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(million.data());
  wim::Sha1 sha1;
  std::size_t at = 0, piece = 1;
  while (at < million.size()) {
    const std::size_t take = std::min(piece, million.size() - at);
    sha1.update(bytes + at, take);
    at += take;
    piece = piece * 3 % 997 + 1;
  }
  EXPECT_EQ(wim::sha1Hex(sha1.finish()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(wim::sha1Hex(wim::sha1Of(bytes, million.size())),
            "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, ZeroDigestMeansNoData) {
  EXPECT_TRUE(wim::isZeroDigest(wim::Sha1Digest{}));
  wim::Sha1Digest one{};
  one[19] = 1;
  EXPECT_FALSE(wim::isZeroDigest(one));
}

// Every file of the big tree, against sha1sum's list made with it.
TEST(Sha1, AgreesWithSha1sumOnTheFixtureFiles) {
  std::ifstream list(wimtest::fixturePath("full.sha1"));
  ASSERT_TRUE(list) << "full.sha1 is missing: did make-apply-fixtures.sh run?";
  const wimtest::fs::path tree = wimtest::fixtureFsPath("trees") / "full";
  std::string line;
  int checked = 0;
  while (std::getline(list, line)) {
    ASSERT_GT(line.size(), 42u) << line;
    const std::string expected = line.substr(0, 40);
    const std::string name = line.substr(42);
    const wimtest::Bytes bytes = wimtest::fileBytes(tree / wimtest::fs::u8path(name));
    EXPECT_EQ(wim::sha1Hex(wim::sha1Of(bytes.data(), bytes.size())), expected) << name;
    ++checked;
  }
  EXPECT_GE(checked, 16);
}

}  // namespace
