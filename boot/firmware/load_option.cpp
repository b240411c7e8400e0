#include "boot/firmware/load_option.h"

#include <algorithm>
#include <cstdio>

namespace boot {

const Guid kEfiGlobalVariable = {{0x61, 0xDF, 0xE4, 0x8B, 0xCA, 0x93, 0xD2, 0x11, 0xAA, 0x0D, 0x00,
                                  0xE0, 0x98, 0x03, 0x2B, 0x8C}};

namespace {

// Hard drive node fields, from the node's start.
constexpr std::size_t kHdNumber = 0x04, kHdStart = 0x08, kHdSize = 0x10, kHdSignature = 0x18,
                      kHdFormat = 0x28, kHdSignatureType = 0x29;
constexpr std::uint8_t kFormatMbr = 1, kFormatGpt = 2;
constexpr std::uint8_t kSignatureMbr = 1, kSignatureGuid = 2;
// Node header: +0 u8 type, +1 u8 subtype, +2 u16 length.
constexpr std::size_t kNodeHeader = 4;
// Load option fields.
constexpr std::size_t kOptionPathLength = 0x04, kOptionDescription = 0x06;

void appendU16(le::Bytes& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void appendText(le::Bytes& bytes, const std::u16string& text) {
  for (char16_t c : text) appendU16(bytes, static_cast<std::uint16_t>(c));
  appendU16(bytes, 0);
}

char16_t asciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; }

bool sameIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  return true;
}

// Walks the first instance of a device path: its hard drive node and the
// file path of the nodes after it. False when a node is cut short.
bool readDevicePath(const le::Bytes& path, LoadOption& option, std::string& reason) {
  const le::ByteSpan span = le::spanOf(path);
  std::size_t at = 0;
  for (;;) {
    std::uint16_t length = 0;
    if (!le::readU16(span, at + 2, length) || length < kNodeHeader || !le::holds(span, at, length))
      return reason = "a device path node at +" + std::to_string(at) + " runs past its list", false;
    const std::uint8_t type = path[at], subtype = path[at + 1];
    if (type == kEndDevicePath) return true;  // the end of this instance or of all
    if (type == kMediaDevicePath && subtype == kHardDriveSubtype && !option.hasHardDrive) {
      if (length != kHardDriveNodeLength)
        return reason = "a hard drive node of " + std::to_string(length) + " bytes", false;
      HardDriveNode& hd = option.hardDrive;
      hd.partitionNumber = static_cast<std::uint32_t>(le::value(span, at + kHdNumber, 4));
      hd.startLba = le::value(span, at + kHdStart, 8);
      hd.sectors = le::value(span, at + kHdSize, 8);
      const std::uint8_t signatureType = path[at + kHdSignatureType];
      hd.style = signatureType == kSignatureGuid ? PartitionStyle::Gpt : PartitionStyle::Mbr;
      std::copy_n(path.begin() + static_cast<std::ptrdiff_t>(at + kHdSignature), 16,
                  hd.partitionGuid.bytes.begin());
      hd.mbrSignature = static_cast<std::uint32_t>(le::value(span, at + kHdSignature, 4));
      if (signatureType == kSignatureMbr) hd.partitionGuid = Guid{};
      if (signatureType == kSignatureGuid) hd.mbrSignature = 0;
      option.hasHardDrive = signatureType == kSignatureMbr || signatureType == kSignatureGuid;
    } else if (type == kMediaDevicePath && subtype == kFilePathSubtype && option.hasHardDrive) {
      // The path's UTF-16 characters up to its NUL (or the node's end).
      for (std::size_t i = at + kNodeHeader; i + 1 < at + length; i += 2) {
        const auto c = static_cast<char16_t>(le::value(span, i, 2));
        if (c == 0) break;
        option.filePath.push_back(c);
      }
    }
    at += length;
  }
}

}  // namespace

le::Bytes hardDriveFilePath(const HardDriveNode& partition, const std::u16string& path) {
  le::Bytes bytes(kHardDriveNodeLength, 0);
  bytes[0] = kMediaDevicePath;
  bytes[1] = kHardDriveSubtype;
  le::put(bytes, 2, 2, kHardDriveNodeLength);
  le::put(bytes, kHdNumber, 4, partition.partitionNumber);
  le::put(bytes, kHdStart, 8, partition.startLba);
  le::put(bytes, kHdSize, 8, partition.sectors);
  if (partition.style == PartitionStyle::Gpt) {
    std::copy(partition.partitionGuid.bytes.begin(), partition.partitionGuid.bytes.end(),
              bytes.begin() + kHdSignature);
    bytes[kHdFormat] = kFormatGpt;
    bytes[kHdSignatureType] = kSignatureGuid;
  } else {
    le::put(bytes, kHdSignature, 4, partition.mbrSignature);
    bytes[kHdFormat] = kFormatMbr;
    bytes[kHdSignatureType] = kSignatureMbr;
  }
  // File(path): the header, then the path with its NUL.
  const std::size_t fileLength = kNodeHeader + 2 * (path.size() + 1);
  bytes.push_back(kMediaDevicePath);
  bytes.push_back(kFilePathSubtype);
  appendU16(bytes, static_cast<std::uint16_t>(fileLength));
  appendText(bytes, path);
  // End of the entire device path.
  bytes.insert(bytes.end(), {kEndDevicePath, kEndEntireSubtype, 0x04, 0x00});
  return bytes;
}

le::Bytes loadOptionBytes(const LoadOption& option) {
  le::Bytes bytes(kOptionDescription, 0);
  le::put(bytes, 0, 4, option.attributes);
  le::put(bytes, kOptionPathLength, 2, option.devicePath.size());
  appendText(bytes, option.description);
  bytes.insert(bytes.end(), option.devicePath.begin(), option.devicePath.end());
  bytes.insert(bytes.end(), option.optionalData.begin(), option.optionalData.end());
  return bytes;
}

bool parseLoadOption(const le::Bytes& data, LoadOption& option, std::string& reason) {
  option = LoadOption{};
  const le::ByteSpan span = le::spanOf(data);
  std::uint16_t pathLength = 0;
  if (!le::readU32(span, 0, option.attributes) || !le::readU16(span, kOptionPathLength, pathLength))
    return reason = "a load option of " + std::to_string(data.size()) + " bytes", false;
  std::size_t at = kOptionDescription;
  for (;; at += 2) {
    std::uint16_t c = 0;
    if (!le::readU16(span, at, c)) return reason = "a load option's description has no end", false;
    if (c == 0) break;
    option.description.push_back(static_cast<char16_t>(c));
  }
  at += 2;
  if (!le::holds(span, at, pathLength))
    return reason = "a load option's device path runs past its data", false;
  option.devicePath.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                           data.begin() + static_cast<std::ptrdiff_t>(at + pathLength));
  option.optionalData.assign(data.begin() + static_cast<std::ptrdiff_t>(at + pathLength),
                             data.end());
  return readDevicePath(option.devicePath, option, reason);
}

bool samePartitionAndFile(const LoadOption& a, const LoadOption& b) {
  if (!a.hasHardDrive || !b.hasHardDrive) return false;
  const HardDriveNode &x = a.hardDrive, &y = b.hardDrive;
  if (x.style != y.style) return false;
  // A GPT partition is named by its own GUID; an MBR one by its disk's
  // signature and where it lies on that disk.
  const bool samePartition = x.style == PartitionStyle::Gpt
                                 ? x.partitionGuid == y.partitionGuid
                                 : x.mbrSignature == y.mbrSignature &&
                                       x.partitionNumber == y.partitionNumber &&
                                       x.startLba == y.startLba;
  return samePartition && sameIgnoringCase(a.filePath, b.filePath);
}

std::string bootOptionName(std::uint16_t number) {
  char name[16];
  std::snprintf(name, sizeof name, "Boot%04X", static_cast<unsigned>(number));
  return name;
}

bool parseBootOptionName(const std::string& name, std::uint16_t& number) {
  if (name.size() != 8 || name.compare(0, 4, "Boot") != 0) return false;
  unsigned value = 0;
  for (std::size_t i = 4; i < 8; ++i) {
    const char c = name[i];
    // Upper case only: Bootabcd is not a boot option.
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<unsigned>(digit);
  }
  number = static_cast<std::uint16_t>(value);
  return true;
}

bool parseBootOrder(const le::Bytes& data, std::vector<std::uint16_t>& order) {
  if (data.size() % 2 != 0) return false;
  order.clear();
  for (std::size_t i = 0; i < data.size(); i += 2) order.push_back(le::u16(data, i));
  return true;
}

le::Bytes bootOrderBytes(const std::vector<std::uint16_t>& order) {
  le::Bytes bytes;
  for (std::uint16_t number : order) appendU16(bytes, number);
  return bytes;
}

std::vector<std::uint16_t> withFirst(const std::vector<std::uint16_t>& order,
                                     std::uint16_t number) {
  std::vector<std::uint16_t> result{number};
  for (std::uint16_t each : order)
    if (each != number) result.push_back(each);
  return result;
}

bool planBootEntry(const std::map<std::uint16_t, le::Bytes>& options, const le::Bytes* order,
                   const LoadOption& wanted, BootEntryPlan& result, std::string& reason) {
  // Worked out apart from `result`, which may hold the very BootOrder given.
  BootEntryPlan plan;
  std::vector<std::uint16_t> current;
  if (order && !parseBootOrder(*order, current))
    return reason = "BootOrder has an odd length (" + std::to_string(order->size()) + " bytes)",
           false;
  LoadOption wantedRead;
  plan.option = loadOptionBytes(wanted);
  if (!parseLoadOption(plan.option, wantedRead, reason)) return false;

  // The same file on the same partition: the one the firmware tries first,
  // else the lowest number.
  auto matches = [&](std::uint16_t number) {
    const auto found = options.find(number);
    LoadOption existing;
    std::string ignored;
    return found != options.end() && parseLoadOption(found->second, existing, ignored) &&
           samePartitionAndFile(existing, wantedRead);
  };
  bool chosen = false;
  for (std::uint16_t number : current)
    if (!chosen && matches(number)) plan.number = number, chosen = true;
  for (const auto& each : options)
    if (!chosen && matches(each.first)) plan.number = each.first, chosen = true;
  plan.reused = chosen;
  for (std::uint32_t number = 0; !chosen && number <= 0xFFFF; ++number) {
    const auto n = static_cast<std::uint16_t>(number);
    if (options.count(n) == 0 && std::find(current.begin(), current.end(), n) == current.end())
      plan.number = n, chosen = true;
  }
  if (!chosen) return reason = "every Boot#### number is taken", false;

  const auto existing = options.find(plan.number);
  plan.optionChanged = existing == options.end() || existing->second != plan.option;
  const std::vector<std::uint16_t> next = withFirst(current, plan.number);
  plan.bootOrder = bootOrderBytes(next);
  plan.orderChanged = !order || next != current;
  result = std::move(plan);
  return true;
}

std::u16string asciiToUtf16(const std::string& text) {
  std::u16string wide;
  for (char c : text)
    wide.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c) : u'?');
  return wide;
}

std::string utf16ToAscii(const std::u16string& text) {
  std::string narrow;
  for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

}  // namespace boot
