// libFuzzer harness for the boot library's readers of untrusted sectors: a
// volume's boot sector with the placement of boot code built on it, and a
// disk's partition table (MBR, extended chain, GPT) read from the input as
// if it were the disk. Besides sanitizer findings it stops on a broken
// promise: a placement writes only whole sectors inside the boot area or at
// the backup, and a layout holds only partitions inside the disk.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "boot/sector/boot_code_placement.h"
#include "boot/disk/partition_table.h"
#include "boot/sector/volume_boot_sector.h"

namespace {

void check(bool promise) {
  if (!promise) std::abort();
}

void fuzzBootSector(const le::Bytes& input) {
  boot::VolumeBootSector volume;
  std::string reason;
  if (!boot::parseVolumeBootSector(input, volume, reason)) {
    check(!reason.empty());
    return;
  }
  if (volume.kind == boot::FileSystemKind::Ntfs) {
    check(volume.bytesPerSector >= 256 && volume.bytesPerSector <= 4096);
    check(volume.clusterBytes() <= (1u << 28));
    check(volume.mftRecordBytes >= 256 && volume.indexBlockBytes >= 256);
  } else {
    check(volume.bytesPerSector == 512 || volume.bytesPerSector == 4096);
    check(volume.clusterBytes() <= 65536);
  }
  const std::uint64_t area = boot::bootAreaBytes(volume);
  if (area > (1u << 22)) return;  // FAT32 may reserve many sectors; keep runs quick
  le::Bytes head = input;
  head.resize(static_cast<std::size_t>(area), 0);
  boot::VolumeBootCode code;
  code.image.assign(volume.kind == boot::FileSystemKind::Ntfs    ? 8192
                    : volume.kind == boot::FileSystemKind::Fat32 ? 1024
                                                                 : 512,
                    0x90);
  code.extraSectorField = 0x5A;
  boot::Placement placement;
  const std::uint64_t start = input.size() > 40 ? input[40] * 63u : 0;
  if (!boot::placeBootCode(volume, head, code, start, placement, reason)) return;
  for (const boot::SectorWrite& write : placement.writes) {
    check(!write.bytes.empty() && write.bytes.size() % volume.bytesPerSector == 0);
    const std::uint64_t end = write.sector * volume.bytesPerSector + write.bytes.size();
    check(end <= area || write.sector == volume.totalSectors ||
          write.sector == volume.backupBootSector);
  }
}

void fuzzPartitionTable(const le::Bytes& input) {
  const std::uint64_t sectors = input.size() / 512 + 64;
  const boot::ReadSectors read = [&](std::uint64_t lba, std::uint32_t count, le::Bytes& out) {
    if (count > 64) return false;
    out.assign(std::size_t{count} * 512, 0);
    for (std::size_t i = 0; i < out.size(); ++i) {
      const std::uint64_t at = lba * 512 + i;
      if (at < input.size()) out[i] = input[static_cast<std::size_t>(at)];
    }
    return true;
  };
  boot::DiskLayout layout;
  std::string reason;
  if (!boot::readDiskLayout(read, 512, sectors, layout, reason)) {
    check(!reason.empty());
    return;
  }
  for (const boot::Partition& partition : layout.partitions)
    check(partition.startLba <= sectors && partition.sectors <= sectors - partition.startLba);
  le::Bytes sector0 = input;
  sector0.resize(512, 0);
  const le::Bytes before = sector0;
  if (boot::activateMbrEntry(sector0, input.size() % 4 == 0 ? 0 : 1, reason))
    for (std::size_t i = 0; i < 512; ++i)
      check(sector0[i] == before[i] || (i >= 0x1BE && i < 0x1FE && (i - 0x1BE) % 16 == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const le::Bytes input(data, data + size);
  fuzzBootSector(input);
  fuzzPartitionTable(input);
  return 0;
}
