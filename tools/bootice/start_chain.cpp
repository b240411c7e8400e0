#include "tools/bootice/start_chain.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

#include "boot/code/boot_code.h"
#include "boot/sector/volume_boot_sector.h"
#include "boot/store/hive.h"
#include "boot/store/pe_version.h"

namespace tools {

namespace {

using boot::Partition;
using boot::PartitionDevice;

constexpr char kBootmgrPath[] = "\\bootmgr";
constexpr char kBiosStore[] = "\\Boot\\BCD";
constexpr char kUefiManager[] = "\\EFI\\Microsoft\\Boot\\bootmgfw.efi";
constexpr char kUefiStore[] = "\\EFI\\Microsoft\\Boot\\BCD";
constexpr char kFallbackFolder[] = "\\EFI\\Boot\\";
constexpr std::uint64_t kPeReadLimit = 64u << 20;

// A verdict in the making: links are added while they hold.
struct Judging {
  ChainVerdict verdict;
  std::string arrow;

  void link(const std::string& text) {
    if (!verdict.chain.empty()) verdict.chain += arrow;
    verdict.chain += text;
  }
  bool broken(const std::string& reason) {
    verdict.ok = false;
    verdict.reason = reason;
    return false;
  }
};

std::string partitionName(const Partition& partition) {
  return "partition " + std::to_string(partition.number);
}

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && sameText(text.substr(text.size() - tail.size()), tail);
}

PartitionDevice deviceOf(const ChainInput& input, const Partition& partition) {
  PartitionDevice device;
  device.style = input.layout.style;
  device.mbrSignature = input.layout.signature;
  device.startBytes = partition.startLba * input.sectorSize;
  device.diskGuid = input.layout.diskGuid;
  device.partitionGuid = partition.gptUnique;
  return device;
}

std::string deviceText(const PartitionDevice& device) {
  if (device.style == boot::PartitionStyle::Mbr)
    return "the partition at byte " + std::to_string(device.startBytes) + " of the MBR disk " +
           hex32(device.mbrSignature);
  return "the GPT partition " + boot::guidText(device.partitionGuid) + " of the disk " +
         boot::guidText(device.diskGuid);
}

// What the /DEVICE of a partition is called in the advice: the name given
// where that is the partition, else its number.
std::string deviceFor(const ChainInput& input, const Partition& partition) {
  if (input.named && input.named->startLba == partition.startLba) return input.deviceName;
  return "<the drive of " + partitionName(partition) + ">";
}

bool allZero(const le::Bytes& bytes, std::size_t from, std::size_t to) {
  return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                     bytes.begin() + static_cast<std::ptrdiff_t>(to),
                     [](std::uint8_t b) { return b == 0; });
}

bool contains(const le::Bytes& bytes, std::size_t from, std::size_t to, const std::string& text) {
  const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(from);
  const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(to);
  return std::search(begin, end, text.begin(), text.end()) != end;
}

bool sameBytes(const le::Bytes& bytes, std::size_t at, const std::uint8_t* code, std::size_t from,
               std::size_t to) {
  return bytes.size() >= at + (to - from) &&
         std::equal(code + from, code + to, bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// Reads whole disk sectors covering at least `count` bytes from `offset`.
bool readRounded(const ChainInput& input, const Partition& partition, std::uint64_t offset,
                 std::uint64_t count, le::Bytes& out, std::string& why) {
  const std::uint64_t size = input.sectorSize;
  const std::uint64_t start = offset / size * size;
  const std::uint64_t end = (offset + count + size - 1) / size * size;
  le::Bytes whole;
  if (!input.readPartition(partition, start, end - start, whole, why)) return false;
  if (whole.size() < offset - start + count) return why = "a short read", false;
  out.assign(whole.begin() + static_cast<std::ptrdiff_t>(offset - start),
             whole.begin() + static_cast<std::ptrdiff_t>(offset - start + count));
  return true;
}

// The system partition's boot sector: a BPB that fits the partition, and
// boot code; Roamdeck's own code whole and within the sizes it reads.
bool judgeBootSector(const ChainInput& input, const Partition& system, Judging& judging,
                     boot::VolumeBootSector& bpb) {
  const std::string name = partitionName(system);
  const std::string bootsect = "run bootsect /NT60 " + deviceFor(input, system);
  le::Bytes sector;
  std::string why;
  if (!readRounded(input, system, 0, 512, sector, why))
    return judging.broken("the boot sector of " + name + " cannot be read: " + why);
  if (!boot::parseVolumeBootSector(sector, bpb, why))
    return judging.broken("the boot sector of " + name + " is no NTFS or FAT volume's (" + why +
                          "): format it, then run bcdboot and bootsect /NT60 on it");
  if (bpb.bytesPerSector != input.sectorSize)
    return judging.broken("the volume on " + name + " counts sectors of " +
                          std::to_string(bpb.bytesPerSector) + " bytes, but the disk's are " +
                          std::to_string(input.sectorSize) +
                          ": format it again on this disk, then run bcdboot and bootsect /NT60");
  if (bpb.hiddenSectors != system.startLba)
    return judging.broken(
        "the boot sector of " + name + " says the volume starts at sector " +
        std::to_string(bpb.hiddenSectors) +
        " (HiddenSectors), but the partition starts at sector " + std::to_string(system.startLba) +
        ", so its boot code reads the wrong sectors: " + bootsect + ", which corrects it");
  if (!boot::volumeFitsPartition(bpb, system.sectors * input.sectorSize, why))
    return judging.broken("the volume on " + name + " does not fit its partition (" + why +
                          "): format it again");
  if (allZero(sector, bpb.codeOffset, boot::kBootSignatureOffset) ||
      contains(sector, bpb.codeOffset, boot::kBootSignatureOffset, "not a bootable disk"))
    return judging.broken("the boot sector of " + name +
                          " carries no boot code that starts bootmgr: " + bootsect);

  // Roamdeck's own code: all of it in place, and a volume it can read.
  const boot::CodeImage code = bpb.kind == boot::FileSystemKind::Ntfs    ? boot::ntfsBootCode()
                               : bpb.kind == boot::FileSystemKind::Fat32 ? boot::fat32BootCode()
                                                                         : boot::fat16BootCode();
  // FAT32: the u16 after the BPB is the placer's, not the code's.
  const std::size_t from =
      bpb.kind == boot::FileSystemKind::Fat32 ? boot::kFat32ExtraSectorField + 2 : bpb.codeOffset;
  if (!sameBytes(sector, from, code.bytes, from, boot::kBootSignatureOffset)) return true;
  if (bpb.kind == boot::FileSystemKind::Ntfs) {
    const std::string refusal = boot::ntfsGeometryRefusal(bpb.bytesPerSector, bpb.clusterBytes(),
                                                          bpb.mftRecordBytes, bpb.indexBlockBytes);
    if (!refusal.empty())
      return judging.broken("the volume on " + name + " has " + refusal +
                            ", which Roamdeck's boot code does not read: format it with "
                            "smaller sizes");
    le::Bytes rest;
    if (!readRounded(input, system, 512, code.size - 512, rest, why))
      return judging.broken("the boot code of " + name + " cannot be read: " + why);
    if (!sameBytes(rest, 0, code.bytes, 512, code.size))
      return judging.broken("the boot code of " + name +
                            " is incomplete (its sectors after the first differ): " + bootsect);
  } else if (bpb.kind == boot::FileSystemKind::Fat32) {
    const std::uint32_t extra = le::u16(sector, boot::kFat32ExtraSectorField);
    le::Bytes more;
    if (extra == 0 || extra >= bpb.reservedSectors ||
        !readRounded(input, system, std::uint64_t{extra} * bpb.bytesPerSector, code.size - 512,
                     more, why) ||
        !sameBytes(more, 0, code.bytes, 512, code.size))
      return judging.broken("the boot code of " + name +
                            " has lost its second sector (reserved sector " +
                            std::to_string(extra) + "): " + bootsect);
  }
  return true;
}

// A store on `home`: it loads, {bootmgr} lives on `home`, and its default
// object is a Windows loader.
bool judgeStore(const PartitionFiles& files, const std::string& path, const PartitionDevice& home,
                const std::string& homeName, const std::string& bcdboot, Judging& judging,
                std::vector<boot::BcdObject>& objects, const boot::BcdObject*& loader) {
  const std::string where = path + " on " + homeName;
  le::Bytes bytes;
  if (!files.look(path).exists) return judging.broken("there is no " + where + ": " + bcdboot);
  if (!files.read(path, boot::kMaxCellData * 4096, bytes))
    return judging.broken(where + " cannot be read: " + bcdboot + " again");
  boot::Key root;
  std::string why;
  if (!boot::readHive(bytes, root, why))
    return judging.broken(where + " is no valid registry hive (" + why + "): " + bcdboot +
                          " again");
  if (!boot::readStore(root, objects, why))
    return judging.broken(where + " is no boot configuration store (" + why + "): " + bcdboot +
                          " again");
  const boot::BcdObject* manager = boot::findObject(objects, boot::bcd::kBootmgr);
  if (!manager) return judging.broken(where + " has no {bootmgr} object: " + bcdboot + " again");
  const boot::BcdElement* device = boot::findElement(*manager, boot::bcd::kDevice);
  PartitionDevice named;
  if (!device || !boot::readPartitionDevice(device->data, named))
    return judging.broken("the {bootmgr} of " + where + " names no partition: " + bcdboot +
                          " again");
  if (!boot::samePartition(named, home))
    return judging.broken("the {bootmgr} of " + where + " names " + deviceText(named) + ", not " +
                          homeName + " that holds it: " + bcdboot + " again");
  const boot::BcdElement* fallback = boot::findElement(*manager, boot::bcd::kDefaultObject);
  std::u16string text;
  boot::Guid id;
  if (!fallback || !boot::elementText(*fallback, text) || !boot::parseGuid(boot::narrow(text), id))
    return judging.broken("the {bootmgr} of " + where + " names no default loader: " + bcdboot +
                          " again");
  loader = boot::findObject(objects, boot::guidText(id));
  if (!loader)
    return judging.broken("the default loader " + boot::guidText(id) + " of " + where +
                          " is not in the store: " + bcdboot + " again");
  if (loader->type != boot::bcd::kTypeOsLoader)
    return judging.broken("the default object " + boot::guidText(id) + " of " + where +
                          " is no Windows loader (type " + hex32(loader->type) + "): " + bcdboot +
                          " again");
  judging.link(path);
  return true;
}

struct WindowsPlace {
  std::string name;
  bool reached = false;
  std::string whyNotReached;
  PartitionFiles files;
};

bool findPartition(const ChainInput& input, const PartitionDevice& device, WindowsPlace& place) {
  for (const Partition& partition : input.layout.partitions) {
    if (!boot::samePartition(deviceOf(input, partition), device)) continue;
    place.name = partitionName(partition);
    place.reached = input.reach(partition, place.files, place.whyNotReached);
    return true;
  }
  if (!input.elsewhere) return false;
  PartitionFound found = input.elsewhere(device);
  if (!found.found) return false;
  place.name = found.name;
  place.reached = found.reached;
  place.whyNotReached = found.whyNotReached;
  place.files = found.files;
  return true;
}

std::string textElement(const boot::BcdObject& object, std::uint32_t id) {
  const boot::BcdElement* element = boot::findElement(object, id);
  std::u16string text;
  if (!element || !boot::elementText(*element, text)) return std::string();
  return boot::narrow(text);
}

// The Windows the default loader names: its partitions on this machine, and
// on them the loader, the kernel and the SYSTEM hive.
bool judgeWindows(const ChainInput& input, const boot::BcdObject& loader, bool uefi,
                  const std::string& storeWhere, const std::string& bcdboot, Judging& judging) {
  std::string description = textElement(loader, boot::bcd::kDescription);
  if (description.empty()) description = "Windows";
  const std::string what = "the default loader \"" + description + "\" of " + storeWhere;
  PartitionDevice device, osDevice;
  const boot::BcdElement* deviceElement = boot::findElement(loader, boot::bcd::kDevice);
  const boot::BcdElement* osElement = boot::findElement(loader, boot::bcd::kOsDevice);
  if (!deviceElement || !boot::readPartitionDevice(deviceElement->data, device) || !osElement ||
      !boot::readPartitionDevice(osElement->data, osDevice))
    return judging.broken(what + " names no partition for Windows: " + bcdboot + " again");
  std::string path = textElement(loader, boot::bcd::kPath);
  std::string root = textElement(loader, boot::bcd::kSystemRoot);
  if (root.empty()) root = "\\Windows";
  const char* extension = uefi ? ".efi" : ".exe";
  if (path.empty() || !endsWith(path, extension))
    return judging.broken(what + " starts " + (path.empty() ? "no loader" : path) + ", not a " +
                          extension + " loader: " + bcdboot + " again");

  WindowsPlace loaderPlace, systemPlace;
  if (!findPartition(input, device, loaderPlace))
    return judging.broken(what + " names " + deviceText(device) +
                          ", which is on no disk of this machine: " + bcdboot + " again");
  const bool samePlace = boot::samePartition(device, osDevice);
  if (!samePlace && !findPartition(input, osDevice, systemPlace))
    return judging.broken(what + " names " + deviceText(osDevice) +
                          " for its system, which is on no disk of this machine: " + bcdboot +
                          " again");
  const WindowsPlace& system = samePlace ? loaderPlace : systemPlace;
  judging.link(description + " on " + system.name + " (" + root + ")");
  for (const WindowsPlace* place :
       std::initializer_list<const WindowsPlace*>{&loaderPlace, &system}) {
    if (!place->reached) {
      judging.verdict.warnings.push_back(description + " on " + place->name +
                                         " could not be looked into (" + place->whyNotReached +
                                         "); its files were not checked");
      return true;
    }
  }
  const std::string again = ": the Windows there is incomplete; apply it again, then " + bcdboot;
  if (!loaderPlace.files.look(path).exists)
    return judging.broken(path + " is missing on " + loaderPlace.name + again);
  const std::string kernel = root + "\\System32\\ntoskrnl.exe";
  if (!system.files.look(kernel).exists)
    return judging.broken(kernel + " is missing on " + system.name + again);
  const std::string hive = root + "\\System32\\config\\SYSTEM";
  le::Bytes head;
  if (!system.files.look(hive).exists)
    return judging.broken(hive + " is missing on " + system.name + again);
  if (!system.files.read(hive, 4096, head) || !looksLikeHive(head))
    return judging.broken(hive + " on " + system.name + " is no registry hive" + again);
  return true;
}

std::string fileSystemOf(const ChainInput& input, const Partition& partition,
                         boot::VolumeBootSector& bpb, std::string& why) {
  le::Bytes sector;
  if (!readRounded(input, partition, 0, 512, sector, why)) return std::string();
  if (!boot::parseVolumeBootSector(sector, bpb, why)) return std::string();
  return boot::fileSystemName(bpb.kind);
}

bool holdsAny(const PartitionFiles& files, std::initializer_list<const char*> paths) {
  for (const char* path : paths)
    if (files.look(path).exists) return true;
  return false;
}

// The partition of an MBR disk that holds the boot files: the one named,
// else the active one.
const Partition* mbrSystemPartition(const ChainInput& input,
                                    std::initializer_list<const char*> bootFiles,
                                    PartitionFiles& files, std::string& unreached) {
  std::vector<const Partition*> candidates;
  if (input.named) candidates.push_back(input.named);
  for (const Partition& partition : input.layout.partitions)
    if (partition.slot >= 0 && partition.status == boot::kActive &&
        (!input.named || partition.startLba != input.named->startLba))
      candidates.push_back(&partition);
  for (const Partition* partition : candidates) {
    std::string why;
    if (!input.reach(*partition, files, why)) {
      if (unreached.empty()) unreached = partitionName(*partition) + ": " + why;
      continue;
    }
    if (holdsAny(files, bootFiles)) return partition;
  }
  return nullptr;
}

ChainVerdict judgeBios(const ChainInput& input) {
  Judging judging;
  judging.arrow = input.arrow;
  judging.verdict.firmware = "BIOS";
  const std::string& disk = input.diskName;
  const std::string activate = "run BOOTICE /DEVICE=";
  [&] {
    const le::Bytes& mbr = input.sector0;
    if (mbr.size() < 512 || le::u16(mbr, boot::kBootSignatureOffset) != 0xAA55)
      return judging.broken("sector 0 of " + disk +
                            " holds no MBR (no 55 AA): partition the disk again");
    if (boot::mbrCodeAreaEmpty(mbr))
      return judging.broken("the MBR of " + disk + " holds no boot code: " + activate +
                            input.deviceName + " /partitions /activate, which writes Roamdeck's");
    judging.link("MBR");

    std::vector<const Partition*> active;
    for (const Partition& partition : input.layout.partitions)
      if (partition.slot >= 0 && partition.status == boot::kActive) active.push_back(&partition);
    PartitionFiles files;
    std::string unreached;
    const Partition* system =
        mbrSystemPartition(input, {kBootmgrPath, kBiosStore}, files, unreached);
    if (!system) {
      const std::string name = input.named ? partitionName(*input.named) : "the partition named";
      return judging.broken(name + " holds neither bootmgr nor \\Boot\\BCD" +
                            (unreached.empty() ? "" : " (not looked into: " + unreached + ")") +
                            ": run bcdboot <Windows folder> /S " + input.deviceName);
    }
    const std::string name = partitionName(*system);
    const std::string fix = activate + deviceFor(input, *system) + " /partitions /activate";
    if (system->logical)
      return judging.broken("the boot files are on " + name +
                            ", a logical partition, which cannot be active: run bcdboot onto a "
                            "primary partition");
    if (active.empty())
      return judging.broken("no partition of " + disk +
                            " is active, so its MBR code starts none: " + fix);
    if (active.size() > 1)
      return judging.broken(partitionName(*active[0]) + " and " + partitionName(*active[1]) +
                            " are both active, and the MBR code starts none: " + fix);
    if (active[0]->startLba != system->startLba)
      return judging.broken(partitionName(*active[0]) + " is active, but the boot files are on " +
                            name + ": " + fix);
    boot::VolumeBootSector bpb;
    if (!judgeBootSector(input, *system, judging, bpb)) return false;
    judging.link(name + " (active, " + boot::fileSystemName(bpb.kind) + ")");

    const std::string bcdboot = "run bcdboot <Windows folder> /S " + deviceFor(input, *system);
    const FileLook manager = files.look(kBootmgrPath);
    if (!manager.exists)
      return judging.broken("there is no bootmgr in the root of " + name + ": " + bcdboot);
    if (!manager.plain)
      return judging.broken("bootmgr on " + name +
                            " is stored compressed, sparse or encrypted, which boot code cannot "
                            "read: " +
                            bcdboot + " again, which stores it plainly");
    judging.link("bootmgr");
    std::vector<boot::BcdObject> objects;
    const boot::BcdObject* loader = nullptr;
    if (!judgeStore(files, kBiosStore, deviceOf(input, *system), name, bcdboot, judging, objects,
                    loader))
      return false;
    if (!judgeWindows(input, *loader, false, std::string(kBiosStore) + " on " + name, bcdboot,
                      judging))
      return false;
    judging.verdict.ok = true;
    return true;
  }();
  return judging.verdict;
}

// Whether the firmware's entry starts the boot manager on `partition`.
bool entryStarts(const ChainInput& input, const boot::LoadOption& option,
                 const Partition& partition) {
  if (!option.hasHardDrive || !sameText(boot::utf16ToAscii(option.filePath), kUefiManager))
    return false;
  const boot::HardDriveNode& node = option.hardDrive;
  if (input.layout.style == boot::PartitionStyle::Gpt)
    return node.style == boot::PartitionStyle::Gpt && node.partitionGuid == partition.gptUnique;
  return node.style == boot::PartitionStyle::Mbr && node.mbrSignature == input.layout.signature &&
         node.startLba == partition.startLba;
}

// False at a broken link; true without a verdict of ok for an MBR disk that
// is not set up for UEFI at all.
bool judgeUefi(const ChainInput& input, Judging& judging) {
  const std::string& disk = input.diskName;
  const bool gpt = input.layout.style == boot::PartitionStyle::Gpt;
  PartitionFiles files;
  const Partition* system = nullptr;
  std::string why;
  boot::VolumeBootSector bpb;
  if (gpt) {
    judging.link("GPT");
    system = boot::efiSystemPartition(input.layout);
    if (!system)
      return judging.broken(disk +
                            " is a GPT disk that has no EFI system partition, from which alone "
                            "UEFI firmware starts it: create one and run bcdboot");
    const std::string fileSystem = fileSystemOf(input, *system, bpb, why);
    if (fileSystem.empty() || bpb.kind == boot::FileSystemKind::Ntfs)
      return judging.broken("the EFI system partition of " + disk + " (" + partitionName(*system) +
                            ") is " +
                            (fileSystem.empty() ? "no FAT volume (" + why + ")" : fileSystem) +
                            ", and UEFI firmware starts only from FAT: format it FAT32 and run "
                            "bcdboot");
    if (!input.reach(*system, files, why))
      return judging.broken("the EFI system partition of " + disk + " (" + partitionName(*system) +
                            ") cannot be looked into: " + why);
    judging.link(partitionName(*system) + " (EFI system partition, " + fileSystem + ")");
  } else {
    judging.link("MBR");
    std::string unreached;
    system = mbrSystemPartition(input, {kUefiManager, kUefiStore}, files, unreached);
    const std::string fileSystem = system ? fileSystemOf(input, *system, bpb, why) : "";
    if (!system || fileSystem.empty() || bpb.kind == boot::FileSystemKind::Ntfs) return true;
    judging.link(partitionName(*system) + " (" + fileSystem + ")");
  }
  const std::string name = partitionName(*system);
  const std::string bcdboot =
      "run bcdboot <Windows folder> /S " +
      (gpt && input.named && input.named->startLba != system->startLba ? input.deviceName
                                                                       : deviceFor(input, *system));
  if (!files.look(kUefiManager).exists)
    return judging.broken("there is no " + std::string(kUefiManager) + " on " + name + ": " +
                          bcdboot);
  le::Bytes manager;
  boot::PeInfo info;
  std::string fallback;
  if (files.read(kUefiManager, kPeReadLimit, manager) &&
      boot::readPeInfo(manager.data(), manager.size(), info, why))
    fallback = fallbackFileName(info.machine);
  if (fallback.empty())
    return judging.broken(std::string(kUefiManager) + " on " + name +
                          " is no EFI program of a machine UEFI firmware starts: " + bcdboot +
                          " again");
  const std::string fallbackPath = kFallbackFolder + fallback;
  if (files.look(fallbackPath).exists) {
    judging.link(fallbackPath);
  } else {
    boot::LoadOption first;
    std::string noEntry = input.noFirmwareEntry;
    if (input.firstBootEntry) {
      if (!input.firstBootEntry(first, noEntry))
        noEntry = "its boot entries cannot be read: " + noEntry;
      else if (entryStarts(input, first, *system))
        noEntry.clear();
      else
        noEntry = "its first boot entry \"" + boot::utf16ToAscii(first.description) +
                  "\" starts something else";
    }
    if (!noEntry.empty())
      return judging.broken(name + " has no " + fallbackPath + ", and no firmware entry starts " +
                            kUefiManager + " first (" + noEntry + "): " + bcdboot +
                            " again, which puts the fallback file " + "back");
    judging.link("firmware entry \"" + boot::utf16ToAscii(first.description) + "\"");
    judging.link(kUefiManager);
  }
  std::vector<boot::BcdObject> objects;
  const boot::BcdObject* loader = nullptr;
  if (!judgeStore(files, kUefiStore, deviceOf(input, *system), name, bcdboot, judging, objects,
                  loader))
    return false;
  if (!judgeWindows(input, *loader, true, std::string(kUefiStore) + " on " + name, bcdboot,
                    judging))
    return false;
  judging.verdict.ok = true;
  return true;
}

}  // namespace

bool looksLikeHive(const le::Bytes& head) {
  if (head.size() < 512 || le::u32(head, 0) != 0x66676572) return false;  // "regf"
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= le::u32(head, at);
  return sum == le::u32(head, 0x1FC);
}

std::string fallbackFileName(std::uint16_t machine) {
  switch (machine) {
    case boot::kMachineAmd64:
      return "bootx64.efi";
    case boot::kMachineI386:
      return "bootia32.efi";
    case boot::kMachineArm64:
      return "bootaa64.efi";
    default:
      return std::string();
  }
}

std::vector<ChainVerdict> judgeStartChain(const ChainInput& input) {
  std::vector<ChainVerdict> verdicts;
  if (input.layout.style == boot::PartitionStyle::Mbr) verdicts.push_back(judgeBios(input));
  Judging uefi;
  uefi.arrow = input.arrow;
  uefi.verdict.firmware = "UEFI";
  const bool decided = judgeUefi(input, uefi);
  // An MBR disk without UEFI files is not set up for UEFI: no verdict.
  if (!decided || uefi.verdict.ok) verdicts.push_back(uefi.verdict);
  return verdicts;
}

}  // namespace tools
