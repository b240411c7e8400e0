#include "tools/bootice/chain_check.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>

#include "boot/disk/partition_mount.h"
#include "boot/store/bcd_store.h"
#include "boot/store/hive.h"
#include "tools/bcdboot/boot_files.h"
#include "tools/bcdboot/firmware_entry.h"
#include "tools/bootice/start_chain.h"
#include "tools/cli/volume_io.h"
#include "wim/apply/target_paths.h"

namespace tools {

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr char kArrow[] = " -> ";  // the window's log is in the system's code page
#else
constexpr char kArrow[] = " \xE2\x86\x92 ";  // U+2192, UTF-8
#endif

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A path of backslash-separated names below `root`, each name matched
// without regard to case (NTFS through ntfs-3g keeps case).
std::optional<fs::path> resolve(const fs::path& root, const std::string& path) {
  fs::path at = root;
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find('\\', begin);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(begin, end - begin);
    begin = end + 1;
    if (name.empty()) continue;
    std::error_code error;
    if (fs::exists(at / name, error)) {
      at /= name;
      continue;
    }
    bool found = false;
    for (fs::directory_iterator it(at, error), last; !error && it != last; it.increment(error)) {
      if (!sameName(it->path().filename().string(), name)) continue;
      at = it->path();
      found = true;
      break;
    }
    if (!found) return std::nullopt;
  }
  return at;
}

PartitionFiles filesBelow(const fs::path& root) {
  PartitionFiles files;
  files.look = [root](const std::string& path) {
    FileLook look;
    const std::optional<fs::path> file = resolve(root, path);
    std::error_code error;
    // Not followed: a file with a reparse point of its own (a compressed
    // system file) still counts as there.
    look.exists = file && fs::exists(fs::symlink_status(*file, error)) &&
                  !fs::is_directory(fs::symlink_status(*file, error));
    look.plain = !look.exists || storedPlainly(*file);
    return look;
  };
  files.read = [root](const std::string& path, std::uint64_t limit, le::Bytes& bytes) {
    const std::optional<fs::path> file = resolve(root, path);
    if (!file) return false;
    std::ifstream in(*file, std::ios::binary);
    if (!in) {
      // The running system's own store is a loaded hive that no one else
      // may open: read through the registry, as a hive's bytes.
      std::string key, ignored;
      boot::Key tree;
      return loadedStoreKey(*file, key) && readLoadedStore(key, tree, ignored) &&
             boot::writeHive(tree, bytes, ignored);
    }
    bytes.clear();
    char buffer[65536];
    while (bytes.size() < limit && in.read(buffer, sizeof buffer).gcount() > 0) {
      const std::size_t got = static_cast<std::size_t>(in.gcount());
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    if (bytes.size() > limit) bytes.resize(static_cast<std::size_t>(limit));
    return !in.bad();
  };
  return files;
}

boot::PartitionDevice deviceOf(const boot::DiskLayout& layout, const boot::Partition& partition,
                               std::uint32_t sectorSize) {
  boot::PartitionDevice device;
  device.style = layout.style;
  device.mbrSignature = layout.signature;
  device.startBytes = partition.startLba * sectorSize;
  device.diskGuid = layout.diskGuid;
  device.partitionGuid = partition.gptUnique;
  return device;
}

// Every partition looked into, kept until the check is over and then
// released, each once.
struct Looks {
  std::map<std::string, std::unique_ptr<boot::PartitionMount>> mounts;

  bool reach(const std::string& diskPath, std::uint64_t start, std::uint64_t length,
             PartitionFiles& files, std::string& why) {
    const std::string key = diskPath + "@" + std::to_string(start);
    auto it = mounts.find(key);
    if (it == mounts.end()) {
      auto mount = std::make_unique<boot::PartitionMount>();
      if (!boot::reachPartition(diskPath, start, length, false, *mount, why)) return false;
      it = mounts.emplace(key, std::move(mount)).first;
    }
    files = filesBelow(wim::pathFromArgument(it->second->folder));
    return true;
  }

  bool releaseAll(std::string& reason) {
    bool ok = true;
    for (auto& [key, mount] : mounts) {
      std::string why;
      if (!mount->release(why) && ok) {
        reason = "a partition looked into could not be released: " + why;
        ok = false;
      }
    }
    mounts.clear();
    return ok;
  }
};

PartitionFound findElsewhere(const boot::PartitionDevice& wanted, const std::string& diskPath,
                             Looks& looks) {
  PartitionFound found;
  for (const std::string& path : boot::listDisks()) {
    if (path == diskPath) continue;
    boot::Device other;
    boot::DiskLayout layout;
    std::string ignored;
    if (!boot::openDevice(path, false, other, ignored) || !boot::readLayout(other, layout, ignored))
      continue;
    for (const boot::Partition& partition : layout.partitions) {
      if (!boot::samePartition(deviceOf(layout, partition, other.sectorSize), wanted)) continue;
      found.found = true;
      found.name = "partition " + std::to_string(partition.number) + " of " + path;
      found.reached =
          looks.reach(path, partition.startLba * other.sectorSize,
                      partition.sectors * other.sectorSize, found.files, found.whyNotReached);
      return found;
    }
  }
  return found;
}

// The firmware's first boot entry, where this machine can start the disk
// through one.
void firmwareEntry(const std::string& diskPath, ChainInput& input) {
  if (!startedThroughUefi()) {
    input.noFirmwareEntry = "this machine started through BIOS";
    return;
  }
  std::string why;
  if (!firmwareCanSeeDisk(diskPath, why)) {
    input.noFirmwareEntry = "this machine's firmware does not see " + diskPath + ": " + why;
    return;
  }
  FirmwareVariables variables;
  if (!runningFirmwareVariables(variables, why)) {
    input.noFirmwareEntry = why;
    return;
  }
  input.firstBootEntry = [variables](boot::LoadOption& first, std::string& reason) {
    bool exists = false;
    le::Bytes data;
    std::vector<std::uint16_t> order;
    if (!variables.read("BootOrder", exists, data, reason)) return false;
    if (!exists || !boot::parseBootOrder(data, order) || order.empty())
      return reason = "BootOrder names no entry", false;
    const std::string name = boot::bootOptionName(order[0]);
    if (!variables.read(name, exists, data, reason)) return false;
    if (!exists) return reason = "BootOrder names " + name + ", which is not there", false;
    return boot::parseLoadOption(data, first, reason);
  };
}

}  // namespace

bool checkStartChain(const std::string& device, const std::string& diskPath, boot::Device& disk,
                     const boot::DiskLayout& layout, const boot::Partition& named, const Host& host,
                     std::string& reason) {
  ChainInput input;
  input.diskName = diskPath;
  input.deviceName = device;
  input.sectorSize = disk.sectorSize;
  input.layout = layout;
  input.arrow = kArrow;
  // By number: a primary entry may share its start with a logical partition.
  for (const boot::Partition& partition : input.layout.partitions)
    if (partition.number == named.number) input.named = &partition;
  if (!readBytes(disk, 0, std::max<std::uint32_t>(disk.sectorSize, 512), input.sector0, reason))
    return false;
  // The active flags as sector 0 holds them now, after any change just made.
  if (input.layout.style == boot::PartitionStyle::Mbr)
    for (boot::Partition& partition : input.layout.partitions)
      if (partition.slot >= 0)
        partition.status =
            le::u8(input.sector0, boot::kMbrTableOffset + static_cast<std::size_t>(partition.slot) *
                                                              boot::kMbrEntrySize);
  Looks looks;
  input.readPartition = [&disk](const boot::Partition& partition, std::uint64_t offset,
                                std::uint64_t count, le::Bytes& out, std::string& why) {
    if (offset + count > partition.sectors * disk.sectorSize)
      return why = "the read runs past the partition's end", false;
    return readBytes(disk, partition.startLba * disk.sectorSize + offset, count, out, why);
  };
  const std::uint32_t sectorSize = disk.sectorSize;
  input.reach = [&looks, diskPath, sectorSize](const boot::Partition& partition,
                                               PartitionFiles& files, std::string& why) {
    return looks.reach(diskPath, partition.startLba * sectorSize, partition.sectors * sectorSize,
                       files, why);
  };
  input.elsewhere = [&looks, diskPath](const boot::PartitionDevice& wanted) {
    return findElsewhere(wanted, diskPath, looks);
  };
  firmwareEntry(diskPath, input);

  const std::vector<ChainVerdict> verdicts = judgeStartChain(input);
  std::string released;
  const bool allReleased = looks.releaseAll(released);
  const ChainVerdict* broken = nullptr;
  for (const ChainVerdict& verdict : verdicts) {
    if (!verdict.ok) {
      if (!broken) broken = &verdict;
      continue;
    }
    host.printLine(verdict.firmware + ": " + verdict.chain);
    for (const std::string& warning : verdict.warnings)
      host.printLine("BOOTICE: warning: " + warning);
  }
  if (broken) return reason = broken->firmware + ": " + broken->reason, false;
  if (!allReleased) return reason = released, false;
  return true;
}

}  // namespace tools
