#include "boot/code/boot_code.h"

namespace boot {
namespace generated {
// Defined in the sources that the build generates from the .bin files.
extern const std::uint8_t kMbrBytes[];
extern const std::size_t kMbrBytesSize;
extern const std::uint8_t kNtfsBytes[];
extern const std::size_t kNtfsBytesSize;
extern const std::uint8_t kFat32Bytes[];
extern const std::size_t kFat32BytesSize;
extern const std::uint8_t kFat16Bytes[];
extern const std::size_t kFat16BytesSize;
}  // namespace generated

CodeImage mbrCode() { return {generated::kMbrBytes, generated::kMbrBytesSize}; }
CodeImage ntfsBootCode() { return {generated::kNtfsBytes, generated::kNtfsBytesSize}; }
CodeImage fat32BootCode() { return {generated::kFat32Bytes, generated::kFat32BytesSize}; }
CodeImage fat16BootCode() { return {generated::kFat16Bytes, generated::kFat16BytesSize}; }

NtfsLimits ntfsLimits() {
  const std::uint8_t* table = generated::kNtfsBytes + kNtfsLimitsOffset;
  return {table[0], table[1], table[2], table[3], table[4]};
}

namespace {

unsigned shiftOf(std::uint32_t bytes) {
  unsigned shift = 0;
  while (shift < 31 && (std::uint32_t{1} << shift) < bytes) ++shift;
  return shift;
}

std::string size(unsigned shift) {
  if (shift >= 20) return std::to_string(1u << (shift - 20)) + " MiB";
  if (shift >= 10) return std::to_string(1u << (shift - 10)) + " KiB";
  return std::to_string(1u << shift) + " bytes";
}

// "<what> of <bytes> bytes; the boot code reads <range>"
std::string outside(const char* what, std::uint32_t bytes, unsigned low, unsigned high) {
  return std::string(what) + " of " + std::to_string(bytes) +
         " bytes, and the boot code reads only " + size(low) + " to " + size(high);
}

}  // namespace

std::string ntfsGeometryRefusal(std::uint32_t sectorBytes, std::uint32_t clusterBytes,
                                std::uint32_t recordBytes, std::uint32_t indexBlockBytes) {
  const NtfsLimits limits = ntfsLimits();
  const unsigned sector = shiftOf(sectorBytes);
  if (sector < limits.minSectorShift || sector > limits.maxSectorShift)
    return outside("sectors", sectorBytes, limits.minSectorShift, limits.maxSectorShift);
  if (shiftOf(clusterBytes) > limits.maxClusterShift)
    return outside("clusters", clusterBytes, sector, limits.maxClusterShift);
  const unsigned record = shiftOf(recordBytes);
  if (record < sector || record > limits.maxRecordShift)
    return outside("MFT records", recordBytes, sector, limits.maxRecordShift);
  const unsigned index = shiftOf(indexBlockBytes);
  if (index < sector || index > limits.maxIndexShift)
    return outside("index blocks", indexBlockBytes, sector, limits.maxIndexShift);
  return {};
}

}  // namespace boot
