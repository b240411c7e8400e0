#include "tools/bcdboot/bcdboot.h"

#include <fstream>
#include <random>
#include <system_error>

#include "boot/store/bcd_store.h"
#include "boot/disk/disk_access.h"
#include "boot/store/hive.h"
#include "boot/store/locale_choice.h"
#include "boot/store/pe_version.h"
#include "boot/sector/volume_boot_sector.h"
#include "tools/bcdboot/boot_files.h"
#include "tools/bcdboot/boot_targets.h"
#include "tools/bcdboot/file_replacement.h"
#include "tools/bcdboot/firmware_entry.h"
#include "boot/disk/partition_mount.h"
#include "tools/cli/failure_text.h"
#include "tools/cli/volume_io.h"
#include "wim/apply/apply_target.h"
#include "wim/apply/target_paths.h"

namespace tools {

namespace {

namespace fs = std::filesystem;

constexpr char kTool[] = "bcdboot";
#ifdef _WIN32
constexpr char kUsage[] =
    "Usage: bcdboot.exe <Windows folder> /S <system drive> [/l <locale>] [/f BIOS|UEFI|ALL]";
#else
constexpr char kUsage[] =
    "Usage: bcdboot <Windows folder> /S <system volume folder> [/l <locale>] [/f BIOS|UEFI|ALL]"
    " [/nvram <VM variable store file>]";
#endif
// Where a new file is written before it takes the old one's place.
constexpr char kNewSuffix[] = ".roamdeck-new";

struct Request {
  std::string windows;
  std::string system;
  std::string locale;
  std::string firmware;  // "", BIOS, UEFI or ALL
  std::string nvram;     // Linux: a VM's variable store file, instead of this machine's
};

int refuse(const Host& host, const std::string& reason) {
  return refuseArguments(host, kTool, kUsage, reason);
}

// With what the user can do, where the system's reason says.
int fail(const Host& host, const std::string& reason) {
  return failWith(host, kTool, withRemedy(reason));
}

bool parseArguments(const std::vector<std::string>& arguments, Request& request,
                    std::string& reason) {
  if (arguments.empty()) return reason = "no source Windows folder given", false;
  request.windows = arguments[0];
  // A switch in the folder's place (a Linux path starts with a slash too).
  const bool isSwitch = sameSwitch(request.windows, "/S") || sameSwitch(request.windows, "/l") ||
                        sameSwitch(request.windows, "/f") || sameSwitch(request.windows, "/nvram");
#ifdef _WIN32
  const bool looksLikeSwitch = !request.windows.empty() && request.windows[0] == '/';
#else
  const bool looksLikeSwitch = isSwitch;
#endif
  if (request.windows.empty() || isSwitch || looksLikeSwitch)
    return reason = tools::quoted(request.windows) + " is not a source Windows folder", false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    std::string* into = sameSwitch(option, "/S")   ? &request.system
                        : sameSwitch(option, "/l") ? &request.locale
                        : sameSwitch(option, "/f") ? &request.firmware
                                                   : nullptr;
#ifndef _WIN32
    if (sameSwitch(option, "/nvram")) into = &request.nvram;
#endif
    if (!into) return reason = "unknown option " + tools::quoted(option), false;
    if (!into->empty()) return reason = tools::quoted(option) + " given twice", false;
    if (i + 1 >= arguments.size() || arguments[i + 1].empty())
      return reason = "nothing given after " + option, false;
    *into = arguments[++i];
  }
  if (request.system.empty()) return reason = "no /S <system drive> given", false;
  if (!request.firmware.empty()) {
    for (const char* kind : {"BIOS", "UEFI", "ALL"})
      if (sameSwitch(request.firmware, kind)) request.firmware = kind;
    if (request.firmware != "BIOS" && request.firmware != "UEFI" && request.firmware != "ALL")
      return reason = "/f takes BIOS, UEFI or ALL, not " + tools::quoted(request.firmware), false;
  }
  if (!request.locale.empty() && !boot::isLocaleName(request.locale))
    return reason = tools::quoted(request.locale) + " is not a locale such as en-US", false;
  return true;
}

bool readFile(const fs::path& path, le::Bytes& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// A file of the host's own (the variable store), not a boot file.
bool writeFile(const fs::path& path, const le::Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

// A file replaced whole or not at all: written beside it, read back, then
// renamed over it.
bool replaceWhole(const fs::path& path, const le::Bytes& bytes, std::string& reason) {
  fs::path fresh = path;
  fresh += kNewSuffix;
  le::Bytes readBack;
  std::error_code error;
  if (!writeFile(fresh, bytes) || !readFile(fresh, readBack) || readBack != bytes) {
    fs::remove(fresh, error);
    return reason = "cannot write " + fresh.string(), false;
  }
  fs::permissions(fresh, fs::status(path, error).permissions(), error);
  fs::rename(fresh, path, error);
  if (error) {
    reason = "cannot put " + fresh.string() + " in the place of " + path.string() + ": " +
             error.message();
    fs::remove(fresh, error);
    return false;
  }
  return true;
}

bool isFile(const fs::path& path) { return isFilePath(path); }

bool isFolder(const fs::path& path) { return isFolderPath(path); }

// A path below a folder given on the command line, shown as the user wrote
// the folder.
std::string shown(const std::string& folder, const std::string& below) {
#ifdef _WIN32
  const char separator = '\\';
#else
  const char separator = '/';
#endif
  std::string text = folder;
  if (!text.empty() && text.back() != '\\' && text.back() != '/') text += separator;
  for (char c : below) text += c == '/' ? separator : c;
  return text;
}

// A partition and its disk, as the store names it.
struct PartitionFound {
  boot::VolumeLocation location;
  boot::DiskLayout layout;
  boot::DiskLayout entries;  // GPT: the table as the disk's sectors hold it
  boot::Partition partition;
  std::uint32_t sectorSize = 512;
  boot::PartitionDevice device;
  std::string fileSystem;  // "NTFS", "FAT32", "FAT16" or "" when not known
};

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

// The file system in the first sector of `path` at `offset`, or "".
std::string fileSystemAt(const std::string& path, std::uint64_t offset) {
  boot::Device device;
  le::Bytes sector;
  boot::VolumeBootSector bpb;
  std::string ignored;
  if (boot::openDevice(path, false, device, ignored) &&
      readBytes(device, offset, 512, sector, ignored) &&
      boot::parseVolumeBootSector(sector, bpb, ignored))
    return boot::fileSystemName(bpb.kind);
  return std::string();
}

bool locatePartition(const std::string& volumeName, const std::string& what, PartitionFound& found,
                     std::string& reason) {
  boot::VolumeLocation& location = found.location;
  if (!boot::locateVolume(volumeName, location, reason)) return false;
  if (!location.onDisk)
    return reason = what + " is not identifiable as a partition: " + location.whyNotOnDisk, false;
  boot::Device disk;
  if (!boot::openDevice(location.diskPath, false, disk, reason) ||
      !boot::readLayout(disk, found.layout, reason))
    return reason = what + ": " + reason, false;
  found.sectorSize = disk.sectorSize;
  // The system may number partitions its own way; the firmware counts entries.
  if (found.layout.style == boot::PartitionStyle::Gpt) {
    const boot::ReadSectors read = [&disk](std::uint64_t lba, std::uint32_t count, le::Bytes& out) {
      std::string ignored;
      return boot::readSectors(disk, lba, count, out, ignored);
    };
    std::string ignored;
    if (!boot::readDiskLayout(read, disk.sectorSize, disk.sizeBytes / disk.sectorSize,
                              found.entries, ignored))
      found.entries = boot::DiskLayout{};
  }
  const boot::Partition* partition =
      location.startBytes % disk.sectorSize == 0
          ? boot::partitionStartingAt(found.layout, location.startBytes / disk.sectorSize)
          : nullptr;
  if (!partition)
    return reason = what + ": no partition of " + location.diskPath + " starts where it starts",
           false;
  found.partition = *partition;
  found.device = deviceOf(found.layout, *partition, disk.sectorSize);
  // The file system decides whether UEFI firmware can start from it.
  found.fileSystem = fileSystemAt(location.volumePath, 0);
  return true;
}

boot::Guid freshGuid() {
  std::random_device random;
  boot::Guid guid;
  for (std::size_t i = 0; i < guid.bytes.size(); i += 4) {
    const std::uint32_t word = random();
    for (std::size_t k = 0; k < 4; ++k)
      guid.bytes[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
  }
  guid.bytes[7] = static_cast<std::uint8_t>((guid.bytes[7] & 0x0F) | 0x40);  // version 4
  guid.bytes[8] = static_cast<std::uint8_t>((guid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return guid;
}

std::vector<std::string> folderNames(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->is_directory(error)) names.push_back(it->path().filename().string());
  return names;
}

std::string entryText(const BootEntryResult& entry, std::uint32_t partitionNumber) {
  return "Firmware boot entry " + boot::bootOptionName(entry.number) + " \"" +
         kBootManagerDescription + "\" (" + kBootManagerPath + " on partition " +
         std::to_string(partitionNumber) + ")";
}

// One store to write: its place and its new content.
struct StoreWork {
  fs::path path;
  std::string shownPath;
  std::string loadedKey;  // not empty: the running system's store, loaded in the registry
  boot::Key tree;
};

// The new store for one kind of firmware, from what is on the system
// partition now: nothing is written here.
bool planStore(const boot::BcdBootRequest& base, boot::Firmware firmware, const fs::path& path,
               const std::string& shownPath, const boot::Key* templateStore, StoreWork& work,
               std::string& reason) {
  boot::BcdBootRequest request = base;
  request.firmware = firmware;
  request.templateStore = templateStore;
  work.path = path;
  work.shownPath = shownPath;
  boot::Key existing;
  if (loadedStoreKey(path, work.loadedKey)) {
    if (!readLoadedStore(work.loadedKey, existing, reason)) return false;
    request.existingStore = &existing;
  } else if (isFile(path)) {
    le::Bytes bytes;
    if (!readFile(path, bytes)) return reason = "cannot read the store " + shownPath, false;
    std::string why;
    if (!boot::readHive(bytes, existing, why))
      return reason = "the store " + shownPath + " is not a valid registry hive (" + why +
                      "); it was left as it is",
             false;
    request.existingStore = &existing;
  }
  return boot::buildStore(request, work.tree, reason);
}

// Copies one file, replacing the old one durably. A copy that is already
// the same is left alone; another goes through a new file beside it, as some
// FUSE file systems cannot rewrite a file in place.
bool copyVerified(const fs::path& from, const fs::path& to, std::string& reason) {
  le::Bytes bytes, existing;
  if (!readFile(from, bytes)) return reason = "cannot read " + from.string(), false;
  if (readFile(to, existing) && existing == bytes && storedPlainly(to)) return true;
  makeFolders(to.parent_path());
  return replaceDurably(systemReplaceCalls(), to, bytes, nullptr, reason);
}

// Everything below `from` into `to`, but the names in `skip`.
bool copyTree(const fs::path& from, const fs::path& to, const std::vector<std::string>& skip,
              std::string& reason) {
  std::error_code error;
  for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    bool skipped = false;
    for (const std::string& each : skip) skipped = skipped || sameSwitch(name, each.c_str());
    if (skipped) continue;
    if (it->is_directory(error)) {
      if (!copyTree(it->path(), to / it->path().filename(), {}, reason)) return false;
    } else if (!copyVerified(it->path(), to / it->path().filename(), reason)) {
      return false;
    }
  }
  if (error) return reason = "cannot list " + from.string() + ": " + error.message(), false;
  return true;
}

bool writeStore(const StoreWork& work, std::string& reason) {
  if (!work.loadedKey.empty()) return writeLoadedStore(work.loadedKey, work.tree, reason);
  le::Bytes hive;
  if (!boot::writeHive(work.tree, hive, reason)) return false;
  std::error_code error;
  makeFolders(work.path.parent_path());
  // The store read back must load as a store before it replaces the old one.
  const auto loads = [](const le::Bytes& bytes, std::string& why) {
    boot::Key check;
    std::vector<boot::BcdObject> objects;
    return boot::readHive(bytes, check, why) && boot::readStore(check, objects, why);
  };
  if (!replaceDurably(systemReplaceCalls(), work.path, hive, loads, reason))
    return reason = "the store " + work.shownPath + ": " + reason, false;
  // The new hive is clean: logs of the old one must not be replayed over it.
  for (const char* log : {".LOG", ".LOG1", ".LOG2"}) {
    fs::path stale = work.path;
    stale += log;
    fs::remove(stale, error);
  }
  markBootFile(work.path);
  return true;
}

// The entry in the VM's store, or in the running machine's own variables,
// where that machine started through UEFI and can see the disk. The files
// are in place whatever happens here: a failure is a warning, and the disk
// still starts through its fallback file.
void reportFirmwareEntry(const Host& host, const std::string& nvramFile,
                         const BootEntryResult& nvramEntry, const boot::LoadOption& bootEntry,
                         std::uint32_t number, const std::string& diskPath, bool ia32) {
  if (!nvramFile.empty()) {
    host.printLine(entryText(nvramEntry, number) +
                   (nvramEntry.changed ? " written into the variable store " + nvramFile
                                       : " already in the variable store " + nvramFile +
                                             ", which was left as it was") +
                   "; it is first in BootOrder.");
    return;
  }
  const std::string fallback =
      std::string("its fallback file \\EFI\\Boot\\") + (ia32 ? "bootia32.efi" : "bootx64.efi");
  if (!startedThroughUefi()) {
    host.printLine(
        "This system started through BIOS: no firmware boot entry is made; the disk "
        "starts through " +
        fallback + ".");
    return;
  }
  std::string why;
  if (!firmwareCanSeeDisk(diskPath, why)) {
    host.printLine("No firmware boot entry is made, as this machine's firmware does not see " +
                   diskPath + " (" + why + "): the disk starts through " + fallback + ".");
    return;
  }
  FirmwareVariables variables;
  BootEntryResult entry;
  if (!runningFirmwareVariables(variables, why) ||
      !writeBootEntry(variables, bootEntry, entry, why)) {
    host.printLine(std::string(kTool) + ": warning: the firmware boot entry was not written: " +
                   why + "; the disk starts through " + fallback + ".");
    return;
  }
  host.printLine(
      entryText(entry, number) +
      (entry.changed ? (entry.reused ? " refreshed" : " written") : " already in place") +
      " in this machine's firmware; it is first in BootOrder.");
}

}  // namespace

int runBcdboot(const std::vector<std::string>& arguments, const Host& host) {
  Request request;
  std::string reason;
  if (!parseArguments(arguments, request, reason)) return refuse(host, reason);
#ifdef _WIN32
  request.system = driveRootOf(request.system);
#endif

  // Every file is reached through its long (\\?\) path on Windows, so that
  // a Windows folder deep down still works.
  const fs::path windows = wim::systemPath(wim::pathFromArgument(request.windows));
  const fs::path system = wim::systemPath(wim::pathFromArgument(request.system));
  if (!host.isFolder(request.windows)) {
    host.printLine(
        errorLine(kTool, "the source Windows folder " + request.windows + " does not exist"));
    return kExitNoSourceWindows;
  }
  if (!isFolder(windows / "System32") && !isFolder(windows / "system32"))
    return fail(host, request.windows + " is not a Windows folder: it has no System32");
  if (!isFolder(system))
    return fail(host, "the system drive " + request.system + " is no folder that can be written");

  // What the image offers, what is asked for and what the disk can start.
  const fs::path pcat = windows / "Boot" / "PCAT";
  const fs::path efi = windows / "Boot" / "EFI";
  const bool hasBios = isFile(pcat / "bootmgr");
  const bool hasUefi = isFile(efi / "bootmgfw.efi");
  boot::BcdBootRequest base;
  PartitionFound systemFound, windowsFound;
  std::string windowsVolume;
  if (!locatePartition(request.system, "the system drive " + request.system, systemFound, reason))
    return fail(host, reason + "; nothing was written");
  if (!boot::volumeHolding(request.windows, windowsVolume, reason))
    return fail(host, reason + "; nothing was written");
#ifdef _WIN32
  windowsVolume = driveRootOf(windowsVolume);
#endif
  if (!locatePartition(windowsVolume, "the Windows folder's volume " + windowsVolume, windowsFound,
                       reason))
    return fail(host, reason + "; nothing was written");
  base.systemPartition = systemFound.device;
  base.windowsPartition = windowsFound.device;
  const std::string diskPath = systemFound.location.diskPath;
  TargetRequest choice;
  choice.layout = &systemFound.layout;
  choice.system = &systemFound.partition;
  choice.systemFileSystem = systemFound.fileSystem;
  choice.firmware = request.firmware;
  choice.imageHasEfi = isFolder(efi);
  choice.systemName = request.system;
  choice.diskName = diskPath;
  if (const boot::Partition* esp = boot::efiSystemPartition(systemFound.layout))
    choice.espFileSystem = fileSystemAt(diskPath, esp->startLba * systemFound.sectorSize);
  const BootTargets targets = chooseBootTargets(choice);
  if (!targets.refusal.empty()) return fail(host, targets.refusal);
  const bool bios = targets.bios, uefi = targets.uefi;
  if (bios && !hasBios)
    return fail(host, "there is no " + shown(request.windows, "Boot/PCAT/bootmgr") +
                          " to start a BIOS machine with; nothing was written");
  if (uefi && !hasUefi)
    return fail(host, "there is no " + shown(request.windows, "Boot/EFI/bootmgfw.efi") +
                          " to start a UEFI machine with; nothing was written");

  // UEFI files on a GPT disk go to its EFI system partition, which as a rule
  // has no drive letter or mount: reached for the moment and released on
  // every way out of here.
  boot::PartitionDevice uefiSystem = base.systemPartition;
  fs::path uefiRoot = system;
  std::string uefiShownRoot = request.system;
  boot::PartitionMount espMount;
  if (uefi && targets.esp && !targets.espIsSystem) {
    const std::uint64_t start = targets.esp->startLba * systemFound.sectorSize;
    if (!boot::reachPartition(diskPath, start, targets.esp->sectors * systemFound.sectorSize, true,
                              espMount, reason))
      return fail(host, "cannot reach the EFI system partition of " + diskPath + " (partition " +
                            std::to_string(targets.esp->number) + "): " + reason +
                            "; nothing was written");
    uefiSystem = deviceOf(systemFound.layout, *targets.esp, systemFound.sectorSize);
    uefiRoot = wim::systemPath(wim::pathFromArgument(espMount.folder));
    uefiShownRoot = espMount.folder;
  }

  // The loader's description and locale, from the image itself.
  le::Bytes kernel;
  boot::PeInfo kernelInfo;
  std::string description = "Windows";
  if (readFile(windows / "System32" / "ntoskrnl.exe", kernel) &&
      boot::readPeInfo(kernel.data(), kernel.size(), kernelInfo, reason) && kernelInfo.hasVersion)
    description = boot::windowsDescription(kernelInfo.version.major, kernelInfo.version.minor,
                                           kernelInfo.version.build);
  base.description = boot::widen(description);
  base.locale = boot::chooseLocale(request.locale, folderNames(pcat));
  base.loader = freshGuid();
  base.resume = freshGuid();

  // Every store is worked out before anything is written: a store that is no
  // valid hive stops the tool with the disk untouched.
  boot::Key templateTree;
  const boot::Key* templateStore = nullptr;
  le::Bytes templateBytes;
  if (readFile(windows / "System32" / "config" / "BCD-Template", templateBytes) &&
      boot::readHive(templateBytes, templateTree, reason))
    templateStore = &templateTree;
  std::vector<StoreWork> stores;
  if (bios) {
    stores.emplace_back();
    if (!planStore(base, boot::Firmware::bios, system / "Boot" / "BCD",
                   shown(request.system, "Boot/BCD"), templateStore, stores.back(), reason))
      return fail(host, reason);
  }
  if (uefi) {
    stores.emplace_back();
    boot::BcdBootRequest uefiBase = base;
    uefiBase.systemPartition = uefiSystem;
    if (!planStore(uefiBase, boot::Firmware::uefi, uefiRoot / "EFI" / "Microsoft" / "Boot" / "BCD",
                   shown(uefiShownRoot, "EFI/Microsoft/Boot/BCD"), templateStore, stores.back(),
                   reason))
      return fail(host, reason);
  }

  // The firmware's entry names the partition the UEFI files go to: the ESP
  // of a GPT disk, the system partition itself on an MBR disk.
  boot::HardDriveNode uefiPartition;
  if (uefi)
    uefiPartition = partitionNode(systemFound.layout, systemFound.entries,
                                  targets.esp ? *targets.esp : systemFound.partition);
  const boot::LoadOption bootEntry = bootManagerOption(uefiPartition);
  // A VM's variable store is read and its change worked out now: a file that
  // is no such store, or a full one, stops the tool before anything is
  // written.
  le::Bytes nvram;
  BootEntryResult nvramEntry;
  if (!request.nvram.empty()) {
    if (!uefi)
      return fail(host, "/nvram takes the UEFI boot entry, but no UEFI boot files go to " +
                            diskPath + "; nothing was written");
    if (!readFile(wim::pathFromArgument(request.nvram), nvram))
      return fail(host,
                  "cannot read the variable store " + request.nvram + "; nothing was written");
    if (!writeBootEntryToStore(nvram, bootEntry, nvramEntry, reason))
      return fail(host, "the variable store " + request.nvram + " was refused: " + reason +
                            "; nothing was written");
  }

  // The boot files, then the stores that name them.
  const fs::path fonts = windows / "Boot" / "Fonts";
  if (bios) {
    bool ok = copyVerified(pcat / "bootmgr", system / "bootmgr", reason);
    if (ok && isFile(pcat / "bootnxt"))
      ok = copyVerified(pcat / "bootnxt", system / "BOOTNXT", reason);
    ok = ok && copyTree(pcat, system / "Boot", {"bootmgr", "bootnxt"}, reason);
    if (ok && isFolder(fonts)) ok = copyTree(fonts, system / "Boot" / "Fonts", {}, reason);
    if (!ok) return fail(host, reason);
    markBootFile(system / "bootmgr");
    if (isFile(system / "BOOTNXT")) markBootFile(system / "BOOTNXT");
    markBootFile(system / "Boot");
  }
  bool ia32 = false;
  if (uefi) {
    const fs::path microsoft = uefiRoot / "EFI" / "Microsoft" / "Boot";
    le::Bytes manager;
    boot::PeInfo managerInfo;
    // The fallback path names the firmware's word size: a 32-bit boot
    // manager is only started by 32-bit firmware.
    ia32 = readFile(efi / "bootmgfw.efi", manager) &&
           boot::readPeInfo(manager.data(), manager.size(), managerInfo, reason) &&
           managerInfo.machine == boot::kMachineI386;
    bool ok = copyTree(efi, microsoft, {}, reason);
    if (ok && isFolder(fonts)) ok = copyTree(fonts, microsoft / "Fonts", {}, reason);
    ok = ok &&
         copyVerified(efi / "bootmgfw.efi",
                      uefiRoot / "EFI" / "Boot" / (ia32 ? "bootia32.efi" : "bootx64.efi"), reason);
    if (!ok) return fail(host, reason);
  }
  for (const StoreWork& work : stores)
    if (!writeStore(work, reason)) return fail(host, reason);
  if (!request.nvram.empty() && nvramEntry.changed &&
      !replaceWhole(wim::pathFromArgument(request.nvram), nvram, reason))
    return fail(host, "the boot files are in place, but the variable store " + request.nvram +
                          " was not changed: " + reason);
  const bool mountedForNow = espMount.temporary;
  if (!espMount.release(reason))
    return fail(host,
                "the boot files were written to the EFI system partition, but it could "
                "not be released: " +
                    reason);

  const std::string what =
      "Boot files of " + request.windows + " (" + description + ", " + base.locale + ")";
  if (bios && uefi && uefiShownRoot == request.system) {
    host.printLine(what + " copied to " + request.system + " for BIOS and UEFI machines.");
  } else {
    if (bios) host.printLine(what + " copied to " + request.system + " for BIOS machines.");
    if (uefi && targets.esp && !targets.espIsSystem)
      host.printLine(what + " copied to the EFI system partition of " + diskPath + " (partition " +
                     std::to_string(targets.esp->number) + ", " +
                     (mountedForNow ? "mounted at " + uefiShownRoot + " for the moment"
                                    : "at " + uefiShownRoot) +
                     ") for UEFI machines.");
    else if (uefi)
      host.printLine(what + " copied to " + request.system + " for UEFI machines.");
  }
  for (const StoreWork& work : stores)
    host.printLine(
        "Boot configuration store " +
        (work.loadedKey.empty() ? work.shownPath
                                : "of the running system (HKLM\\" + work.loadedKey + ")") +
        " written; its new entry " + boot::guidText(base.loader) + " is the default and first.");
  if (uefi)
    reportFirmwareEntry(host, request.nvram, nvramEntry, bootEntry, uefiPartition.partitionNumber,
                        diskPath, ia32);
  return kExitOk;
}

}  // namespace tools
