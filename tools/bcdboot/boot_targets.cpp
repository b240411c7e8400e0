#include "tools/bcdboot/boot_targets.h"

namespace tools {

bool isFatFileSystem(const std::string& fileSystem) {
  return fileSystem == "FAT32" || fileSystem == "FAT16";
}

std::string driveRootOf(const std::string& name) {
  const bool drive = name.size() >= 2 && name[1] == ':' &&
                     ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  if (drive && (name.size() == 2 || (name.size() == 3 && (name[2] == '\\' || name[2] == '/'))))
    return name.substr(0, 2) + "\\";
  return name;
}

std::u16string hiveListName(const std::u16string& device, const std::u16string& whole) {
  // The long form of the same path names the same file.
  const std::u16string path = whole.rfind(u"\\\\?\\", 0) == 0 ? whole.substr(4) : whole;
  if (path.size() < 2 || path[1] != u':') return std::u16string();
  std::u16string name = device;
  while (!name.empty() && name.back() == u'\\') name.pop_back();
  // One backslash before every part, however the path separated them.
  bool separator = true;
  for (std::size_t i = 2; i < path.size(); ++i) {
    const bool slash = path[i] == u'\\' || path[i] == u'/';
    if (slash) {
      separator = true;
      continue;
    }
    if (separator) name += u'\\';
    separator = false;
    name += path[i];
  }
  return name;
}

namespace {

BootTargets refused(const std::string& reason) {
  BootTargets targets;
  targets.refusal = reason + "; nothing was written";
  return targets;
}

std::string named(const std::string& fileSystem) {
  return fileSystem.empty() ? std::string("not FAT") : fileSystem;
}

}  // namespace

BootTargets chooseBootTargets(const TargetRequest& request) {
  BootTargets targets;
  const std::string& firmware = request.firmware;
  if (!request.layout || request.layout->style == boot::PartitionStyle::Mbr) {
    // An MBR disk: both kinds start from the system drive; UEFI files only
    // where firmware can read them, and unasked only where the image has them.
    const bool fat = isFatFileSystem(request.systemFileSystem);
    targets.bios = firmware != "UEFI";
    targets.uefi =
        firmware == "UEFI" || firmware == "ALL" || (firmware.empty() && fat && request.imageHasEfi);
    if (targets.uefi && !fat)
      return refused("UEFI firmware starts only from FAT, and " + request.systemName + " is " +
                     named(request.systemFileSystem));
    return targets;
  }
  // A GPT disk: no BIOS starts it unless asked for, and UEFI firmware starts
  // it from its EFI system partition only.
  targets.bios = firmware == "BIOS" || firmware == "ALL";
  targets.uefi = firmware != "BIOS";
  if (!targets.uefi) return targets;
  targets.esp = boot::efiSystemPartition(*request.layout);
  if (!targets.esp)
    return refused(request.systemName + " lies on " + request.diskName +
                   ", a GPT disk that has no EFI system partition, from which alone UEFI "
                   "firmware starts it: create one first (FAT32, type "
                   "C12A7328-F81F-11D2-BA4B-00A0C93EC93B)");
  targets.espIsSystem = request.system && request.system->startLba == targets.esp->startLba;
  const std::string& espFs = targets.espIsSystem ? request.systemFileSystem : request.espFileSystem;
  if (!isFatFileSystem(espFs))
    return refused("the EFI system partition of " + request.diskName + " (partition " +
                   std::to_string(targets.esp->number) + ") is " + named(espFs) +
                   ", and UEFI firmware starts only from FAT");
  return targets;
}

}  // namespace tools
