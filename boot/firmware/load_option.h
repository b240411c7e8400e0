// The firmware's boot entries: EFI load options (the data of a Boot####
// variable) with the device path that names a file on a partition, the
// BootOrder list, and how one entry is put first in it. Built and read from
// bytes, every field at its documented offset; no platform API here: the
// writers for a running system and for a VM's variable store sit elsewhere.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "boot/disk/disk_ids.h"
#include "bytes/little_endian.h"

namespace boot {

// The vendor GUID of Boot####, BootOrder and the other globally defined
// variables: 8BE4DF61-93CA-11D2-AA0D-00E098032B8C.
extern const Guid kEfiGlobalVariable;
// NON_VOLATILE | BOOTSERVICE_ACCESS | RUNTIME_ACCESS, as boot entries are kept.
inline constexpr std::uint32_t kBootVariableAttributes = 0x7;
// Load option attributes: the firmware offers only active entries.
inline constexpr std::uint32_t kLoadOptionActive = 0x1;

// Device path nodes: u8 type, u8 subtype, u16 length of the whole node.
inline constexpr std::uint8_t kMediaDevicePath = 0x04;
inline constexpr std::uint8_t kHardDriveSubtype = 0x01;
inline constexpr std::uint8_t kFilePathSubtype = 0x04;
inline constexpr std::uint8_t kEndDevicePath = 0x7F;
inline constexpr std::uint8_t kEndEntireSubtype = 0xFF;
inline constexpr std::uint16_t kHardDriveNodeLength = 42;

// The partition of a hard drive media node:
//   +0x04 u32 partition number, +0x08 u64 first LBA, +0x10 u64 size in
//   sectors, +0x18 16-byte signature, +0x28 u8 partition format (1 MBR,
//   2 GPT), +0x29 u8 signature type (1 MBR signature, 2 GUID).
struct HardDriveNode {
  std::uint32_t partitionNumber = 0;
  std::uint64_t startLba = 0;
  std::uint64_t sectors = 0;
  PartitionStyle style = PartitionStyle::Gpt;
  Guid partitionGuid{};            // GPT: the partition's unique GUID (entry +0x10)
  std::uint32_t mbrSignature = 0;  // MBR: the disk signature, the first 4 signature bytes
};

// An EFI load option:
//   +0x00 u32 attributes
//   +0x04 u16 length of the device path list
//   +0x06 description, UTF-16 with its NUL
//   then the device path list, then optional data up to the end.
struct LoadOption {
  std::uint32_t attributes = kLoadOptionActive;
  std::u16string description;
  le::Bytes devicePath;  // the whole list, end node included
  le::Bytes optionalData;
  // Read from the device path: its first hard drive node and the file path
  // of the nodes after it (several file path nodes are joined).
  bool hasHardDrive = false;
  HardDriveNode hardDrive;
  std::u16string filePath;
};

// HD(partition)/File(path)/End, the short form that names a file on a
// partition of whatever disk holds it.
le::Bytes hardDriveFilePath(const HardDriveNode& partition, const std::u16string& path);

// The option's bytes, from attributes, description, device path and
// optional data.
le::Bytes loadOptionBytes(const LoadOption& option);

// Reads the option, with the hard drive node and file path where its device
// path has them. False when a field or node runs past the data or the
// description has no NUL.
bool parseLoadOption(const le::Bytes& data, LoadOption& option, std::string& reason);

// Whether two options start the same file (paths compared without regard to
// ASCII case, as FAT names are) on the same partition.
bool samePartitionAndFile(const LoadOption& a, const LoadOption& b);

// "Boot0003": four upper-case hex digits.
std::string bootOptionName(std::uint16_t number);
// The number of a Boot#### name; false for any other name.
bool parseBootOptionName(const std::string& name, std::uint16_t& number);

// BootOrder's data: an array of u16. False when its length is odd.
bool parseBootOrder(const le::Bytes& data, std::vector<std::uint16_t>& order);
le::Bytes bootOrderBytes(const std::vector<std::uint16_t>& order);

// `number` first, every other entry after it in its order, no entry twice
// that was not twice before.
std::vector<std::uint16_t> withFirst(const std::vector<std::uint16_t>& order, std::uint16_t number);

// What to write for one entry: the Boot#### variable that already starts the
// same file on the same partition (refreshed), else the lowest number that
// is neither a variable nor in BootOrder; BootOrder with it first.
struct BootEntryPlan {
  std::uint16_t number = 0;
  bool reused = false;        // the number held an entry for the same file already
  bool optionChanged = true;  // the Boot#### data differs from what is there
  bool orderChanged = true;   // BootOrder differs from what is there
  le::Bytes option;
  le::Bytes bootOrder;
};

// `options`: the Boot#### variables there are, by number, with their data;
// `order`: BootOrder's data, null when there is none. An entry that cannot be
// parsed is never reused, only kept. False when BootOrder is broken or every
// number is taken.
bool planBootEntry(const std::map<std::uint16_t, le::Bytes>& options, const le::Bytes* order,
                   const LoadOption& wanted, BootEntryPlan& plan, std::string& reason);

// UTF-16 from ASCII or UTF-8 text that holds only ASCII (paths and names of
// boot entries); other bytes become '?'.
std::u16string asciiToUtf16(const std::string& text);
std::string utf16ToAscii(const std::u16string& text);

}  // namespace boot
