// Where bcdboot puts the boot files of each kind of firmware, decided from
// the system drive's disk before anything is touched: a BIOS starts an MBR
// disk from its active partition, UEFI firmware a GPT disk from its EFI
// system partition, whichever volume /S names.
#pragma once

#include <string>

#include "boot/disk/partition_table.h"

namespace tools {

struct BootTargets {
  bool bios = false;  // BIOS files and store onto the system drive
  bool uefi = false;  // UEFI files and store, onto the system drive or the ESP
  // With `uefi` on a GPT disk: the disk's EFI system partition, which may be
  // the system drive itself. Null where the UEFI files go to the system drive.
  const boot::Partition* esp = nullptr;
  bool espIsSystem = false;
  std::string refusal;  // not empty: refused, nothing may be written
};

struct TargetRequest {
  const boot::DiskLayout* layout = nullptr;  // the system drive's disk
  const boot::Partition* system = nullptr;   // the system drive's partition on it
  std::string systemFileSystem;              // "NTFS", "FAT32", "FAT16" or "" (unknown)
  std::string espFileSystem;                 // the same for the disk's ESP, where it has one
  std::string firmware;                      // "", BIOS, UEFI or ALL (/f)
  bool imageHasEfi = false;                  // <W>\Boot\EFI exists
  std::string systemName;                    // /S as given, for the refusals
  std::string diskName;                      // the disk, for the refusals
};

bool isFatFileSystem(const std::string& fileSystem);

// A drive as users type it for /S: `S:`, `S:\` and `S:/` all name the root
// `S:\` (a bare `S:` is the drive's current folder: "S:" / "Boot" would be
// `S:Boot`, inside system32 from an elevated prompt). Anything else is
// returned as given.
std::string driveRootOf(const std::string& name);

// The name the hive list gives a store file: the system device of its drive
// and the path below the drive's root, with backslashes (device
// `\Device\HarddiskVolume1` and `S:\Boot\BCD`, `\\?\S:\Boot\BCD` or `S:Boot/BCD` give
// `\Device\HarddiskVolume1\Boot\BCD`). Empty for a path without a drive.
std::u16string hiveListName(const std::u16string& device, const std::u16string& path);

BootTargets chooseBootTargets(const TargetRequest& request);

}  // namespace tools
