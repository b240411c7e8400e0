// bcdboot's way into the running system's store, which Windows keeps loaded
// as HKLM\BCD00000000: Wine loads no such store, so the hive list names none,
// and the registry writing is tried on a key of the test's own.
#include <windows.h>

#include <gtest/gtest.h>

#include "boot/store/bcd_store.h"
#include "boot/store/hive.h"
#include "tools/bcdboot/boot_files.h"

namespace {

constexpr char kTestKey[] = "SOFTWARE\\RoamdeckLoadedStoreTest";

struct ScratchKey {
  ScratchKey() {
    HKEY key = nullptr;
    created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr) == ERROR_SUCCESS;
    if (key) RegCloseKey(key);
  }
  ~ScratchKey() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKey); }
  bool created = false;
};

boot::Key storeFor(const boot::Guid& loader) {
  boot::BcdBootRequest request;
  request.systemPartition.mbrSignature = 0x12345678;
  request.systemPartition.startBytes = 1048576;
  request.windowsPartition = request.systemPartition;
  request.loader = loader;
  boot::parseGuid("{11111111-2222-4333-8444-555555555555}", request.resume);
  boot::Key store;
  std::string reason;
  EXPECT_TRUE(boot::buildStore(request, store, reason)) << reason;
  return store;
}

TEST(LoadedStore, WineLoadsNoSystemStore) {
  std::string key;
  EXPECT_FALSE(tools::loadedStoreKey("C:\\Boot\\BCD", key));
}

TEST(LoadedStore, AStoreWrittenThroughTheRegistryReadsBackAndLosesWhatWentAway) {
  ScratchKey scratch;
  ASSERT_TRUE(scratch.created);
  boot::Guid first, second;
  boot::parseGuid("{aaaaaaaa-0000-4000-8000-000000000001}", first);
  boot::parseGuid("{aaaaaaaa-0000-4000-8000-000000000002}", second);
  std::string reason;
  ASSERT_TRUE(tools::writeLoadedStore(kTestKey, storeFor(first), reason)) << reason;

  // Written again with another loader: the first one's key must go.
  const boot::Key wanted = storeFor(second);
  ASSERT_TRUE(tools::writeLoadedStore(kTestKey, wanted, reason)) << reason;
  boot::Key read;
  ASSERT_TRUE(tools::readLoadedStore(kTestKey, read, reason)) << reason;
  std::vector<boot::BcdObject> got, expected;
  ASSERT_TRUE(boot::readStore(read, got, reason)) << reason;
  ASSERT_TRUE(boot::readStore(wanted, expected, reason)) << reason;
  EXPECT_EQ(boot::describeStore(got), boot::describeStore(expected));
  EXPECT_EQ(boot::findObject(got, boot::guidText(first)), nullptr);
  EXPECT_NE(boot::findObject(got, boot::guidText(second)), nullptr);
}

}  // namespace
