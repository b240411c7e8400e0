#include "tools/bcdboot/boot_targets.h"

namespace tools {

bool isFatFileSystem(const std::string& fileSystem) {
  return fileSystem == "FAT32" || fileSystem == "FAT16";
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
