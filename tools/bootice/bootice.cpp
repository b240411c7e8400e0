#include "tools/bootice/bootice.h"

#include <algorithm>
#include <filesystem>

#include "boot/code/boot_code.h"
#include "boot/disk/disk_access.h"
#include "boot/disk/partition_mount.h"
#include "boot/disk/partition_table.h"
#include "boot/sector/volume_boot_sector.h"
#include "tools/cli/failure_text.h"
#include "tools/cli/volume_io.h"

namespace tools {

namespace {

constexpr char kTool[] = "BOOTICE";
#ifdef _WIN32
constexpr char kUsage[] = "Usage: BOOTICE.exe /DEVICE=<drive>: /partitions /activate [/quiet]";
#else
constexpr char kUsage[] = "Usage: bootice /DEVICE=<volume> /partitions /activate [/quiet]";
#endif
constexpr char kDevicePrefix[] = "/DEVICE=";

int refuse(const Host& host, const std::string& reason) {
  return refuseArguments(host, kTool, kUsage, reason);
}

int fail(const Host& host, const std::string& reason) { return failWith(host, kTool, reason); }

// The primary MBR entry that starts at `startLba`, or -1.
int slotStartingAt(const le::Bytes& sector0, std::uint64_t startLba) {
  for (int slot = 0; slot < 4; ++slot) {
    const std::size_t at =
        boot::kMbrTableOffset + static_cast<std::size_t>(slot) * boot::kMbrEntrySize;
    if (le::u8(sector0, at + 4) != 0 && le::u32(sector0, at + 8) == startLba) return slot;
  }
  return -1;
}

// A GPT disk has no active partition: UEFI firmware starts it from its EFI
// system partition, so whichever partition was named, the disk is ready when
// that partition holds Windows Boot Manager. Nothing is changed on it.
int checkGptDisk(const std::string& device, const std::string& diskPath, boot::Device& disk,
                 const boot::DiskLayout& layout, const Host& host) {
  const std::uint32_t sectorSize = disk.sectorSize;
  const boot::Partition* esp = boot::efiSystemPartition(layout);
  if (!esp)
    return fail(host, device +
                          " lies on a GPT disk that has no EFI system partition, from "
                          "which alone UEFI firmware starts it: create one and run "
                          "bcdboot; nothing was changed");
  const std::string partition = "the EFI system partition of " + diskPath + " (partition " +
                                std::to_string(esp->number) + ")";
  // Read through the disk handle already open: a second open of the same
  // disk is what a system that locked the first would refuse.
  le::Bytes sector;
  boot::VolumeBootSector bpb;
  std::string reason;
  if (!readBytes(disk, esp->startLba * sectorSize, 512, sector, reason))
    return fail(host, "cannot read " + partition + ": " + reason);
  const bool known = boot::parseVolumeBootSector(sector, bpb, reason);
  if (!known || bpb.kind == boot::FileSystemKind::Ntfs)
    return fail(host, partition + " is " +
                          (known ? std::string(boot::fileSystemName(bpb.kind))
                                 : "no FAT volume (" + reason + ")") +
                          ", and UEFI firmware starts only from FAT; nothing was changed");
  boot::PartitionMount mount;
  if (!boot::reachPartition(diskPath, esp->startLba * sectorSize, esp->sectors * sectorSize, false,
                            mount, reason))
    return fail(host, "cannot look into " + partition + ": " + reason);
  const std::filesystem::path boot =
      std::filesystem::path(mount.folder) / "EFI" / "Microsoft" / "Boot";
  std::error_code error;
  const bool ready = std::filesystem::is_regular_file(boot / "bootmgfw.efi", error) &&
                     std::filesystem::is_regular_file(boot / "BCD", error);
  if (!mount.release(reason)) return fail(host, "cannot release " + partition + ": " + reason);
  if (!ready)
    return fail(host, partition +
                          " holds no Windows Boot Manager (\\EFI\\Microsoft\\Boot\\bootmgfw.efi "
                          "and its BCD): run bcdboot first; nothing was changed");
  host.printLine(device +
                 " lies on a GPT disk, which has no active partition: UEFI firmware "
                 "starts it from " +
                 partition + ", which holds Windows Boot Manager. Nothing needed changing.");
  return kExitOk;
}

int activate(const std::string& device, const Host& host) {
  std::string reason;
  boot::VolumeLocation location;
  if (!boot::locateVolume(device, location, reason)) return fail(host, reason);
  if (!location.onDisk)
    return fail(host, "cannot find the disk that holds " + device + ": " + location.whyNotOnDisk +
                          "; nothing was changed");
  boot::Device disk;
  if (!boot::openDevice(location.diskPath, true, disk, reason)) return fail(host, reason);
  boot::DiskLayout layout;
  if (!boot::readLayout(disk, layout, reason)) return fail(host, reason + "; nothing was changed");
  const std::uint64_t startLba = location.startBytes / disk.sectorSize;
  const boot::Partition* partition = boot::partitionStartingAt(layout, startLba);
  if (!partition || location.startBytes % disk.sectorSize != 0)
    return fail(host, "no partition of " + location.diskPath + " starts where " + device +
                          " starts (byte " + std::to_string(location.startBytes) +
                          "); nothing was changed");

  if (layout.style == boot::PartitionStyle::Gpt)
    return checkGptDisk(device, location.diskPath, disk, layout, host);
  if (partition->logical)
    return fail(host, device +
                          " is a logical partition, which cannot be active; nothing "
                          "was changed");

  le::Bytes sector0;
  if (!boot::readSectors(disk, 0, 1, sector0, reason)) return fail(host, reason);
  const le::Bytes before = sector0;
  const int slot = slotStartingAt(sector0, startLba);
  if (slot < 0 || !boot::activateMbrEntry(sector0, slot, reason))
    return fail(host, "the MBR of " + location.diskPath + " holds no entry for " + device +
                          "; nothing was changed");
  const bool addCode = boot::mbrCodeAreaEmpty(sector0);
  if (addCode) {
    const boot::CodeImage code = boot::mbrCode();
    std::copy(code.bytes, code.bytes + boot::kMbrCodeSize, sector0.begin());
  }
  if (sector0 != before) {
    // One sector write: the old MBR or the new one, never a mix.
    if (!boot::writeSectors(disk, 0, sector0, reason))
      return fail(host, withRemedy(reason + "; the MBR of " + location.diskPath +
                                   " holds its old contents or the new ones, whole"));
    boot::announceLayoutChange(disk);
  }
  if (addCode)
    host.printLine("The MBR of " + location.diskPath +
                   " held no boot code, so it could start nothing: Roamdeck's MBR code was "
                   "written.");
  host.printLine("Partition " + std::to_string(slot + 1) + " of " + location.diskPath + " (" +
                 device + ") is " + (sector0 == before ? "already" : "now") +
                 " the active partition.");
  return kExitOk;
}

}  // namespace

int runBootice(const std::vector<std::string>& arguments, const Host& host) {
  const std::size_t prefixLength = sizeof kDevicePrefix - 1;
  bool hasDevice = false, hasPartitions = false, hasActivate = false, hasQuiet = false;
  std::string device;
  for (const std::string& argument : arguments) {
    bool* seen = nullptr;
    if (sameSwitch(argument.substr(0, prefixLength), kDevicePrefix)) {
      seen = &hasDevice;
      device = argument.substr(prefixLength);
    } else if (sameSwitch(argument, "/partitions")) {
      seen = &hasPartitions;
    } else if (sameSwitch(argument, "/activate")) {
      seen = &hasActivate;
    } else if (sameSwitch(argument, "/quiet")) {
      seen = &hasQuiet;  // this tool never shows a dialog
    } else {
      return refuse(host, "unknown switch " + quoted(argument));
    }
    if (*seen) return refuse(host, quoted(argument) + " given twice");
    *seen = true;
  }
  if (!hasDevice) return refuse(host, "no /DEVICE=<drive> given");
  if (device.empty()) return refuse(host, "no drive given after /DEVICE=");
  if (!hasPartitions) return refuse(host, "no /partitions given");
  if (!hasActivate) return refuse(host, "no /activate given");
  return activate(device, host);
}

}  // namespace tools
