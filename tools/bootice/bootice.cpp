#include "tools/bootice/bootice.h"

#include <algorithm>
#include <filesystem>

#include "boot/code/boot_code.h"
#include "boot/disk/disk_access.h"
#include "boot/disk/partition_mount.h"
#include "boot/disk/partition_table.h"
#include "boot/sector/volume_boot_sector.h"
#include "tools/bootice/chain_check.h"
#include "tools/cli/failure_text.h"
#include "tools/cli/volume_io.h"

namespace tools {

namespace {

constexpr char kTool[] = "BOOTICE";
#ifdef _WIN32
constexpr char kUsage[] =
    "Usage: BOOTICE.exe /DEVICE=<drive>: /partitions /activate [/quiet] | /DEVICE=<drive>: /check";
#else
constexpr char kUsage[] =
    "Usage: bootice /DEVICE=<volume> /partitions /activate [/quiet] | /DEVICE=<volume> /check";
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

// The disk named, open, its layout read and the partition found.
struct NamedDisk {
  boot::VolumeLocation location;
  boot::Device disk;
  boot::DiskLayout layout;
  const boot::Partition* partition = nullptr;
};

bool openNamedDisk(const std::string& device, bool writable, NamedDisk& named,
                   std::string& reason) {
  if (!boot::locateVolume(device, named.location, reason)) return false;
  const boot::VolumeLocation& location = named.location;
  if (!location.onDisk)
    return reason = "cannot find the disk that holds " + device + ": " + location.whyNotOnDisk +
                    "; nothing was changed",
           false;
  if (!boot::openDevice(location.diskPath, writable, named.disk, reason)) return false;
  if (!boot::readLayout(named.disk, named.layout, reason))
    return reason += "; nothing was changed", false;
  const std::uint32_t sectorSize = named.disk.sectorSize;
  named.partition = location.startBytes % sectorSize == 0
                        ? boot::partitionStartingAt(named.layout, location.startBytes / sectorSize)
                        : nullptr;
  if (!named.partition)
    return reason = "no partition of " + location.diskPath + " starts where " + device +
                    " starts (byte " + std::to_string(location.startBytes) +
                    "); nothing was changed",
           false;
  return true;
}

// Only reads: the start chain of the disk that holds the device.
int check(const std::string& device, const Host& host) {
  NamedDisk named;
  std::string reason;
  if (!openNamedDisk(device, false, named, reason)) return fail(host, reason);
  if (!checkStartChain(device, named.location.diskPath, named.disk, named.layout, *named.partition,
                       host, reason))
    return fail(host, reason);
  return kExitOk;
}

int activate(const std::string& device, const Host& host) {
  NamedDisk named;
  std::string reason;
  if (!openNamedDisk(device, true, named, reason)) return fail(host, reason);
  const boot::VolumeLocation& location = named.location;
  boot::Device& disk = named.disk;
  const boot::Partition* partition = named.partition;
  const std::uint64_t startLba = partition->startLba;

  // A GPT disk has no active partition: UEFI firmware starts it from its EFI
  // system partition, so whichever partition was named, the disk is ready
  // when its chain holds from there. Nothing is changed on it.
  if (named.layout.style == boot::PartitionStyle::Gpt) {
    if (!checkStartChain(device, location.diskPath, disk, named.layout, *partition, host, reason))
      return fail(host, reason + "; nothing was changed");
    const boot::Partition* esp = boot::efiSystemPartition(named.layout);
    host.printLine(device +
                   " lies on a GPT disk, which has no active partition: UEFI firmware starts it "
                   "from the EFI system partition of " +
                   location.diskPath + " (partition " + std::to_string(esp ? esp->number : 0) +
                   "), which holds Windows Boot Manager. Nothing needed changing.");
    return kExitOk;
  }
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
  // What was changed is only half of it: the disk must start from here.
  if (!checkStartChain(device, location.diskPath, disk, named.layout, *partition, host, reason))
    return fail(host, reason);
  return kExitOk;
}

}  // namespace

int runBootice(const std::vector<std::string>& arguments, const Host& host) {
  const std::size_t prefixLength = sizeof kDevicePrefix - 1;
  bool hasDevice = false, hasPartitions = false, hasActivate = false, hasQuiet = false,
       hasCheck = false;
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
    } else if (sameSwitch(argument, "/check")) {
      seen = &hasCheck;
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
  if (hasCheck) {
    if (hasPartitions || hasActivate)
      return refuse(host, "/check only reads: it takes no /partitions or /activate");
    return check(device, host);
  }
  if (!hasPartitions) return refuse(host, "no /partitions given");
  if (!hasActivate) return refuse(host, "no /activate given");
  return activate(device, host);
}

}  // namespace tools
