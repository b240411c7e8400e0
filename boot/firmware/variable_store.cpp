#include "boot/firmware/variable_store.h"

#include <algorithm>

namespace boot {

namespace {

// Firmware volume header.
constexpr std::size_t kFvGuid = 0x10, kFvLength = 0x20, kFvSignature = 0x28, kFvHeaderLength = 0x30;
constexpr std::uint32_t kFvSignatureValue = 0x4856465F;  // "_FVH"
const Guid kNvDataVolume = {{0x8D, 0x2B, 0xF1, 0xFF, 0x96, 0x76, 0x8B, 0x4C, 0xA9, 0x85, 0x27, 0x47,
                             0x07, 0x5B, 0x4F, 0x50}};

// Variable store header.
constexpr std::size_t kStoreHeader = 28;
constexpr std::size_t kStoreSize = 0x10, kStoreFormat = 0x14, kStoreState = 0x15;
constexpr std::uint8_t kFormatted = 0x5A, kHealthy = 0xFE;
const Guid kAuthenticatedStore = {{0x78, 0x2C, 0xF3, 0xAA, 0x7B, 0x94, 0x9A, 0x43, 0xA1, 0x80, 0x2E,
                                   0x14, 0x4E, 0xC3, 0x77, 0x92}};

// Authenticated variable header.
constexpr std::size_t kVarHeader = 60;
constexpr std::size_t kVarState = 0x02, kVarAttributes = 0x04, kVarNameSize = 0x24,
                      kVarDataSize = 0x28, kVarVendor = 0x2C;
constexpr std::uint16_t kStartId = 0x55AA;
constexpr std::uint8_t kAdded = 0x3F;
constexpr std::uint8_t kInDeletedTransition = 0xFE, kDeleted = 0xFD;  // masks, ANDed in

std::size_t aligned4(std::size_t offset) { return (offset + 3) & ~static_cast<std::size_t>(3); }

Guid guidAt(const le::Bytes& file, std::size_t offset) {
  Guid guid;
  if (le::holds(file.size(), offset, 16))
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), 16, guid.bytes.begin());
  return guid;
}

bool isLive(std::uint8_t state) {
  return state == kAdded || state == (kAdded & kInDeletedTransition);
}

std::size_t variableSize(const VariableWrite& write) {
  return kVarHeader + 2 * (write.name.size() + 1) + write.data.size();
}

}  // namespace

bool readVariableStore(const le::Bytes& file, VariableStore& store, std::string& reason) {
  store = VariableStore{};
  const le::ByteSpan span = le::spanOf(file);
  std::uint32_t signature = 0;
  std::uint16_t headerLength = 0;
  std::uint64_t volumeLength = 0;
  if (!le::readU32(span, kFvSignature, signature) || signature != kFvSignatureValue ||
      !le::readU16(span, kFvHeaderLength, headerLength) ||
      !le::readU64(span, kFvLength, volumeLength))
    return reason = "it is no firmware volume (no _FVH signature)", false;
  if (guidAt(file, kFvGuid) != kNvDataVolume)
    return reason = "its firmware volume holds no variables (not an NV data volume)", false;
  if (headerLength < 0x48 || headerLength % 2 != 0 || volumeLength > file.size() ||
      volumeLength < headerLength)
    return reason = "its firmware volume header does not fit in the file", false;
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < headerLength; i += 2) sum += le::u16(file, i);
  if ((sum & 0xFFFF) != 0) return reason = "its firmware volume header's checksum is wrong", false;

  const std::size_t start = headerLength;
  std::uint32_t storeSize = 0;
  if (!le::readU32(span, start + kStoreSize, storeSize) ||
      guidAt(file, start) != kAuthenticatedStore)
    return reason = "it holds no variable store with authenticated variables", false;
  if (storeSize < kStoreHeader || storeSize > volumeLength - start)
    return reason = "its variable store's size runs past the firmware volume", false;
  if (le::u8(file, start + kStoreFormat) != kFormatted ||
      le::u8(file, start + kStoreState) != kHealthy)
    return reason = "its variable store is not formatted and healthy", false;
  store.storeStart = start;
  store.storeEnd = start + storeSize;

  std::size_t at = aligned4(start + kStoreHeader);
  while (le::holds(store.storeEnd, at, kVarHeader) && le::u16(file, at) == kStartId) {
    StoredVariable variable;
    variable.offset = at;
    variable.state = le::u8(file, at + kVarState);
    variable.attributes = le::u32(file, at + kVarAttributes);
    const std::uint32_t nameSize = le::u32(file, at + kVarNameSize);
    const std::uint32_t dataSize = le::u32(file, at + kVarDataSize);
    variable.vendor = guidAt(file, at + kVarVendor);
    const std::size_t nameAt = at + kVarHeader;
    if (!le::holds(store.storeEnd, nameAt, nameSize) ||
        !le::holds(store.storeEnd, nameAt + nameSize, dataSize) || nameSize % 2 != 0)
      return reason = "a variable at offset " + std::to_string(at) + " runs past the store", false;
    for (std::size_t i = 0; i + 2 <= nameSize; i += 2) {
      const auto c = static_cast<char16_t>(le::u16(file, nameAt + i));
      if (c == 0) break;
      variable.name.push_back(c);
    }
    const auto dataAt = static_cast<std::ptrdiff_t>(nameAt + nameSize);
    variable.data.assign(file.begin() + dataAt, file.begin() + dataAt + dataSize);
    store.variables.push_back(std::move(variable));
    at = aligned4(nameAt + nameSize + dataSize);
  }
  store.freeStart = std::min(at, store.storeEnd);
  return true;
}

const StoredVariable* liveVariable(const VariableStore& store, const std::u16string& name,
                                   const Guid& vendor) {
  const StoredVariable* found = nullptr;
  for (const StoredVariable& variable : store.variables) {
    if (variable.name != name || variable.vendor != vendor || !isLive(variable.state)) continue;
    if (!found || variable.state == kAdded) found = &variable;
  }
  return found;
}

bool writeVariables(le::Bytes& file, const std::vector<VariableWrite>& writes,
                    std::string& reason) {
  VariableStore store;
  if (!readVariableStore(file, store, reason)) return false;
  std::size_t needed = 0;
  for (const VariableWrite& write : writes) needed = aligned4(needed + variableSize(write));
  if (needed > store.storeEnd - store.freeStart)
    return reason = "the variable store is full: " + std::to_string(needed) +
                    " bytes are needed, " + std::to_string(store.storeEnd - store.freeStart) +
                    " are free",
           false;
  for (std::size_t i = store.freeStart; i < store.freeStart + needed; ++i)
    if (file[i] != 0xFF)
      return reason = "the variable store's free space is not blank at offset " + std::to_string(i),
             false;

  le::Bytes changed = file;
  for (const VariableWrite& write : writes)
    for (const StoredVariable& old : store.variables)
      if (old.name == write.name && old.vendor == write.vendor && isLive(old.state))
        changed[old.offset + kVarState] = static_cast<std::uint8_t>(old.state & kDeleted);
  std::size_t at = store.freeStart;
  for (const VariableWrite& write : writes) {
    // Monotonic count, time stamp and key index stay zero: these are no
    // authenticated writes.
    std::fill_n(changed.begin() + static_cast<std::ptrdiff_t>(at), kVarHeader, 0);
    le::put(changed, at, 2, kStartId);
    changed[at + kVarState] = kAdded;
    le::put(changed, at + kVarAttributes, 4, write.attributes);
    const std::size_t nameSize = 2 * (write.name.size() + 1);
    le::put(changed, at + kVarNameSize, 4, nameSize);
    le::put(changed, at + kVarDataSize, 4, write.data.size());
    std::copy(write.vendor.bytes.begin(), write.vendor.bytes.end(),
              changed.begin() + static_cast<std::ptrdiff_t>(at + kVarVendor));
    std::size_t p = at + kVarHeader;
    for (char16_t c : write.name) le::put(changed, p, 2, c), p += 2;
    le::put(changed, p, 2, 0);
    std::copy(write.data.begin(), write.data.end(),
              changed.begin() + static_cast<std::ptrdiff_t>(p + 2));
    // The padding up to the next variable stays FF, as free space is.
    at = aligned4(at + variableSize(write));
  }
  file.swap(changed);
  return true;
}

}  // namespace boot
