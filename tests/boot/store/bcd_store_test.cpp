#include "boot/store/bcd_store.h"

#include <gtest/gtest.h>

#include <string>

namespace boot {
namespace {

Guid guid(const char* text) {
  Guid g;
  EXPECT_TRUE(parseGuid(text, g)) << text;
  return g;
}

le::Bytes hexBytes(const std::string& hex) {
  le::Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

PartitionDevice mbr(std::uint32_t signature, std::uint64_t start) {
  PartitionDevice d;
  d.mbrSignature = signature;
  d.startBytes = start;
  return d;
}

BcdBootRequest biosRequest() {
  BcdBootRequest r;
  r.systemPartition = mbr(0xB3EBA8F1, 0x100000);
  r.windowsPartition = mbr(0xB3EBA8F1, 0x15F00000);
  r.description = u"Windows 10";
  r.locale = "zh-CN";
  r.loader = guid("{11111111-2222-3333-4444-555555555555}");
  r.resume = guid("{66666666-7777-8888-9999-aaaaaaaaaaaa}");
  return r;
}

std::vector<BcdObject> objectsOf(const Key& store) {
  std::vector<BcdObject> objects;
  std::string reason;
  EXPECT_TRUE(readStore(store, objects, reason)) << reason;
  return objects;
}

// The element of an object as describeElement prints it, without the id.
std::string shown(const std::vector<BcdObject>& objects, const std::string& object,
                  std::uint32_t id) {
  const BcdObject* o = findObject(objects, object);
  if (!o) return "(no object)";
  const BcdElement* e = findElement(*o, id);
  return e ? describeElement(*e).substr(9) : "(none)";
}

std::size_t loaders(const std::vector<BcdObject>& objects) {
  std::size_t n = 0;
  for (const BcdObject& o : objects) n += o.type == bcd::kTypeOsLoader;
  return n;
}

TEST(BcdStore, GuidsKeepWindowsByteOrder) {
  const Guid g = guid("{9DEA862C-5CDD-4E70-ACC1-F32B344D4795}");
  EXPECT_EQ(le::Bytes(g.bytes.begin(), g.bytes.end()),
            hexBytes("2c86ea9ddd5c704eacc1f32b344d4795"));
  EXPECT_EQ(guidText(g), bcd::kBootmgr);
  Guid bad;
  EXPECT_FALSE(parseGuid("{9dea862c-5cdd-4e70-acc1-f32b344d479}", bad));
  EXPECT_FALSE(parseGuid("9dea862c-5cdd-4e70-acc1+f32b344d4795", bad));
  EXPECT_FALSE(parseGuid("{9dea862c-5cdd-4e70-acc1-f32b344d479g}", bad));
}

TEST(BcdStore, PartitionDeviceElements) {
  const le::Bytes want = hexBytes(std::string(32, '0') + "06000000000000004800000000000000" +
                                  "0000f01500000000000000000000000000000000" + "01000000" +
                                  "f1a8ebb3" + std::string(56, '0'));
  ASSERT_EQ(want.size(), 88u);
  EXPECT_EQ(partitionDeviceData(mbr(0xB3EBA8F1, 0x15F00000)), want);

  PartitionDevice gpt;
  gpt.style = PartitionStyle::Gpt;
  gpt.diskGuid = guid("{00112233-4455-6677-8899-aabbccddeeff}");
  gpt.partitionGuid = guid("{01234567-89ab-cdef-0123-456789abcdef}");
  const le::Bytes data = partitionDeviceData(gpt);
  ASSERT_EQ(data.size(), 88u);
  EXPECT_EQ(le::Bytes(data.begin() + 0x10, data.begin() + 0x20),
            hexBytes("06000000000000004800000000000000"));
  EXPECT_EQ(le::Bytes(data.begin() + 0x20, data.begin() + 0x30),
            hexBytes("67452301ab89efcd0123456789abcdef"));
  EXPECT_EQ(le::u32(data, 0x34), 0u);
  EXPECT_EQ(le::Bytes(data.begin() + 0x38, data.begin() + 0x48),
            hexBytes("33221100554477668899aabbccddeeff"));
  EXPECT_EQ(le::Bytes(data.begin() + 0x48, data.end()), le::Bytes(16, 0));

  PartitionDevice back;
  ASSERT_TRUE(readPartitionDevice(data, back));
  EXPECT_TRUE(samePartition(back, gpt));
  EXPECT_FALSE(samePartition(back, mbr(0, 0)));
  EXPECT_FALSE(readPartitionDevice(le::Bytes(data.begin(), data.end() - 1), back));
}

TEST(BcdStore, BiosStoreHoldsTheEntryAndTheSettings) {
  Key store;
  std::string reason;
  ASSERT_TRUE(buildStore(biosRequest(), store, reason)) << reason;
  EXPECT_EQ(store.name, u"NewStoreRoot");
  const Value* keyName = findValue(*findSubkey(store, u"Description"), u"KeyName");
  ASSERT_NE(keyName, nullptr);
  EXPECT_EQ(keyName->data, regSzData(u"BCD00000000"));
  // Keys as a store spells them: lower-case GUIDs and element ids.
  const Key* loaderKey =
      findSubkey(*findSubkey(store, u"Objects"), u"{11111111-2222-3333-4444-555555555555}");
  ASSERT_NE(loaderKey, nullptr);
  const Key* elements = findSubkey(*loaderKey, u"Elements");
  ASSERT_NE(elements, nullptr);
  std::size_t named = 0;
  for (const Key& e : elements->subkeys) named += e.name == u"12000004" || e.name == u"25000020";
  EXPECT_EQ(named, 2u);

  const auto objects = objectsOf(store);
  EXPECT_EQ(objects.size(), 11u);
  const std::string loader = "{11111111-2222-3333-4444-555555555555}";
  const std::string resume = "{66666666-7777-8888-9999-aaaaaaaaaaaa}";
  using namespace bcd;
  const std::string system = "partition mbr disk b3eba8f1 start 1048576";
  const std::string windows = "partition mbr disk b3eba8f1 start 368050176";

  EXPECT_EQ(findObject(objects, kBootmgr)->type, kTypeBootmgr);
  EXPECT_EQ(shown(objects, kBootmgr, kDevice), system);
  EXPECT_EQ(shown(objects, kBootmgr, kPath), "(none)");
  EXPECT_EQ(shown(objects, kBootmgr, kDescription), "\"Windows Boot Manager\"");
  EXPECT_EQ(shown(objects, kBootmgr, kLocale), "\"zh-CN\"");
  EXPECT_EQ(shown(objects, kBootmgr, kInherit), kGlobalSettings);
  EXPECT_EQ(shown(objects, kBootmgr, kDefaultObject), "\"" + loader + "\"");
  EXPECT_EQ(shown(objects, kBootmgr, kResumeObject), "\"" + resume + "\"");
  EXPECT_EQ(shown(objects, kBootmgr, kDisplayOrder), loader);
  EXPECT_EQ(shown(objects, kBootmgr, kToolsDisplayOrder), kMemdiag);
  EXPECT_EQ(shown(objects, kBootmgr, kTimeout), "30");

  EXPECT_EQ(findObject(objects, loader)->type, kTypeOsLoader);
  EXPECT_EQ(shown(objects, loader, kDevice), windows);
  EXPECT_EQ(shown(objects, loader, kOsDevice), windows);
  EXPECT_EQ(shown(objects, loader, kPath), "\"\\Windows\\system32\\winload.exe\"");
  EXPECT_EQ(shown(objects, loader, kSystemRoot), "\"\\Windows\"");
  EXPECT_EQ(shown(objects, loader, kDescription), "\"Windows 10\"");
  EXPECT_EQ(shown(objects, loader, kInherit), kBootLoaderSettings);
  EXPECT_EQ(shown(objects, loader, kDefaultObject), "\"" + resume + "\"");
  EXPECT_EQ(shown(objects, loader, kNx), "0");
  EXPECT_EQ(shown(objects, loader, kIsolatedContext), "(none)");

  EXPECT_EQ(findObject(objects, resume)->type, kTypeResume);
  EXPECT_EQ(shown(objects, resume, kPath), "\"\\Windows\\system32\\winresume.exe\"");
  EXPECT_EQ(shown(objects, resume, kOsDevice), windows);
  EXPECT_EQ(shown(objects, resume, kSystemRoot), "\"\\hiberfil.sys\"");
  EXPECT_EQ(shown(objects, resume, kDescription), "\"Windows Resume Application\"");
  EXPECT_EQ(shown(objects, resume, kInherit), kResumeLoaderSettings);

  EXPECT_EQ(findObject(objects, kMemdiag)->type, kTypeMemdiag);
  EXPECT_EQ(shown(objects, kMemdiag, kDevice), system);
  EXPECT_EQ(shown(objects, kMemdiag, kPath), "\"\\boot\\memtest.exe\"");
  EXPECT_EQ(shown(objects, kMemdiag, kBadMemoryAccess), "1");
  EXPECT_EQ(findElement(*findObject(objects, kMemdiag), kBadMemoryAccess)->data, le::Bytes{1});

  EXPECT_EQ(shown(objects, kGlobalSettings, kInherit),
            std::string(kDbgSettings) + " " + kEmsSettings + " " + kBadMemory);
  EXPECT_EQ(shown(objects, kBootLoaderSettings, kInherit),
            std::string(kGlobalSettings) + " " + kHypervisorSettings);
  EXPECT_EQ(findObject(objects, kHypervisorSettings)->type, kTypeLoaderSettings);
  EXPECT_EQ(shown(objects, kHypervisorSettings, kHypervisorBaudRate), "115200");
  EXPECT_EQ(findElement(*findObject(objects, kDbgSettings), kDebugType)->data,
            hexBytes("0400000000000000"));
  EXPECT_EQ(findElement(*findObject(objects, kEmsSettings), kEmsEnabled)->data, le::Bytes{0});
  EXPECT_TRUE(findObject(objects, kBadMemory)->elements.empty());
}

TEST(BcdStore, UefiStoreNamesEfiFiles) {
  BcdBootRequest r = biosRequest();
  r.firmware = Firmware::uefi;
  Key store;
  std::string reason;
  ASSERT_TRUE(buildStore(r, store, reason)) << reason;
  const auto objects = objectsOf(store);
  const std::string loader = "{11111111-2222-3333-4444-555555555555}";
  const std::string resume = "{66666666-7777-8888-9999-aaaaaaaaaaaa}";
  EXPECT_EQ(shown(objects, bcd::kBootmgr, bcd::kPath), "\"\\EFI\\Microsoft\\Boot\\bootmgfw.efi\"");
  EXPECT_EQ(shown(objects, loader, bcd::kPath), "\"\\Windows\\system32\\winload.efi\"");
  EXPECT_EQ(shown(objects, resume, bcd::kPath), "\"\\Windows\\system32\\winresume.efi\"");
  EXPECT_EQ(shown(objects, bcd::kMemdiag, bcd::kPath), "\"\\EFI\\Microsoft\\Boot\\memtest.efi\"");
  EXPECT_EQ(shown(objects, loader, bcd::kIsolatedContext), "1");
}

TEST(BcdStore, MergeReplacesTheSamePartitionAndKeepsOthers) {
  // A store with entries for two partitions.
  BcdBootRequest first = biosRequest();
  first.windowsPartition = mbr(0xB3EBA8F1, 0x40000000);
  first.description = u"Other Windows";
  first.loader = guid("{aaaaaaaa-0000-0000-0000-000000000001}");
  first.resume = guid("{aaaaaaaa-0000-0000-0000-000000000002}");
  Key store;
  std::string reason;
  ASSERT_TRUE(buildStore(first, store, reason)) << reason;
  BcdBootRequest second = biosRequest();
  second.loader = guid("{bbbbbbbb-0000-0000-0000-000000000001}");
  second.resume = guid("{bbbbbbbb-0000-0000-0000-000000000002}");
  second.existingStore = &store;
  Key two;
  ASSERT_TRUE(buildStore(second, two, reason)) << reason;

  // bcdboot again for the second partition, with fresh GUIDs.
  BcdBootRequest again = biosRequest();
  again.existingStore = &two;
  Key merged;
  ASSERT_TRUE(buildStore(again, merged, reason)) << reason;
  const auto objects = objectsOf(merged);
  EXPECT_EQ(objects.size(), 13u);  // 9 fixed, two loaders, two resume objects
  EXPECT_EQ(loaders(objects), 2u);
  EXPECT_EQ(findObject(objects, "{bbbbbbbb-0000-0000-0000-000000000001}"), nullptr);
  EXPECT_EQ(findObject(objects, "{bbbbbbbb-0000-0000-0000-000000000002}"), nullptr);
  EXPECT_NE(findObject(objects, "{aaaaaaaa-0000-0000-0000-000000000002}"), nullptr);
  const std::string loader = "{11111111-2222-3333-4444-555555555555}";
  EXPECT_EQ(shown(objects, bcd::kBootmgr, bcd::kDisplayOrder),
            loader + " {aaaaaaaa-0000-0000-0000-000000000001}");
  EXPECT_EQ(shown(objects, bcd::kBootmgr, bcd::kDefaultObject), "\"" + loader + "\"");
  EXPECT_EQ(shown(objects, "{aaaaaaaa-0000-0000-0000-000000000001}", bcd::kDescription),
            "\"Other Windows\"");

  // The same request once more changes nothing.
  again.existingStore = &merged;
  Key twice;
  ASSERT_TRUE(buildStore(again, twice, reason)) << reason;
  le::Bytes a, b;
  ASSERT_TRUE(writeHive(merged, a, reason));
  ASSERT_TRUE(writeHive(twice, b, reason));
  EXPECT_EQ(a, b);
}

TEST(BcdStore, TemplateObjectsAndSettingsStay) {
  Key templ;
  templ.name = u"NewStoreRoot";
  Key& objects = subkey(templ, u"Objects");
  Key& custom = subkey(objects, u"{0ab0ab0a-1111-2222-3333-444444444444}");
  setValue(subkey(custom, u"Description"), u"Type", kRegDword, regDwordData(0x10200003));
  Key& bootmgr = subkey(objects, u"{9DEA862C-5CDD-4E70-ACC1-F32B344D4795}");
  setValue(subkey(bootmgr, u"Description"), u"Type", kRegDword, regDwordData(0x10100002));
  setValue(subkey(subkey(bootmgr, u"Elements"), u"25000004"), u"Element", kRegBinary,
           {5, 0, 0, 0, 0, 0, 0, 0});
  Key& dbg = subkey(objects, u"{4636856e-540f-4170-a130-a84776f4c654}");
  setValue(subkey(dbg, u"Description"), u"Type", kRegDword, regDwordData(0x20100000));
  setValue(subkey(subkey(dbg, u"Elements"), u"15000011"), u"Element", kRegBinary,
           {1, 0, 0, 0, 0, 0, 0, 0});

  BcdBootRequest r = biosRequest();
  r.templateStore = &templ;
  Key store;
  std::string reason;
  ASSERT_TRUE(buildStore(r, store, reason)) << reason;
  const auto read = objectsOf(store);
  EXPECT_EQ(read.size(), 12u);  // the template's own object besides
  EXPECT_NE(findObject(read, "{0ab0ab0a-1111-2222-3333-444444444444}"), nullptr);
  EXPECT_EQ(shown(read, bcd::kBootmgr, bcd::kTimeout), "5");
  EXPECT_EQ(shown(read, bcd::kDbgSettings, bcd::kDebugType), "1");
  EXPECT_EQ(shown(read, bcd::kBootmgr, bcd::kDisplayOrder),
            "{11111111-2222-3333-4444-555555555555}");
  // The template's key kept its spelling: no second {bootmgr} appeared.
  EXPECT_EQ(findSubkey(store, u"Objects")->subkeys.size(), 12u);
}

TEST(BcdStore, StoreSurvivesTheHiveFile) {
  Key store;
  std::string reason;
  ASSERT_TRUE(buildStore(biosRequest(), store, reason)) << reason;
  le::Bytes hive;
  ASSERT_TRUE(writeHive(store, hive, reason)) << reason;
  Key back;
  ASSERT_TRUE(readHive(hive, back, reason)) << reason;
  EXPECT_EQ(describeStore(objectsOf(back)), describeStore(objectsOf(store)));
}

TEST(BcdStore, RefusesCollidingGuids) {
  BcdBootRequest r = biosRequest();
  r.resume = r.loader;
  Key store{u"untouched", {}, {}};
  std::string reason;
  EXPECT_FALSE(buildStore(r, store, reason));
  EXPECT_EQ(store.name, u"untouched");
  r.resume = guid(bcd::kMemdiag);
  EXPECT_FALSE(buildStore(r, store, reason));
  EXPECT_NE(reason.find("fixed object"), std::string::npos);
}

}  // namespace
}  // namespace boot
