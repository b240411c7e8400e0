#include "tools/bootsect/bootsect.h"

#include <optional>

#include "boot/sector/boot_code_placement.h"
#include "boot/code/boot_code.h"
#include "boot/disk/disk_access.h"
#include "boot/sector/volume_boot_sector.h"
#include "tools/cli/failure_text.h"
#include "tools/cli/volume_io.h"

namespace tools {

namespace {

constexpr char kTool[] = "bootsect";
#ifdef _WIN32
constexpr char kUsage[] = "Usage: bootsect.exe /NT60 <drive>:";
#else
constexpr char kUsage[] =
    "Usage: bootsect /NT60 <volume: block device, partition file or mount point>";
#endif

int refuse(const Host& host, const std::string& reason) {
  return refuseArguments(host, kTool, kUsage, reason);
}

int fail(const Host& host, const std::string& reason) { return failWith(host, kTool, reason); }

boot::VolumeBootCode codeFor(boot::FileSystemKind kind) {
  boot::CodeImage image{};
  boot::VolumeBootCode code;
  switch (kind) {
    case boot::FileSystemKind::Ntfs:
      image = boot::ntfsBootCode();
      break;
    case boot::FileSystemKind::Fat32:
      image = boot::fat32BootCode();
      code.extraSectorField = boot::kFat32ExtraSectorField;
      break;
    case boot::FileSystemKind::Fat16:
      image = boot::fat16BootCode();
      break;
  }
  code.image.assign(image.bytes, image.bytes + image.size);
  return code;
}

}  // namespace

int runBootsect(const std::vector<std::string>& arguments, const Host& host) {
  if (arguments.empty()) return refuse(host, "no boot code given");
  if (!sameSwitch(arguments[0], "/NT60"))
    return refuse(host, "unknown option " + quoted(arguments[0]) + ", expected /NT60");
  if (arguments.size() < 2) return refuse(host, "no target given after /NT60");
  if (arguments.size() > 2) return refuse(host, "unexpected argument " + quoted(arguments[2]));
  const std::string& target = arguments[1];
  if (sameSwitch(target, "sys") || sameSwitch(target, "all"))
    return refuse(host, "name the volume itself: " + quoted(target) + " is not supported");

  std::string reason;
  boot::VolumeLocation location;
  if (!boot::locateVolume(target, location, reason)) return fail(host, reason);
  boot::Device volume;
  if (!boot::openDevice(location.volumePath, true, volume, reason))
    return fail(host, reason + volumeOpenHint(target));

  le::Bytes sector0;
  if (!readBytes(volume, 0, 512, sector0, reason))
    return fail(host, reason + volumeOpenHint(target));
  boot::VolumeBootSector bpb;
  if (!boot::parseVolumeBootSector(sector0, bpb, reason))
    return fail(host, target + ": " + reason + "; nothing was written");
  const char* fsName = boot::fileSystemName(bpb.kind);
  if (bpb.kind == boot::FileSystemKind::Ntfs) {
    reason = boot::ntfsGeometryRefusal(bpb.bytesPerSector, bpb.clusterBytes(), bpb.mftRecordBytes,
                                       bpb.indexBlockBytes);
    if (!reason.empty())
      return fail(host, target + ": the volume has " + reason + "; nothing was written");
  }

  std::optional<std::uint64_t> partitionStart;
  if (location.onDisk) {
    if (location.startBytes % bpb.bytesPerSector != 0)
      return fail(host, target + ": the partition does not start on a sector of the volume");
    if (!boot::volumeFitsPartition(bpb, location.lengthBytes, reason))
      return fail(host, target + ": " + reason + "; nothing was written");
    partitionStart = location.startBytes / bpb.bytesPerSector;
  }
  const std::uint64_t volumeEnd =
      (bpb.totalSectors + (bpb.kind == boot::FileSystemKind::Ntfs ? 1 : 0)) * bpb.bytesPerSector;
  if (volume.sizeBytes != 0 && volumeEnd > volume.sizeBytes)
    return fail(host, target + ": the boot sector gives the volume " + std::to_string(volumeEnd) +
                          " bytes, more than the " + std::to_string(volume.sizeBytes) +
                          " there are; nothing was written");

  le::Bytes head;
  if (!readBytes(volume, 0, boot::bootAreaBytes(bpb), head, reason)) return fail(host, reason);
  boot::Placement placement;
  if (!boot::placeBootCode(bpb, head, codeFor(bpb.kind), partitionStart, placement, reason))
    return fail(host, target + ": " + reason + "; nothing was written");

  if (!location.onDisk)
    host.printLine("The partition's place on its disk is not known (" + location.whyNotOnDisk +
                   "): HiddenSectors stays " + std::to_string(bpb.hiddenSectors) + ".");
  // In the placement's order: code sectors that nothing points at yet, then
  // the boot sector, then its backup; each is on the disk before the next.
  bool switched = false;
  for (const boot::SectorWrite& write : placement.writes) {
    if (!writeBytes(volume, write.sector * bpb.bytesPerSector, write.bytes, reason)) {
      // A failed flush comes after the write itself went to the system.
      const bool unsure = write.sector == 0 && reason.rfind("fsync", 0) == 0;
      const char* state =
          switched ? "; the new boot code is in place, but the backup boot sector still holds "
                     "the old one"
          : unsure ? "; the boot sector holds the old code or the new one, whole"
                   : "; the boot sector was left as it was, and the volume starts as it did "
                     "before";
      return fail(host, withRemedy(target + ": " + reason + state));
    }
    switched = switched || write.sector == 0;
  }
  if (placement.hiddenSectorsChanged)
    host.printLine("HiddenSectors of " + target + " corrected from " +
                   std::to_string(placement.oldHiddenSectors) + " to " +
                   std::to_string(placement.newHiddenSectors) +
                   ", the partition's start: Windows needs it to boot.");
  host.printLine(std::string(fsName) + " boot code that starts BOOTMGR was written to " + target +
                 ".");
  return kExitOk;
}

}  // namespace tools
