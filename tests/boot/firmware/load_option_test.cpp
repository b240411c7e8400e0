// The firmware's boot entries: load option bytes against the UEFI layout,
// and the choice of Boot#### number and BootOrder.
#include <gtest/gtest.h>

#include "boot/firmware/load_option.h"

namespace {

using boot::HardDriveNode;
using boot::LoadOption;
using le::Bytes;

const std::u16string kPath = u"\\EFI\\Microsoft\\Boot\\bootmgfw.efi";
const boot::Guid kEspGuid = {{0xA1, 0xD5, 0xC7, 0x2B, 0xF0, 0x36, 0x6B, 0x4E, 0x9C, 0x1D, 0x0A,
                              0x4F, 0x7E, 0x8B, 0x3C, 0x52}};

HardDriveNode gptEsp() {
  HardDriveNode node;
  node.partitionNumber = 1;
  node.startLba = 2048;
  node.sectors = 0x32000;
  node.style = boot::PartitionStyle::Gpt;
  node.partitionGuid = kEspGuid;
  return node;
}

LoadOption optionFor(const HardDriveNode& partition, const std::u16string& path,
                     const std::u16string& description = u"Windows Boot Manager") {
  LoadOption option;
  option.description = description;
  option.devicePath = boot::hardDriveFilePath(partition, path);
  return option;
}

std::u16string utf16At(const Bytes& bytes, std::size_t at, std::size_t characters) {
  std::u16string text;
  for (std::size_t i = 0; i < characters; ++i)
    text.push_back(static_cast<char16_t>(le::u16(bytes, at + 2 * i)));
  return text;
}

TEST(LoadOption, GptEntryFollowsTheUefiLayoutFieldByField) {
  const Bytes bytes = boot::loadOptionBytes(optionFor(gptEsp(), kPath));
  const std::size_t description = 6, descriptionBytes = 2 * (20 + 1);
  const std::size_t hd = description + descriptionBytes, file = hd + 42;
  const std::size_t fileLength = 4 + 2 * (kPath.size() + 1), end = file + fileLength;
  ASSERT_EQ(bytes.size(), end + 4);
  EXPECT_EQ(le::u32(bytes, 0), 1u);                   // LOAD_OPTION_ACTIVE
  EXPECT_EQ(le::u16(bytes, 4), 42 + fileLength + 4);  // the device path list
  EXPECT_EQ(utf16At(bytes, description, 21), std::u16string(u"Windows Boot Manager") + u'\0');
  // HD(1, GPT, guid, 0x800, 0x32000)
  EXPECT_EQ(bytes[hd], 0x04);
  EXPECT_EQ(bytes[hd + 1], 0x01);
  EXPECT_EQ(le::u16(bytes, hd + 2), 42);
  EXPECT_EQ(le::u32(bytes, hd + 4), 1u);
  EXPECT_EQ(le::u64(bytes, hd + 8), 2048u);
  EXPECT_EQ(le::u64(bytes, hd + 16), 0x32000u);
  EXPECT_TRUE(std::equal(kEspGuid.bytes.begin(), kEspGuid.bytes.end(), bytes.begin() + hd + 24));
  EXPECT_EQ(bytes[hd + 40], 2);  // GPT
  EXPECT_EQ(bytes[hd + 41], 2);  // GUID signature
  // File(\EFI\Microsoft\Boot\bootmgfw.efi)
  EXPECT_EQ(bytes[file], 0x04);
  EXPECT_EQ(bytes[file + 1], 0x04);
  EXPECT_EQ(le::u16(bytes, file + 2), fileLength);
  EXPECT_EQ(utf16At(bytes, file + 4, kPath.size() + 1), kPath + u'\0');
  // End of the entire path.
  EXPECT_EQ(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(end), bytes.end()),
            (Bytes{0x7F, 0xFF, 0x04, 0x00}));
}

TEST(LoadOption, MbrEntryCarriesTheDiskSignature) {
  HardDriveNode node;
  node.partitionNumber = 2;
  node.startLba = 411648;
  node.sectors = 819200;
  node.style = boot::PartitionStyle::Mbr;
  node.mbrSignature = 0x5EED2468;
  const Bytes path = boot::hardDriveFilePath(node, kPath);
  EXPECT_EQ(le::u32(path, 4), 2u);
  EXPECT_EQ(le::u64(path, 8), 411648u);
  EXPECT_EQ(le::u64(path, 16), 819200u);
  EXPECT_EQ(le::u32(path, 24), 0x5EED2468u);
  EXPECT_EQ(Bytes(path.begin() + 28, path.begin() + 40), Bytes(12, 0));
  EXPECT_EQ(path[40], 1);  // MBR
  EXPECT_EQ(path[41], 1);  // MBR signature
}

TEST(LoadOption, ReadsBackAndRefusesEveryCutShortCopy) {
  LoadOption option = optionFor(gptEsp(), kPath);
  option.optionalData = {'W', 'I', 'N'};
  const Bytes bytes = boot::loadOptionBytes(option);
  LoadOption read;
  std::string reason;
  ASSERT_TRUE(boot::parseLoadOption(bytes, read, reason)) << reason;
  EXPECT_EQ(read.description, u"Windows Boot Manager");
  EXPECT_TRUE(read.hasHardDrive);
  EXPECT_EQ(read.hardDrive.partitionGuid, kEspGuid);
  EXPECT_EQ(read.hardDrive.startLba, 2048u);
  EXPECT_EQ(read.filePath, kPath);
  EXPECT_EQ(read.optionalData, option.optionalData);
  // Cut before the optional data, every copy misses part of the path.
  for (std::size_t size = 0; size + 3 < bytes.size(); ++size)
    EXPECT_FALSE(boot::parseLoadOption(Bytes(bytes.begin(), bytes.begin() + size), read, reason))
        << size;
}

TEST(LoadOption, SamePartitionAndFileIgnoresCaseAndNodesBeforeTheDisk) {
  const LoadOption ours = optionFor(gptEsp(), kPath);
  // The firmware's long form: PciRoot(0)/Pci(1,1)/HD(...)/File(...).
  LoadOption firmwares = optionFor(gptEsp(), u"\\efi\\MICROSOFT\\boot\\BOOTMGFW.EFI", u"Old");
  const Bytes pci = {0x02, 0x01, 0x0C, 0x00, 0xD0, 0x41, 0x03, 0x0A, 0x00,
                     0x00, 0x00, 0x00, 0x01, 0x01, 0x06, 0x00, 0x01, 0x01};
  firmwares.devicePath.insert(firmwares.devicePath.begin(), pci.begin(), pci.end());
  HardDriveNode other = gptEsp();
  other.partitionGuid.bytes[15] ^= 1;
  LoadOption a, b, c, d;
  std::string reason;
  ASSERT_TRUE(boot::parseLoadOption(boot::loadOptionBytes(ours), a, reason)) << reason;
  ASSERT_TRUE(boot::parseLoadOption(boot::loadOptionBytes(firmwares), b, reason)) << reason;
  ASSERT_TRUE(boot::parseLoadOption(boot::loadOptionBytes(optionFor(other, kPath)), c, reason));
  ASSERT_TRUE(boot::parseLoadOption(
      boot::loadOptionBytes(optionFor(gptEsp(), u"\\EFI\\Boot\\bootx64.efi")), d, reason));
  EXPECT_TRUE(boot::samePartitionAndFile(a, b));
  EXPECT_FALSE(boot::samePartitionAndFile(a, c));  // another partition
  EXPECT_FALSE(boot::samePartitionAndFile(a, d));  // another file
}

TEST(LoadOption, BootOptionNames) {
  EXPECT_EQ(boot::bootOptionName(0x00AF), "Boot00AF");
  std::uint16_t number = 0;
  EXPECT_TRUE(boot::parseBootOptionName("Boot00AF", number));
  EXPECT_EQ(number, 0x00AF);
  for (const char* name : {"Boot00af", "BootOrder", "Boot001", "Driver0001", "Boot0001x"})
    EXPECT_FALSE(boot::parseBootOptionName(name, number)) << name;
}

std::vector<std::uint16_t> orderOf(const Bytes& bytes) {
  std::vector<std::uint16_t> order;
  EXPECT_TRUE(boot::parseBootOrder(bytes, order));
  return order;
}

TEST(BootEntryPlan, NewEntryTakesTheLowestFreeNumberAndGoesFirst) {
  // 0002 is free as a variable but BootOrder names it: not free.
  const std::map<std::uint16_t, Bytes> options = {
      {0, Bytes{1}}, {1, Bytes{2}}, {3, Bytes{3}}, {4, Bytes{4}}};
  const Bytes order = boot::bootOrderBytes({3, 1, 2, 0});
  boot::BootEntryPlan plan;
  std::string reason;
  ASSERT_TRUE(boot::planBootEntry(options, &order, optionFor(gptEsp(), kPath), plan, reason))
      << reason;
  EXPECT_EQ(plan.number, 5);
  EXPECT_FALSE(plan.reused);
  EXPECT_TRUE(plan.optionChanged);
  EXPECT_EQ(plan.option, boot::loadOptionBytes(optionFor(gptEsp(), kPath)));
  EXPECT_EQ(orderOf(plan.bootOrder), (std::vector<std::uint16_t>{5, 3, 1, 2, 0}));

  // No variables at all: Boot0000, alone in a new BootOrder.
  ASSERT_TRUE(boot::planBootEntry({}, nullptr, optionFor(gptEsp(), kPath), plan, reason));
  EXPECT_EQ(plan.number, 0);
  EXPECT_TRUE(plan.orderChanged);
  EXPECT_EQ(orderOf(plan.bootOrder), (std::vector<std::uint16_t>{0}));
}

TEST(BootEntryPlan, EntryForTheSameFileIsRefreshedNeverDuplicated) {
  const LoadOption wanted = optionFor(gptEsp(), kPath);
  const Bytes stale = boot::loadOptionBytes(optionFor(gptEsp(), kPath, u"Windows (old)"));
  std::map<std::uint16_t, Bytes> options = {
      {0, boot::loadOptionBytes(optionFor(gptEsp(), u"\\EFI\\Boot\\bootx64.efi"))},
      {1, Bytes{0xFF}},  // unreadable: kept, never taken
      {7, stale}};
  const Bytes order = boot::bootOrderBytes({0, 1, 7, 0});
  boot::BootEntryPlan plan;
  std::string reason;
  ASSERT_TRUE(boot::planBootEntry(options, &order, wanted, plan, reason)) << reason;
  EXPECT_EQ(plan.number, 7);
  EXPECT_TRUE(plan.reused);
  EXPECT_TRUE(plan.optionChanged);
  // 7 first, once; the rest as it was, a duplicate that was there included.
  EXPECT_EQ(orderOf(plan.bootOrder), (std::vector<std::uint16_t>{7, 0, 1, 0}));

  // Once in place and first, nothing is left to write.
  options[7] = plan.option;
  ASSERT_TRUE(boot::planBootEntry(options, &plan.bootOrder, wanted, plan, reason));
  EXPECT_EQ(plan.number, 7);
  EXPECT_FALSE(plan.optionChanged);
  EXPECT_FALSE(plan.orderChanged);
}

TEST(BootEntryPlan, BrokenBootOrderIsRefused) {
  const Bytes odd = {0x01, 0x00, 0x02};
  boot::BootEntryPlan plan;
  std::string reason;
  EXPECT_FALSE(boot::planBootEntry({}, &odd, optionFor(gptEsp(), kPath), plan, reason));
  EXPECT_NE(reason.find("odd length"), std::string::npos) << reason;
}

}  // namespace
