// bcdboot's firmware boot entry over variables held here: the numbers it
// looks at where the system cannot list them, and the same steps inside a
// VM's variable store file.
#include <gtest/gtest.h>

#include <map>

#include "boot/firmware/variable_store.h"
#include "tools/bcdboot/firmware_entry.h"

namespace {

using le::Bytes;

boot::HardDriveNode esp() {
  boot::HardDriveNode node;
  node.partitionNumber = 1;
  node.startLba = 2048;
  node.sectors = 204800;
  node.partitionGuid.bytes[0] = 0x67;
  return node;
}

// Variables by name, as Windows offers them: read and write, no listing.
struct Variables {
  std::map<std::string, Bytes> values;
  std::vector<std::string> reads, writes;
  tools::FirmwareVariables access() {
    tools::FirmwareVariables access;
    access.read = [this](const std::string& name, bool& exists, Bytes& data, std::string&) {
      reads.push_back(name);
      const auto found = values.find(name);
      exists = found != values.end();
      if (exists) data = found->second;
      return true;
    };
    access.write = [this](const std::string& name, const Bytes& data, std::string&) {
      writes.push_back(name);
      values[name] = data;
      return true;
    };
    return access;
  }
};

std::vector<std::uint16_t> orderOf(const Bytes& bytes) {
  std::vector<std::uint16_t> order;
  EXPECT_TRUE(boot::parseBootOrder(bytes, order));
  return order;
}

TEST(FirmwareEntry, WithoutAListingTheEntryInBootOrderIsFoundBeyondTheFirstGap) {
  const boot::LoadOption wanted = tools::bootManagerOption(esp());
  boot::LoadOption stale = wanted;
  stale.description = u"Windows Boot Manager (old)";
  Variables variables;
  variables.values = {{"Boot0000", {1}},
                      {"Boot0001", {2}},
                      {"Boot0009", boot::loadOptionBytes(stale)},
                      {"BootOrder", boot::bootOrderBytes({1, 9, 0})}};
  tools::BootEntryResult result;
  std::string reason;
  ASSERT_TRUE(tools::writeBootEntry(variables.access(), wanted, result, reason)) << reason;
  EXPECT_EQ(result.number, 9);
  EXPECT_TRUE(result.reused);
  EXPECT_EQ(variables.values["Boot0009"], boot::loadOptionBytes(wanted));
  EXPECT_EQ(orderOf(variables.values["BootOrder"]), (std::vector<std::uint16_t>{9, 1, 0}));
  // The entry is written before BootOrder names it.
  EXPECT_EQ(variables.writes, (std::vector<std::string>{"Boot0009", "BootOrder"}));

  // A second run finds everything in place and writes nothing.
  variables.writes.clear();
  ASSERT_TRUE(tools::writeBootEntry(variables.access(), wanted, result, reason)) << reason;
  EXPECT_FALSE(result.changed);
  EXPECT_TRUE(variables.writes.empty());
}

TEST(FirmwareEntry, NewEntryGoesToTheFirstNumberNobodyUses) {
  Variables variables;
  variables.values = {{"Boot0000", {1}}, {"Boot0001", {2}}, {"BootOrder", {0, 0, 1, 0}}};
  tools::BootEntryResult result;
  std::string reason;
  ASSERT_TRUE(
      tools::writeBootEntry(variables.access(), tools::bootManagerOption(esp()), result, reason));
  EXPECT_EQ(result.number, 2);
  EXPECT_FALSE(result.reused);
  EXPECT_EQ(orderOf(variables.values["BootOrder"]), (std::vector<std::uint16_t>{2, 0, 1}));
  // Probing stopped at the gap.
  EXPECT_EQ(std::count(variables.reads.begin(), variables.reads.end(), "Boot0003"), 0);
}

TEST(FirmwareEntry, FailedWriteIsReported) {
  Variables variables;
  tools::FirmwareVariables access = variables.access();
  access.write = [](const std::string& name, const Bytes&, std::string& reason) {
    reason = "cannot write " + name;
    return false;
  };
  tools::BootEntryResult result;
  std::string reason;
  EXPECT_FALSE(tools::writeBootEntry(access, tools::bootManagerOption(esp()), result, reason));
  EXPECT_EQ(reason, "cannot write Boot0000");
}

// A store as OVMF ships it: the volume and store headers, all else free.
Bytes shippedStore() {
  Bytes file(0x8000, 0xFF);
  std::fill(file.begin(), file.begin() + 100, 0);
  const std::uint8_t nvData[16] = {0x8D, 0x2B, 0xF1, 0xFF, 0x96, 0x76, 0x8B, 0x4C,
                                   0xA9, 0x85, 0x27, 0x47, 0x07, 0x5B, 0x4F, 0x50};
  const std::uint8_t authenticated[16] = {0x78, 0x2C, 0xF3, 0xAA, 0x7B, 0x94, 0x9A, 0x43,
                                          0xA1, 0x80, 0x2E, 0x14, 0x4E, 0xC3, 0x77, 0x92};
  std::copy(nvData, nvData + 16, file.begin() + 0x10);
  le::put(file, 0x20, 8, file.size());
  le::put(file, 0x28, 4, 0x4856465F);
  le::put(file, 0x30, 2, 72);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 72; i += 2) sum += le::u16(file, i);
  le::put(file, 0x32, 2, (0x10000 - (sum & 0xFFFF)) & 0xFFFF);
  std::copy(authenticated, authenticated + 16, file.begin() + 72);
  le::put(file, 72 + 0x10, 4, 0x4000);
  file[72 + 0x14] = 0x5A;
  file[72 + 0x15] = 0xFE;
  return file;
}

TEST(FirmwareEntry, StoreFileGetsOneEntryFirstAndKeepsTheFirmwaresOwn) {
  Bytes file = shippedStore();
  std::string reason;
  ASSERT_TRUE(boot::writeVariables(file,
                                   {{u"Boot0000", boot::kEfiGlobalVariable, 7, {1, 0, 0, 0}},
                                    {u"Boot0001", boot::kEfiGlobalVariable, 7, {1, 0, 0, 0}},
                                    {u"BootOrder", boot::kEfiGlobalVariable, 7, {1, 0, 0, 0}}},
                                   reason));
  const boot::LoadOption wanted = tools::bootManagerOption(esp());
  tools::BootEntryResult result;
  ASSERT_TRUE(tools::writeBootEntryToStore(file, wanted, result, reason)) << reason;
  EXPECT_EQ(result.number, 2);
  const Bytes once = file;
  ASSERT_TRUE(tools::writeBootEntryToStore(file, wanted, result, reason)) << reason;
  EXPECT_FALSE(result.changed);
  EXPECT_EQ(file, once);

  boot::VariableStore store;
  ASSERT_TRUE(boot::readVariableStore(file, store, reason)) << reason;
  const boot::StoredVariable* entry =
      boot::liveVariable(store, u"Boot0002", boot::kEfiGlobalVariable);
  const boot::StoredVariable* order =
      boot::liveVariable(store, u"BootOrder", boot::kEfiGlobalVariable);
  ASSERT_TRUE(entry && order);
  EXPECT_EQ(entry->attributes, 7u);
  EXPECT_EQ(entry->data, boot::loadOptionBytes(wanted));
  EXPECT_EQ(orderOf(order->data), (std::vector<std::uint16_t>{2, 1, 0}));
  EXPECT_EQ(store.variables[2].state, 0x3D);  // the old BootOrder
  EXPECT_EQ(store.variables.size(), 5u);
}

}  // namespace

namespace {

// Windows numbers the GPT partitions in use (1, 2, …); the firmware's node
// wants the entry: an ESP in entry 2 behind an empty entry 1 is partition 2.
TEST(FirmwareEntry, TheNodeOfAGptPartitionCountsItsEntryNotTheSystemsNumber) {
  boot::Partition esp;
  esp.number = 1;  // as Windows lists it
  esp.startLba = 2048;
  esp.sectors = 131072;
  esp.gptUnique.bytes[0] = 0xA1;
  boot::DiskLayout listed;
  listed.style = boot::PartitionStyle::Gpt;
  listed.partitions = {esp};
  boot::DiskLayout entries = listed;  // as the table's sectors hold it
  entries.partitions[0].number = 2;
  const boot::HardDriveNode node = tools::partitionNode(listed, entries, esp);
  EXPECT_EQ(node.partitionNumber, 2u);
  EXPECT_EQ(node.startLba, 2048u);
  EXPECT_EQ(node.sectors, 131072u);
  EXPECT_EQ(node.partitionGuid.bytes[0], 0xA1);
  // Another partition's GUID, or no table read: the system's number stays.
  entries.partitions[0].gptUnique.bytes[0] = 0xB2;
  EXPECT_EQ(tools::partitionNode(listed, entries, esp).partitionNumber, 1u);
  EXPECT_EQ(tools::partitionNode(listed, boot::DiskLayout{}, esp).partitionNumber, 1u);
  // MBR numbers are the slots already.
  boot::DiskLayout mbr;
  mbr.signature = 0x5EED2468;
  EXPECT_EQ(tools::partitionNode(mbr, mbr, esp).partitionNumber, 1u);
  EXPECT_EQ(tools::partitionNode(mbr, mbr, esp).mbrSignature, 0x5EED2468u);
}

}  // namespace

namespace {

// Windows 7's probe on a BIOS machine: without the privilege the read fails
// with ERROR_PRIVILEGE_NOT_HELD (1314), as it does on UEFI; with it, with
// ERROR_INVALID_FUNCTION. The privilege must be on before the read.
TEST(FirmwareEntry, TheProbeRunsWithThePrivilegeOn) {
  constexpr std::uint32_t kPrivilegeNotHeld = 1314, kEnvironmentVariableNotFound = 203;
  for (const bool uefi : {false, true}) {
    SCOPED_TRACE(uefi ? "UEFI machine" : "BIOS machine");
    bool enabled = false;
    std::vector<std::string> calls;
    const bool said = tools::probeSaysUefi(
        [&] {
          calls.push_back("enable");
          return enabled = true;
        },
        [&] {
          calls.push_back("probe");
          if (!enabled) return kPrivilegeNotHeld;
          return uefi ? kEnvironmentVariableNotFound : tools::kErrorInvalidFunction;
        });
    EXPECT_EQ(said, uefi);
    EXPECT_EQ(calls, (std::vector<std::string>{"enable", "probe"}));
  }
  // The privilege refused: the machine may well be UEFI, and the entry's
  // failure says why.
  EXPECT_TRUE(tools::probeSaysUefi([] { return false; }, [] { return 1314u; }));
}

}  // namespace
