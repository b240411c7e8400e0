// The start chain judged from a disk held in memory: an MBR disk with a FAT32
// system partition and an NTFS Windows partition, and a GPT disk with an ESP.
// Each link broken in turn must give its own reason.
#include "tools/bootice/start_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

#include "boot/code/boot_code.h"
#include "boot/store/hive.h"
#include "boot/store/pe_version.h"

namespace {

using tools::ChainInput;
using tools::ChainVerdict;

constexpr std::uint32_t kSignature = 0x5eed2468;
constexpr std::uint64_t kSystemStart = 2048, kSystemSectors = 532480;
constexpr std::uint64_t kWindowsStart = 600000, kWindowsSectors = 1000000;

struct File {
  le::Bytes bytes;
  bool plain = true;
};
using Files = std::map<std::string, File>;  // paths in lower case

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

tools::PartitionFiles filesOf(const Files* files) {
  tools::PartitionFiles out;
  out.look = [files](const std::string& path) {
    tools::FileLook look;
    const auto it = files->find(lower(path));
    look.exists = it != files->end();
    look.plain = !look.exists || it->second.plain;
    return look;
  };
  out.read = [files](const std::string& path, std::uint64_t limit, le::Bytes& bytes) {
    const auto it = files->find(lower(path));
    if (it == files->end()) return false;
    bytes = it->second.bytes;
    if (bytes.size() > limit) bytes.resize(static_cast<std::size_t>(limit));
    return true;
  };
  return out;
}

le::Bytes peFile(std::uint16_t machine) {
  le::Bytes pe(0x100, 0);
  pe[0] = 'M', pe[1] = 'Z';
  le::put(pe, 0x3C, 4, 0x40);
  le::put(pe, 0x40, 4, 0x00004550);
  le::put(pe, 0x44, 2, machine);
  le::put(pe, 0x54, 2, 0x70);   // optional header size
  le::put(pe, 0x58, 2, 0x20B);  // PE32+
  return pe;
}

le::Bytes hiveBytes(const boot::Key& root) {
  le::Bytes hive;
  std::string why;
  EXPECT_TRUE(boot::writeHive(root, hive, why)) << why;
  return hive;
}

le::Bytes systemHive() {
  boot::Key root;
  root.name = u"ROOT";
  boot::setValue(boot::subkey(root, u"Select"), u"Current", boot::kRegDword, boot::regDwordData(1));
  return hiveBytes(root);
}

boot::Guid guid(const char* text) {
  boot::Guid g;
  EXPECT_TRUE(boot::parseGuid(text, g));
  return g;
}

// A disk as bcdboot, bootsect and BOOTICE leave it.
struct Disk {
  boot::DiskLayout layout;
  le::Bytes sector0 = le::Bytes(512, 0);
  std::map<std::uint64_t, le::Bytes> heads;  // partition start → its first bytes
  std::map<std::uint64_t, Files> files;      // partition start → its files
  std::map<std::uint64_t, std::string> unreachable;
  std::function<tools::PartitionFound(const boot::PartitionDevice&)> elsewhere;
  std::function<bool(boot::LoadOption&, std::string&)> firstBootEntry;
  std::string noFirmwareEntry = "this machine started through BIOS";

  ChainInput input() const {
    ChainInput in;
    in.diskName = "disk.img";
    in.deviceName = "S:";
    in.layout = layout;
    in.sector0 = sector0;
    in.named = &in.layout.partitions[0];
    in.readPartition = [this](const boot::Partition& p, std::uint64_t offset, std::uint64_t count,
                              le::Bytes& out, std::string& why) {
      const auto it = heads.find(p.startLba);
      if (it == heads.end() || offset + count > it->second.size())
        return why = "past the test's bytes", false;
      out.assign(it->second.begin() + static_cast<std::ptrdiff_t>(offset),
                 it->second.begin() + static_cast<std::ptrdiff_t>(offset + count));
      return true;
    };
    in.reach = [this](const boot::Partition& p, tools::PartitionFiles& out, std::string& why) {
      if (unreachable.count(p.startLba)) return why = unreachable.at(p.startLba), false;
      const auto it = files.find(p.startLba);
      if (it == files.end()) return why = "no file system", false;
      out = filesOf(&it->second);
      return true;
    };
    in.elsewhere = elsewhere ? elsewhere
                             : [](const boot::PartitionDevice&) { return tools::PartitionFound{}; };
    in.firstBootEntry = firstBootEntry;
    in.noFirmwareEntry = noFirmwareEntry;
    return in;
  }
};

boot::PartitionDevice mbrDevice(std::uint64_t start) {
  boot::PartitionDevice device;
  device.style = boot::PartitionStyle::Mbr;
  device.mbrSignature = kSignature;
  device.startBytes = start * 512;
  return device;
}

le::Bytes store(boot::Firmware firmware, const boot::PartitionDevice& system,
                const boot::PartitionDevice& windows) {
  boot::BcdBootRequest request;
  request.firmware = firmware;
  request.systemPartition = system;
  request.windowsPartition = windows;
  request.description = u"Windows 10";
  request.loader = guid("{11111111-2222-4333-8444-555555555555}");
  request.resume = guid("{11111111-2222-4333-8444-666666666666}");
  boot::Key tree;
  std::string why;
  EXPECT_TRUE(boot::buildStore(request, tree, why)) << why;
  return hiveBytes(tree);
}

// FAT32 with Roamdeck's code: sector 0 and its second code sector at 2.
le::Bytes fat32Head(std::uint32_t hiddenSectors) {
  le::Bytes head(16 * 512, 0);
  const boot::CodeImage code = boot::fat32BootCode();
  std::copy(code.bytes, code.bytes + code.size, head.begin());
  std::copy(code.bytes + 512, code.bytes + code.size, head.begin() + 2 * 512);
  const std::pair<std::size_t, std::uint64_t> fields[] = {
      {0x0B, 512}, {0x0D, 8}, {0x0E, 32}, {0x10, 2}, {0x20, kSystemSectors},
      {0x24, 520}, {0x2C, 2}, {0x30, 1},  {0x32, 6}};
  for (const auto& [at, value] : fields)
    le::put(head, at, at == 0x0D || at == 0x10 ? 1 : (at >= 0x20 && at <= 0x2C ? 4 : 2), value);
  le::put(head, 0x1C, 4, hiddenSectors);
  le::put(head, 0x42, 1, 0x29);
  for (int i = 0; i < 8; ++i) head[0x52 + i] = static_cast<std::uint8_t>("FAT32   "[i]);
  le::put(head, boot::kFat32ExtraSectorField, 2, 2);
  head[0x1FE] = 0x55, head[0x1FF] = 0xAA;
  return head;
}

le::Bytes ntfsHead(std::uint64_t start, std::uint64_t sectors) {
  le::Bytes head(512, 0);
  head[0] = 0xEB, head[1] = 0x52, head[2] = 0x90;
  for (int i = 0; i < 8; ++i) head[3 + i] = static_cast<std::uint8_t>("NTFS    "[i]);
  le::put(head, 0x0B, 2, 512);
  le::put(head, 0x0D, 1, 8);
  le::put(head, 0x1C, 4, start);
  le::put(head, 0x28, 8, sectors - 1);
  le::put(head, 0x30, 8, 4);
  le::put(head, 0x40, 1, 0xF6);
  le::put(head, 0x44, 1, 1);
  head[0x100] = 0xCD;  // another tool's code
  head[0x1FE] = 0x55, head[0x1FF] = 0xAA;
  return head;
}

Files windowsFiles(bool uefi) {
  Files files;
  files["\\windows\\system32\\winload.exe"] = {};
  if (uefi) files["\\windows\\system32\\winload.efi"] = {};
  files["\\windows\\system32\\ntoskrnl.exe"] = {};
  files["\\windows\\system32\\config\\system"] = {systemHive()};
  return files;
}

// MBR: partition 1 FAT32 (active, BIOS and UEFI files), partition 2 NTFS.
Disk mbrDisk() {
  Disk disk;
  disk.layout.style = boot::PartitionStyle::Mbr;
  disk.layout.signature = kSignature;
  boot::Partition system, windows;
  system.slot = 0, system.number = 1, system.startLba = kSystemStart;
  system.sectors = kSystemSectors, system.status = boot::kActive, system.type = 0x0C;
  windows.slot = 1, windows.number = 2, windows.startLba = kWindowsStart;
  windows.sectors = kWindowsSectors, windows.type = 0x07;
  disk.layout.partitions = {system, windows};
  const boot::CodeImage mbr = boot::mbrCode();
  std::copy(mbr.bytes, mbr.bytes + boot::kMbrCodeSize, disk.sector0.begin());
  disk.sector0[0x1FE] = 0x55, disk.sector0[0x1FF] = 0xAA;
  disk.heads[kSystemStart] = fat32Head(kSystemStart);
  disk.heads[kWindowsStart] = ntfsHead(kWindowsStart, kWindowsSectors);
  Files& boot = disk.files[kSystemStart];
  boot["\\bootmgr"] = {};
  boot["\\boot\\bcd"] = {
      store(boot::Firmware::bios, mbrDevice(kSystemStart), mbrDevice(kWindowsStart))};
  boot["\\efi\\microsoft\\boot\\bootmgfw.efi"] = {peFile(boot::kMachineAmd64)};
  boot["\\efi\\boot\\bootx64.efi"] = {peFile(boot::kMachineAmd64)};
  boot["\\efi\\microsoft\\boot\\bcd"] = {
      store(boot::Firmware::uefi, mbrDevice(kSystemStart), mbrDevice(kWindowsStart))};
  disk.files[kWindowsStart] = windowsFiles(true);
  return disk;
}

std::vector<ChainVerdict> judge(const Disk& disk) { return tools::judgeStartChain(disk.input()); }

TEST(StartChain, AnMbrDiskSetUpForBothReadsAsTwoChains) {
  const std::vector<ChainVerdict> verdicts = judge(mbrDisk());
  ASSERT_EQ(verdicts.size(), 2u);
  EXPECT_TRUE(verdicts[0].ok) << verdicts[0].reason;
  EXPECT_EQ(verdicts[0].firmware, "BIOS");
  EXPECT_EQ(verdicts[0].chain,
            "MBR -> partition 1 (active, FAT32) -> bootmgr -> \\Boot\\BCD -> Windows 10 on "
            "partition 2 (\\Windows)");
  EXPECT_TRUE(verdicts[1].ok) << verdicts[1].reason;
  EXPECT_EQ(verdicts[1].chain,
            "MBR -> partition 1 (FAT32) -> \\EFI\\Boot\\bootx64.efi -> \\EFI\\Microsoft\\Boot\\BCD "
            "-> Windows 10 on partition 2 (\\Windows)");
  EXPECT_TRUE(verdicts[0].warnings.empty() && verdicts[1].warnings.empty());

  // Without the UEFI files the disk is set up for BIOS alone.
  Disk bios = mbrDisk();
  for (const char* path : {"\\efi\\microsoft\\boot\\bootmgfw.efi", "\\efi\\boot\\bootx64.efi",
                           "\\efi\\microsoft\\boot\\bcd"})
    bios.files[kSystemStart].erase(path);
  ASSERT_EQ(judge(bios).size(), 1u);
  EXPECT_TRUE(judge(bios)[0].ok);
}

// The first verdict's reason, which must name the broken link.
std::string biosReason(const Disk& disk) {
  const std::vector<ChainVerdict> verdicts = judge(disk);
  if (verdicts.empty() || verdicts[0].ok) return "(no broken link)";
  return verdicts[0].reason;
}

TEST(StartChain, EachBrokenBiosLinkGivesItsOwnReason) {
  std::vector<std::pair<std::function<void(Disk&)>, std::string>> breaks = {
      {[](Disk& d) { d.sector0[0x1FF] = 0; }, "holds no MBR (no 55 AA)"},
      {[](Disk& d) { std::fill(d.sector0.begin(), d.sector0.begin() + 440, 0); },
       "holds no boot code: run BOOTICE /DEVICE=S: /partitions /activate"},
      {[](Disk& d) { d.layout.partitions[0].status = 0; }, "no partition of disk.img is active"},
      {[](Disk& d) {
         d.layout.partitions[0].status = 0;
         d.layout.partitions[1].status = boot::kActive;
       },
       "partition 2 is active, but the boot files are on partition 1: run BOOTICE /DEVICE=S: "
       "/partitions /activate"},
      {[](Disk& d) { d.layout.partitions[1].status = boot::kActive; },
       "partition 1 and partition 2 are both active"},
      {[](Disk& d) { le::put(d.heads[kSystemStart], 0x1C, 4, 0); },
       "starts at sector 0 (HiddenSectors), but the partition starts at sector 2048"},
      {[](Disk& d) { le::put(d.heads[kSystemStart], 0x20, 4, kSystemSectors + 1); },
       "does not fit its partition"},
      {[](Disk& d) {
         auto& head = d.heads[kSystemStart];
         std::fill(head.begin() + 0x5A, head.begin() + 0x1FE, 0);
       },
       "carries no boot code"},
      {[](Disk& d) { d.heads[kSystemStart][2 * 512 + 7] ^= 0xFF; },
       "has lost its second sector (reserved sector 2)"},
      {[](Disk& d) { d.files[kSystemStart].erase("\\bootmgr"); },
       "there is no bootmgr in the root of partition 1"},
      {[](Disk& d) { d.files[kSystemStart]["\\bootmgr"].plain = false; },
       "stored compressed, sparse or encrypted"},
      {[](Disk& d) { d.files[kSystemStart]["\\boot\\bcd"].bytes.resize(100); },
       "\\Boot\\BCD on partition 1 is no valid registry hive"},
      {[](Disk& d) {
         d.files[kSystemStart]["\\boot\\bcd"] = {
             store(boot::Firmware::bios, mbrDevice(kWindowsStart), mbrDevice(kWindowsStart))};
       },
       "the {bootmgr} of \\Boot\\BCD on partition 1 names the partition at byte 307200000"},
      {[](Disk& d) {
         d.files[kSystemStart]["\\boot\\bcd"] = {
             store(boot::Firmware::bios, mbrDevice(kSystemStart), mbrDevice(4096000))};
       },
       "names the partition at byte 2097152000 of the MBR disk 5eed2468, which is on no disk of "
       "this machine"},
      {[](Disk& d) { d.files[kWindowsStart].erase("\\windows\\system32\\winload.exe"); },
       "\\Windows\\system32\\winload.exe is missing on partition 2"},
      {[](Disk& d) { d.files[kWindowsStart].erase("\\windows\\system32\\ntoskrnl.exe"); },
       "\\Windows\\System32\\ntoskrnl.exe is missing on partition 2"},
      {[](Disk& d) { d.files[kWindowsStart]["\\windows\\system32\\config\\system"].bytes[9] ^= 1; },
       "\\Windows\\System32\\config\\SYSTEM on partition 2 is no registry hive"},
  };
  for (const auto& [damage, words] : breaks) {
    Disk disk = mbrDisk();
    damage(disk);
    const std::string reason = biosReason(disk);
    EXPECT_NE(reason.find(words), std::string::npos) << "wanted: " << words << "\ngot: " << reason;
  }
}

TEST(StartChain, WhoseBootCodeIsAnotherToolsOrAFormattersPlaceholder) {
  // NTFS alone, with another tool's boot code: accepted as it is.
  Disk ntfs = mbrDisk();
  ntfs.layout.partitions.erase(ntfs.layout.partitions.begin());
  ntfs.layout.partitions[0].status = boot::kActive;
  Files both = windowsFiles(false);
  both["\\bootmgr"] = {};
  both["\\boot\\bcd"] = {
      store(boot::Firmware::bios, mbrDevice(kWindowsStart), mbrDevice(kWindowsStart))};
  ntfs.files[kWindowsStart] = both;
  std::vector<ChainVerdict> verdicts = judge(ntfs);
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(verdicts[0].chain,
            "MBR -> partition 2 (active, NTFS) -> bootmgr -> \\Boot\\BCD -> Windows 10 on "
            "partition 2 (\\Windows)");
  // mkfs's code, which only says that it starts nothing.
  const char text[] = "This is not a bootable disk.";
  std::copy(text, text + sizeof text - 1, ntfs.heads[kWindowsStart].begin() + 0x120);
  EXPECT_NE(biosReason(ntfs).find("carries no boot code that starts bootmgr: run bootsect /NT60"),
            std::string::npos)
      << biosReason(ntfs);
}

TEST(StartChain, AWindowsOutOfReachIsAWarningAndOneElsewhereIsFound) {
  Disk disk = mbrDisk();
  disk.unreachable[kWindowsStart] = "no NTFS driver";
  std::vector<ChainVerdict> verdicts = judge(disk);
  ASSERT_TRUE(verdicts[0].ok) << verdicts[0].reason;
  ASSERT_EQ(verdicts[0].warnings.size(), 1u);
  EXPECT_NE(verdicts[0].warnings[0].find("partition 2 could not be looked into (no NTFS driver)"),
            std::string::npos);

  Disk two = mbrDisk();
  Files elsewhere = windowsFiles(true);
  two.files[kSystemStart]["\\boot\\bcd"] = {
      store(boot::Firmware::bios, mbrDevice(kSystemStart), mbrDevice(4096000))};
  two.elsewhere = [&elsewhere](const boot::PartitionDevice& device) {
    tools::PartitionFound found;
    found.found = device.startBytes == 4096000ull * 512;
    found.name = "partition 1 of /dev/sdb";
    found.reached = true;
    found.files = filesOf(&elsewhere);
    return found;
  };
  verdicts = judge(two);
  ASSERT_TRUE(verdicts[0].ok) << verdicts[0].reason;
  EXPECT_NE(verdicts[0].chain.find("Windows 10 on partition 1 of /dev/sdb"), std::string::npos);
  elsewhere.erase("\\windows\\system32\\winload.exe");
  EXPECT_NE(biosReason(two).find("winload.exe is missing on partition 1 of /dev/sdb"),
            std::string::npos);
}

// GPT: partition 1 the ESP, partition 2 Windows.
Disk gptDisk(std::uint16_t machine = boot::kMachineAmd64) {
  Disk disk;
  disk.layout.style = boot::PartitionStyle::Gpt;
  disk.layout.diskGuid = guid("{5eed2468-0000-4000-8000-00000000d15c}");
  boot::Partition esp, windows;
  esp.number = 1, esp.startLba = kSystemStart, esp.sectors = kSystemSectors;
  esp.gptType = boot::kEfiSystemPartitionType;
  esp.gptUnique = guid("{01234567-89ab-cdef-0123-456789abcdef}");
  windows.number = 2, windows.startLba = kWindowsStart, windows.sectors = kWindowsSectors;
  windows.gptUnique = guid("{76543210-ba98-fedc-3210-fedcba987654}");
  disk.layout.partitions = {windows, esp};  // /DEVICE names the Windows partition
  disk.heads[kSystemStart] = fat32Head(0);  // the ESP needs no boot code
  const auto device = [&disk](const boot::Partition& p) {
    boot::PartitionDevice d;
    d.style = boot::PartitionStyle::Gpt;
    d.diskGuid = disk.layout.diskGuid;
    d.partitionGuid = p.gptUnique;
    d.startBytes = p.startLba * 512;
    return d;
  };
  Files& files = disk.files[kSystemStart];
  files["\\efi\\microsoft\\boot\\bootmgfw.efi"] = {peFile(machine)};
  files[std::string("\\efi\\boot\\") + tools::fallbackFileName(machine)] = {peFile(machine)};
  files["\\efi\\microsoft\\boot\\bcd"] = {
      store(boot::Firmware::uefi, device(esp), device(windows))};
  disk.files[kWindowsStart] = windowsFiles(true);
  return disk;
}

TEST(StartChain, AGptDiskStartsThroughItsFallbackFileOrTheFirmwaresFirstEntry) {
  std::vector<ChainVerdict> verdicts = judge(gptDisk());
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_TRUE(verdicts[0].ok) << verdicts[0].reason;
  EXPECT_EQ(verdicts[0].chain,
            "GPT -> partition 1 (EFI system partition, FAT32) -> \\EFI\\Boot\\bootx64.efi -> "
            "\\EFI\\Microsoft\\Boot\\BCD -> Windows 10 on partition 2 (\\Windows)");
  EXPECT_TRUE(judge(gptDisk(boot::kMachineI386))[0].ok);

  // No fallback file: only an entry first in BootOrder for this ESP will do.
  Disk disk = gptDisk();
  disk.files[kSystemStart].erase("\\efi\\boot\\bootx64.efi");
  verdicts = judge(disk);
  ASSERT_FALSE(verdicts[0].ok);
  EXPECT_NE(verdicts[0].reason.find("partition 1 has no \\EFI\\Boot\\bootx64.efi, and no firmware "
                                    "entry starts \\EFI\\Microsoft\\Boot\\bootmgfw.efi first "
                                    "(this machine started through BIOS): run bcdboot "
                                    "<Windows folder> /S S: again"),
            std::string::npos)
      << verdicts[0].reason;
  boot::LoadOption entry;
  entry.description = u"Windows Boot Manager";
  entry.hasHardDrive = true;
  entry.hardDrive.style = boot::PartitionStyle::Gpt;
  entry.hardDrive.partitionGuid = disk.layout.partitions[1].gptUnique;
  entry.filePath = u"\\EFI\\MICROSOFT\\BOOT\\BOOTMGFW.EFI";
  disk.firstBootEntry = [&entry](boot::LoadOption& first, std::string&) {
    first = entry;
    return true;
  };
  verdicts = judge(disk);
  ASSERT_TRUE(verdicts[0].ok) << verdicts[0].reason;
  EXPECT_NE(verdicts[0].chain.find("-> firmware entry \"Windows Boot Manager\" -> "
                                   "\\EFI\\Microsoft\\Boot\\bootmgfw.efi ->"),
            std::string::npos)
      << verdicts[0].chain;
  entry.hardDrive.partitionGuid = disk.layout.partitions[0].gptUnique;
  verdicts = judge(disk);
  ASSERT_FALSE(verdicts[0].ok);
  EXPECT_NE(verdicts[0].reason.find("its first boot entry \"Windows Boot Manager\" starts "
                                    "something else"),
            std::string::npos);

  // A 32-bit boot manager wants bootia32.efi, not bootx64.efi.
  Disk ia32 = gptDisk(boot::kMachineI386);
  ia32.files[kSystemStart]["\\efi\\boot\\bootx64.efi"] = {peFile(boot::kMachineAmd64)};
  ia32.files[kSystemStart].erase("\\efi\\boot\\bootia32.efi");
  EXPECT_NE(judge(ia32)[0].reason.find("has no \\EFI\\Boot\\bootia32.efi"), std::string::npos);
}

TEST(StartChain, BrokenUefiLinks) {
  std::vector<std::pair<std::function<void(Disk&)>, std::string>> breaks = {
      {[](Disk& d) { d.layout.partitions.pop_back(); }, "no EFI system partition"},
      {[](Disk& d) { d.heads[kSystemStart] = ntfsHead(kSystemStart, kSystemSectors); },
       "(partition 1) is NTFS, and UEFI firmware starts only from FAT"},
      {[](Disk& d) { d.unreachable[kSystemStart] = "no FAT driver"; },
       "cannot be looked into: no FAT driver"},
      {[](Disk& d) { d.files[kSystemStart].erase("\\efi\\microsoft\\boot\\bootmgfw.efi"); },
       "there is no \\EFI\\Microsoft\\Boot\\bootmgfw.efi on partition 1"},
      {[](Disk& d) { d.files[kSystemStart]["\\efi\\microsoft\\boot\\bootmgfw.efi"].bytes[0] = 0; },
       "is no EFI program"},
      {[](Disk& d) { d.files[kSystemStart].erase("\\efi\\microsoft\\boot\\bcd"); },
       "there is no \\EFI\\Microsoft\\Boot\\BCD on partition 1"},
      {[](Disk& d) { d.files[kWindowsStart].erase("\\windows\\system32\\winload.efi"); },
       "\\Windows\\system32\\winload.efi is missing on partition 2"},
  };
  for (const auto& [damage, words] : breaks) {
    Disk disk = gptDisk();
    damage(disk);
    const std::vector<ChainVerdict> verdicts = judge(disk);
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_FALSE(verdicts[0].ok) << words;
    EXPECT_NE(verdicts[0].reason.find(words), std::string::npos)
        << "wanted: " << words << "\ngot: " << verdicts[0].reason;
  }
}

TEST(StartChain, AHiveIsKnownByItsSignatureAndChecksum) {
  le::Bytes hive = systemHive();
  EXPECT_TRUE(tools::looksLikeHive(hive));
  hive[0x30] ^= 1;
  EXPECT_FALSE(tools::looksLikeHive(hive));
  EXPECT_FALSE(tools::looksLikeHive(le::Bytes(511, 0)));
  EXPECT_EQ(tools::fallbackFileName(boot::kMachineArm64), "bootaa64.efi");
  EXPECT_EQ(tools::fallbackFileName(0x1C4), "");
}

}  // namespace
