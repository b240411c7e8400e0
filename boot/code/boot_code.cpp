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

}  // namespace boot
