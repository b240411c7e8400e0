// edk2's variable store file, built here from its layout: what is read from
// it, how a variable is replaced, and what is refused untouched.
#include <gtest/gtest.h>

#include "boot/firmware/load_option.h"
#include "boot/firmware/variable_store.h"

namespace {

using le::Bytes;

constexpr std::size_t kHeaderLength = 72, kStoreAt = 72, kFirstVariable = 100;
const boot::Guid kOtherVendor = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};

void putGuid(Bytes& file, std::size_t at, const char* text) {
  boot::Guid guid;
  ASSERT_TRUE(boot::parseGuid(text, guid));
  std::copy(guid.bytes.begin(), guid.bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
}

void fixChecksum(Bytes& file) {
  le::put(file, 0x32, 2, 0);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kHeaderLength; i += 2) sum += le::u16(file, i);
  le::put(file, 0x32, 2, (0x10000 - (sum & 0xFFFF)) & 0xFFFF);
}

// An empty store of `storeSize` bytes (its header included) in a volume of
// `volumeSize`, as OVMF ships one.
Bytes emptyStore(std::size_t volumeSize = 0x4000, std::size_t storeSize = 0x2000) {
  Bytes file(volumeSize, 0xFF);
  std::fill(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(kStoreAt + 28), 0);
  putGuid(file, 0x10, "FFF12B8D-7696-4C8B-A985-2747075B4F50");
  le::put(file, 0x20, 8, volumeSize);
  le::put(file, 0x28, 4, 0x4856465F);  // _FVH
  le::put(file, 0x2C, 4, 0x0004FEFF);
  le::put(file, 0x30, 2, kHeaderLength);
  file[0x37] = 2;
  le::put(file, 0x38, 4, volumeSize / 0x1000);
  le::put(file, 0x3C, 4, 0x1000);
  fixChecksum(file);
  putGuid(file, kStoreAt, "AAF32C78-947B-439A-A180-2E144EC37792");
  le::put(file, kStoreAt + 0x10, 4, storeSize);
  file[kStoreAt + 0x14] = 0x5A;
  file[kStoreAt + 0x15] = 0xFE;
  return file;
}

boot::VariableWrite variable(const std::u16string& name, Bytes data,
                             const boot::Guid& vendor = boot::kEfiGlobalVariable) {
  return {name, vendor, boot::kBootVariableAttributes, std::move(data)};
}

boot::VariableStore storeOf(const Bytes& file) {
  boot::VariableStore store;
  std::string reason;
  EXPECT_TRUE(boot::readVariableStore(file, store, reason)) << reason;
  return store;
}

TEST(VariableStore, NewVariableIsAppendedWithItsHeaderFieldByField) {
  Bytes file = emptyStore();
  std::string reason;
  ASSERT_TRUE(
      boot::writeVariables(file, {variable(u"BootOrder", {0x01, 0x00, 0x00, 0x00})}, reason))
      << reason;
  const std::size_t at = kFirstVariable;
  EXPECT_EQ(le::u16(file, at), 0x55AA);
  EXPECT_EQ(file[at + 2], 0x3F);  // added
  EXPECT_EQ(le::u32(file, at + 4), 7u);
  EXPECT_EQ(le::u64(file, at + 8), 0u);  // monotonic count
  EXPECT_EQ(Bytes(file.begin() + at + 16, file.begin() + at + 32), Bytes(16, 0));  // time
  EXPECT_EQ(le::u32(file, at + 32), 0u);                                           // key index
  EXPECT_EQ(le::u32(file, at + 36), 20u);  // "BootOrder" + NUL
  EXPECT_EQ(le::u32(file, at + 40), 4u);
  EXPECT_TRUE(std::equal(boot::kEfiGlobalVariable.bytes.begin(),
                         boot::kEfiGlobalVariable.bytes.end(), file.begin() + at + 44));
  EXPECT_EQ(le::u16(file, at + 60), 'B');
  EXPECT_EQ(le::u16(file, at + 60 + 18), 0);
  EXPECT_EQ(Bytes(file.begin() + at + 80, file.begin() + at + 84), (Bytes{1, 0, 0, 0}));
  // Everything after it is still free space.
  EXPECT_TRUE(std::all_of(file.begin() + at + 84, file.end(), [](auto b) { return b == 0xFF; }));
  const boot::VariableStore store = storeOf(file);
  EXPECT_EQ(store.freeStart, at + 84);
  ASSERT_NE(boot::liveVariable(store, u"BootOrder", boot::kEfiGlobalVariable), nullptr);
}

TEST(VariableStore, OldCopyIsMarkedDeletedAndTheNewOneAppended) {
  Bytes file = emptyStore();
  std::string reason;
  ASSERT_TRUE(
      boot::writeVariables(file,
                           {variable(u"Boot0000", {1, 2, 3}),
                            variable(u"Boot0000", {9}, kOtherVendor), variable(u"Timeout", {5, 0})},
                           reason));
  const Bytes before = file;
  ASSERT_TRUE(boot::writeVariables(file, {variable(u"Boot0000", {4, 5, 6, 7})}, reason)) << reason;
  const boot::VariableStore store = storeOf(file);
  ASSERT_EQ(store.variables.size(), 4u);
  EXPECT_EQ(store.variables[0].state, 0x3D);  // deleted
  EXPECT_EQ(store.variables[1].state, 0x3F);  // the same name under another vendor stays
  EXPECT_EQ(store.variables[2].state, 0x3F);
  EXPECT_EQ(store.variables[3].offset, storeOf(before).freeStart);  // at a 4-byte boundary
  EXPECT_EQ(store.variables[3].offset % 4, 0u);
  const boot::StoredVariable* live =
      boot::liveVariable(store, u"Boot0000", boot::kEfiGlobalVariable);
  ASSERT_NE(live, nullptr);
  EXPECT_EQ(live->data, (Bytes{4, 5, 6, 7}));
  // Only the old copy's state byte changed among the bytes that were there.
  std::size_t changed = 0;
  for (std::size_t i = 0; i < storeOf(before).freeStart; ++i) changed += file[i] != before[i];
  EXPECT_EQ(changed, 1u);
  EXPECT_EQ(file[kFirstVariable + 2], 0x3D);
}

TEST(VariableStore, FullStoreIsRefusedUnchanged) {
  Bytes file = emptyStore(0x4000, 28 + 200);
  std::string reason;
  ASSERT_TRUE(boot::writeVariables(file, {variable(u"A", Bytes(60, 1))}, reason)) << reason;
  const Bytes before = file;
  EXPECT_FALSE(boot::writeVariables(file, {variable(u"A", Bytes(60, 2))}, reason));
  EXPECT_NE(reason.find("full"), std::string::npos) << reason;
  EXPECT_EQ(file, before);
}

TEST(VariableStore, FileThatIsNoStoreIsRefusedUnchanged) {
  struct Case {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  };
  const Case cases[] = {
      {"no _FVH", 0x28, 'X'},
      {"another volume GUID", 0x10, 0x00},
      {"another variable store GUID", kStoreAt, 0x16},
      {"store not formatted", kStoreAt + 0x14, 0xFF},
      {"store size past the volume", kStoreAt + 0x12, 0x01},
  };
  for (const Case& c : cases) {
    Bytes file = emptyStore();
    file[c.at] = c.value;
    if (c.at >= 0x10 && c.at < kHeaderLength && c.at != 0x28) fixChecksum(file);
    const Bytes before = file;
    std::string reason;
    EXPECT_FALSE(boot::writeVariables(file, {variable(u"BootOrder", {0, 0})}, reason)) << c.what;
    EXPECT_EQ(file, before) << c.what;
  }
  Bytes badSum = emptyStore();
  badSum[0x2C] ^= 1;
  std::string reason;
  boot::VariableStore store;
  EXPECT_FALSE(boot::readVariableStore(badSum, store, reason));
  EXPECT_NE(reason.find("checksum"), std::string::npos) << reason;
  EXPECT_FALSE(boot::readVariableStore(Bytes(0x40, 0), store, reason));
}

TEST(VariableStore, VariableRunningPastTheStoreIsRefused) {
  Bytes file = emptyStore();
  std::string reason;
  ASSERT_TRUE(boot::writeVariables(file, {variable(u"Boot0000", {1, 2})}, reason));
  le::put(file, kFirstVariable + 40, 4, 0x10000);  // data size beyond the store's end
  boot::VariableStore store;
  EXPECT_FALSE(boot::readVariableStore(file, store, reason));
  const Bytes before = file;
  EXPECT_FALSE(boot::writeVariables(file, {variable(u"BootOrder", {0, 0})}, reason));
  EXPECT_EQ(file, before);
}

}  // namespace
