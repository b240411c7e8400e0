#include "tools/bcdboot/boot_targets.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using boot::Partition;
using boot::PartitionStyle;

Partition gptPartition(std::uint64_t start, const boot::Guid& type, int number) {
  Partition partition;
  partition.startLba = start;
  partition.sectors = 1000;
  partition.gptType = type;
  partition.number = number;
  return partition;
}

const boot::Guid kBasicData = {{0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44, 0x87, 0xC0, 0x68,
                                0xB6, 0xB7, 0x26, 0x99, 0xC7}};

struct Case {
  const char* name;
  PartitionStyle style;
  bool withEsp;
  bool systemIsEsp;
  const char* systemFs;
  const char* espFs;
  const char* firmware;
  bool imageHasEfi;
  // What must come out.
  bool bios, uefi, onEsp;
  const char* refusal;  // a piece of it, or null
};

// Every layout the tools meet: where each kind of boot files goes, or why
// nothing may be written.
TEST(BootTargets, EachLayoutSendsTheFilesWhereItsFirmwareLooks) {
  const Case cases[] = {
      {"MBR, NTFS system", PartitionStyle::Mbr, false, false, "NTFS", "", "", true, true, false,
       false, nullptr},
      {"MBR, FAT system, image with EFI", PartitionStyle::Mbr, false, false, "FAT32", "", "", true,
       true, true, false, nullptr},
      {"MBR, FAT system, image without EFI", PartitionStyle::Mbr, false, false, "FAT32", "", "",
       false, true, false, false, nullptr},
      {"MBR, /f UEFI on NTFS", PartitionStyle::Mbr, false, false, "NTFS", "", "UEFI", true, false,
       true, false, "starts only from FAT"},
      {"MBR, /f ALL on FAT", PartitionStyle::Mbr, false, false, "FAT16", "", "ALL", true, true,
       true, false, nullptr},
      {"GPT, NTFS system, ESP", PartitionStyle::Gpt, true, false, "NTFS", "FAT32", "", true, false,
       true, true, nullptr},
      {"GPT, the ESP as system", PartitionStyle::Gpt, true, true, "FAT32", "FAT32", "", true, false,
       true, true, nullptr},
      {"GPT, /f ALL", PartitionStyle::Gpt, true, false, "NTFS", "FAT32", "ALL", true, true, true,
       true, nullptr},
      {"GPT, /f BIOS needs no ESP", PartitionStyle::Gpt, false, false, "NTFS", "", "BIOS", true,
       true, false, false, nullptr},
      {"GPT without an ESP", PartitionStyle::Gpt, false, false, "NTFS", "", "", true, false, true,
       false, "has no EFI system partition"},
      {"GPT, /f UEFI without an ESP", PartitionStyle::Gpt, false, false, "FAT32", "", "UEFI", true,
       false, true, false, "create one first"},
      {"GPT, NTFS ESP", PartitionStyle::Gpt, true, false, "NTFS", "NTFS", "", true, false, true,
       true, "(partition 1) is NTFS"},
      {"GPT, ESP of no known file system", PartitionStyle::Gpt, true, false, "NTFS", "", "", true,
       false, true, true, "is not FAT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    boot::DiskLayout layout;
    layout.style = c.style;
    if (c.withEsp)
      layout.partitions.push_back(gptPartition(2048, boot::kEfiSystemPartitionType, 1));
    layout.partitions.push_back(gptPartition(9000, kBasicData, 3));
    tools::TargetRequest request;
    request.layout = &layout;
    request.system = c.systemIsEsp ? &layout.partitions[0] : &layout.partitions.back();
    request.systemFileSystem = c.systemFs;
    request.espFileSystem = c.espFs;
    request.firmware = c.firmware;
    request.imageHasEfi = c.imageHasEfi;
    request.systemName = "S:";
    request.diskName = "disk 0";
    const tools::BootTargets targets = tools::chooseBootTargets(request);
    if (c.refusal) {
      EXPECT_NE(targets.refusal.find(c.refusal), std::string::npos) << targets.refusal;
      EXPECT_NE(targets.refusal.find("nothing was written"), std::string::npos);
      continue;
    }
    EXPECT_EQ(targets.refusal, "");
    EXPECT_EQ(targets.bios, c.bios);
    EXPECT_EQ(targets.uefi, c.uefi);
    EXPECT_EQ(targets.esp != nullptr, c.onEsp);
    if (targets.esp) {
      EXPECT_EQ(targets.esp->number, 1);
    }
    EXPECT_EQ(targets.espIsSystem, c.systemIsEsp);
  }
}

}  // namespace

namespace {

// "/s S:" is the form Microsoft documents: every way of typing a drive names
// its root, so that the files go below it and not into the current folder.
TEST(BootTargets, EveryFormOfADriveNamesItsRoot) {
  for (const char* typed : {"S:", "S:\\", "S:/", "s:"}) {
    SCOPED_TRACE(typed);
    const std::string root = tools::driveRootOf(typed);
    EXPECT_EQ(root, std::string(1, typed[0]) + ":\\");
#ifdef _WIN32
    // As the tool joins it: S:\Boot\BCD, never the drive-relative S:Boot.
    EXPECT_TRUE((std::filesystem::path(root) / "Boot" / "BCD").is_absolute());
#endif
  }
  for (const char* other : {"S:\\Windows", "S:Boot", "/mnt/s", "1:", "", "S"})
    EXPECT_EQ(tools::driveRootOf(other), other);
}

// The hive list names the loaded store \Device\HarddiskVolumeN\Boot\BCD: a
// path of that drive matches it whatever separated its parts.
TEST(BootTargets, AStorePathGetsTheHiveListsName) {
  const std::u16string device = u"\\Device\\HarddiskVolume1";
  for (const char16_t* path : {u"S:\\Boot\\BCD", u"S:Boot\\BCD", u"S:/Boot/BCD", u"S:\\\\Boot\\BCD",
                               u"\\\\?\\S:\\Boot\\BCD"})
    EXPECT_EQ(tools::hiveListName(device, path), u"\\Device\\HarddiskVolume1\\Boot\\BCD");
  EXPECT_EQ(tools::hiveListName(device + u"\\", u"S:\\EFI\\Microsoft\\Boot\\BCD"),
            u"\\Device\\HarddiskVolume1\\EFI\\Microsoft\\Boot\\BCD");
  EXPECT_EQ(tools::hiveListName(device, u"\\\\?\\Volume{x}\\Boot\\BCD"), u"");
  EXPECT_EQ(tools::hiveListName(device, u"B"), u"");
}

}  // namespace
