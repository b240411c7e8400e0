#include "boot/code/boot_code.h"

namespace boot {

extern const unsigned char mbr_bytes[];
extern const std::size_t mbr_size;
extern const unsigned char ntfs_vbr_bytes[];
extern const std::size_t ntfs_vbr_size;
extern const unsigned char fat32_vbr_bytes[];
extern const std::size_t fat32_vbr_size;
extern const unsigned char fat16_vbr_bytes[];
extern const std::size_t fat16_vbr_size;

CodeImage mbrCode() { return {mbr_bytes, mbr_size}; }
CodeImage ntfsBootCode() { return {ntfs_vbr_bytes, ntfs_vbr_size}; }
CodeImage fat32BootCode() { return {fat32_vbr_bytes, fat32_vbr_size}; }
CodeImage fat16BootCode() { return {fat16_vbr_bytes, fat16_vbr_size}; }

}  // namespace boot
