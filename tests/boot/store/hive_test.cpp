#include "boot/store/hive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace boot {
namespace {

// Offsets of the few fields the tests look at directly.
constexpr std::size_t kBins = 0x1000;

Key sampleTree() {
  Key root{u"NewStoreRoot", {}, {}};
  Key& d = subkey(root, u"Description");
  setValue(d, u"KeyName", kRegSz, regSzData(u"BCD00000000"));
  setValue(d, u"Type", kRegDword, regDwordData(0x10100002));
  setValue(d, u"", kRegSz, regSzData(u"default value"));
  setValue(d, u"Empty", kRegBinary, {});
  setValue(d, u"Four", kRegBinary, {1, 2, 3, 4});
  setValue(d, u"Five", kRegBinary, {1, 2, 3, 4, 5});
  setValue(d, u"List", kRegMultiSz, regMultiSzData({u"{a}", u"{b}"}));
  setValue(d, u"Qword", 11, {8, 7, 6, 5, 4, 3, 2, 1});
  setValue(d, u"Odd type", 0x12345678, {9});
  setValue(d, u"Full cell", kRegBinary, le::Bytes(kMaxCellData, 0xA5));
  setValue(d, u"caf\u00e9", kRegSz, regSzData(u"Latin-1 name"));
  setValue(d, u"\u0416\u0436", kRegSz, regSzData(u"\u0416 UTF-16 name and data"));
  subkey(subkey(subkey(root, u"Objects"), u"{9dea862c-5cdd-4e70-acc1-f32b344d4795}"), u"Elements");
  subkey(root, u"\u043a\u043b\u044e\u0447");
  return root;
}

// Same names, types and data; subkeys in any order (the file keeps them
// sorted).
void expectSameTree(const Key& want, const Key& got, const std::string& path) {
  EXPECT_EQ(want.name, got.name) << path;
  ASSERT_EQ(want.values.size(), got.values.size()) << path;
  for (std::size_t i = 0; i < want.values.size(); ++i) {
    EXPECT_EQ(want.values[i].name, got.values[i].name) << path;
    EXPECT_EQ(want.values[i].type, got.values[i].type) << path;
    EXPECT_EQ(want.values[i].data, got.values[i].data) << path << " " << i;
  }
  ASSERT_EQ(want.subkeys.size(), got.subkeys.size()) << path;
  for (const Key& k : want.subkeys) {
    const Key* found = findSubkey(got, k.name);
    ASSERT_NE(found, nullptr) << path << "\\" << narrow(k.name);
    expectSameTree(k, *found, path + "\\" + narrow(k.name));
  }
}

le::Bytes written(const Key& root) {
  le::Bytes hive;
  std::string reason;
  EXPECT_TRUE(writeHive(root, hive, reason)) << reason;
  return hive;
}

TEST(Hive, RoundTripKeepsEveryKeyAndValue) {
  const Key tree = sampleTree();
  const le::Bytes hive = written(tree);
  Key back;
  std::string reason;
  ASSERT_TRUE(readHive(hive, back, reason)) << reason;
  expectSameTree(tree, back, "");
}

TEST(Hive, BaseBlockAndBinsFollowTheFormat) {
  const le::Bytes hive = written(sampleTree());
  ASSERT_GE(hive.size(), 8192u);  // the least hivex opens
  EXPECT_EQ(hive.size() % 4096, 0u);
  EXPECT_EQ(std::string(hive.begin(), hive.begin() + 4), "regf");
  EXPECT_EQ(le::u32(hive, 4), le::u32(hive, 8));
  EXPECT_EQ(le::u32(hive, 0x14), 1u);
  EXPECT_EQ(le::u32(hive, 0x18), 3u);
  EXPECT_EQ(le::u32(hive, 0x28), hive.size() - kBins);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 0x1FC; i += 4) sum ^= le::u32(hive, i);
  EXPECT_EQ(le::u32(hive, 0x1FC), sum);

  // Cells tile each bin to its last byte.
  for (std::size_t bin = kBins; bin < hive.size();) {
    ASSERT_EQ(std::string(hive.begin() + bin, hive.begin() + bin + 4), "hbin");
    EXPECT_EQ(le::u32(hive, bin + 4), bin - kBins);
    const std::size_t end = bin + le::u32(hive, bin + 8);
    std::size_t cell = bin + 0x20;
    while (cell < end) {
      const auto size = static_cast<std::int32_t>(le::u32(hive, cell));
      const std::size_t length = static_cast<std::size_t>(size < 0 ? -size : size);
      ASSERT_TRUE(length >= 8 && length % 8 == 0) << cell;
      cell += length;
    }
    EXPECT_EQ(cell, end);
    bin = end;
  }

  // Root: flags 0x2C; one sk shared by all six keys, linked to itself.
  const std::size_t root = kBins + le::u32(hive, 0x24) + 4;
  EXPECT_EQ(le::u16(hive, root + 2), 0x2C);
  const std::size_t sk = kBins + le::u32(hive, root + 0x2C) + 4;
  EXPECT_EQ(std::string(hive.begin() + sk, hive.begin() + sk + 2), "sk");
  EXPECT_EQ(le::u32(hive, sk + 4), sk - 4 - kBins);
  EXPECT_EQ(le::u32(hive, sk + 8), sk - 4 - kBins);
  EXPECT_EQ(le::u32(hive, sk + 0xC), 6u);
  EXPECT_EQ(le::u32(hive, sk + 0x10), 100u);
  // Root: 3 subkeys, longest name "Description" (22 bytes as UTF-16).
  EXPECT_EQ(le::u32(hive, root + 0x14), 3u);
  EXPECT_EQ(le::u32(hive, root + 0x34), 22u);
}

TEST(Hive, SubkeysAreSortedByUpperCaseName) {
  Key root{u"R", {}, {}};
  for (const char16_t* name : {u"\u00e9t\u00e9", u"_", u"B", u"Description", u"a"})
    subkey(root, name);
  Key back;
  std::string reason;
  ASSERT_TRUE(readHive(written(root), back, reason)) << reason;
  std::vector<std::u16string> order;
  for (const Key& k : back.subkeys) order.push_back(k.name);
  // Upper case: A B DESCRIPTION _ ÉTÉ (the plain and the lower-case sort differ).
  const std::vector<std::u16string> want{u"a", u"B", u"Description", u"_", u"\u00e9t\u00e9"};
  EXPECT_EQ(order, want);
}

TEST(Hive, ManySubkeysSplitIntoAnIndex) {
  Key root{u"R", {}, {}};
  for (int i = 1299; i >= 0; --i) subkey(root, widen("key" + std::to_string(i)));
  const le::Bytes hive = written(root);
  const std::size_t nk = kBins + le::u32(hive, 0x24) + 4;
  const std::size_t ri = kBins + le::u32(hive, nk + 0x1C) + 4;
  EXPECT_EQ(std::string(hive.begin() + ri, hive.begin() + ri + 2), "ri");
  EXPECT_EQ(le::u16(hive, ri + 2), 3);  // 500 + 500 + 300
  const std::size_t lh = kBins + le::u32(hive, ri + 4) + 4;
  EXPECT_EQ(std::string(hive.begin() + lh, hive.begin() + lh + 2), "lh");
  EXPECT_EQ(le::u16(hive, lh + 2), 500);

  Key back;
  std::string reason;
  ASSERT_TRUE(readHive(hive, back, reason)) << reason;
  ASSERT_EQ(back.subkeys.size(), 1300u);
  for (std::size_t i = 1; i < back.subkeys.size(); ++i)
    EXPECT_LT(back.subkeys[i - 1].name, back.subkeys[i].name);
  // The lh hash: upper-case units, times 37.
  std::uint32_t hash = 0;
  for (char16_t c : back.subkeys[0].name) hash = hash * 37 + upcase(c);
  EXPECT_EQ(le::u32(hive, lh + 8), hash);
}

TEST(Hive, WriterRefusesWhatAHiveCannotHold) {
  le::Bytes hive;
  std::string reason;
  Key big{u"R", {}, {}};
  setValue(big, u"v", kRegBinary, le::Bytes(kMaxCellData + 1));
  EXPECT_FALSE(writeHive(big, hive, reason));
  EXPECT_NE(reason.find("more data"), std::string::npos) << reason;

  Key twice{u"R", {}, {}};
  twice.subkeys.push_back(Key{u"Objects", {}, {}});
  twice.subkeys.push_back(Key{u"OBJECTS", {}, {}});
  EXPECT_FALSE(writeHive(twice, hive, reason));
  EXPECT_NE(reason.find("twice"), std::string::npos) << reason;

  Key unnamed{u"R", {}, {Key{}}};
  EXPECT_FALSE(writeHive(unnamed, hive, reason));
  EXPECT_TRUE(hive.empty());
}

bool reads(const le::Bytes& hive, std::string& reason) {
  Key root{u"untouched", {}, {}};
  const bool ok = readHive(hive, root, reason);
  if (!ok) {
    EXPECT_EQ(root.name, u"untouched");
  }
  return ok;
}

// Where a field of the root key's nk cell sits in the file.
std::size_t rootField(const le::Bytes& hive, std::size_t field) {
  return kBins + le::u32(hive, 0x24) + 4 + field;
}

void fixChecksum(le::Bytes& hive) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 0x1FC; i += 4) sum ^= le::u32(hive, i);
  le::put(hive, 0x1FC, 4, sum);
}

TEST(Hive, ReaderRefusesDamagedFiles) {
  const le::Bytes good = written(sampleTree());
  std::string reason;
  ASSERT_TRUE(reads(good, reason)) << reason;

  le::Bytes cut(good.begin(), good.begin() + 8191);
  EXPECT_FALSE(reads(cut, reason));
  cut.assign(good.begin(), good.end() - 4096);
  EXPECT_FALSE(reads(cut, reason));
  EXPECT_NE(reason.find("size of bins"), std::string::npos) << reason;

  le::Bytes sum = good;
  sum[0x0C] ^= 1;
  EXPECT_FALSE(reads(sum, reason));
  EXPECT_NE(reason.find("checksum"), std::string::npos) << reason;

  le::Bytes far = good;
  le::put(far, rootField(far, 0x1C), 4, static_cast<std::uint32_t>(good.size()));
  EXPECT_FALSE(reads(far, reason));
  EXPECT_NE(reason.find("no cell"), std::string::npos) << reason;

  le::Bytes inside = good;  // points into the middle of a cell
  le::put(inside, rootField(inside, 0x1C), 4, le::u32(good, rootField(good, 0x1C)) + 8);
  EXPECT_FALSE(reads(inside, reason));

  le::Bytes bigRoot = good;  // root found again as its own subkey
  const std::size_t list = kBins + le::u32(good, rootField(good, 0x1C)) + 4;
  le::put(bigRoot, list + 4, 4, le::u32(good, 0x24));
  EXPECT_FALSE(reads(bigRoot, reason));
  EXPECT_NE(reason.find("used twice"), std::string::npos) << reason;

  le::Bytes count = good;
  le::put(count, rootField(count, 0x14), 4, 5);
  EXPECT_FALSE(reads(count, reason));

  le::Bytes zeroCell = good;  // a cell of size 0 would never end the walk
  le::put(zeroCell, kBins + 0x20, 4, 0);
  EXPECT_FALSE(reads(zeroCell, reason));

  le::Bytes name = good;
  le::put(name, rootField(name, 0x48), 2, 0xFFFF);
  EXPECT_FALSE(reads(name, reason));

  le::Bytes version = good;
  le::put(version, 0x14, 4, 2);
  fixChecksum(version);
  EXPECT_FALSE(reads(version, reason));
}

// Every single-byte change of a small hive: read or refused, never a read
// outside the buffer (the sanitizers watch).
TEST(Hive, ReaderSurvivesEveryByteFlipped) {
  Key root{u"R", {}, {}};
  Key& k = subkey(root, u"Key");
  setValue(k, u"s", kRegSz, regSzData(u"text"));
  setValue(k, u"b", kRegBinary, {1, 2});
  subkey(k, u"Sub");
  const le::Bytes good = written(root);
  const std::size_t used = kBins + 0x200;  // the cells all sit in the first bin's start
  int refused = 0;
  for (std::size_t at = kBins; at < used; ++at) {
    le::Bytes bad = good;
    bad[at] ^= 0xFF;
    Key out;
    std::string reason;
    if (!readHive(bad, out, reason)) ++refused;
  }
  EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace boot
