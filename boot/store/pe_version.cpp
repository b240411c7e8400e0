#include "boot/store/pe_version.h"

#include "bytes/little_endian.h"

namespace boot {

namespace {

// DOS header: +0x00 "MZ", +0x3C u32 offset of the PE header.
// PE header: +0x00 "PE\0\0", then the file header:
//   +0x04 u16 machine
//   +0x06 u16 number of sections
//   +0x14 u16 size of the optional header
//   +0x18 optional header: +0x00 u16 magic (0x10B PE32, 0x20B PE32+);
//         PE32 +0x5C u32 number of data directories, +0x60 directories;
//         PE32+ +0x6C and +0x70. A directory is u32 RVA, u32 size; the
//         third (index 2) locates the resources.
// Section header (40 bytes, after the optional header):
//   +0x08 u32 virtual size
//   +0x0C u32 virtual address
//   +0x10 u32 size of raw data
//   +0x14 u32 pointer to raw data
constexpr std::uint32_t kPe32 = 0x10B;
constexpr std::uint32_t kPe32Plus = 0x20B;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint32_t kResourceDirectory = 2;

// Resource directory: +0x0C u16 named entries, +0x0E u16 id entries, then
// 8-byte entries (named first): +0 u32 id (high bit: a name), +4 u32 offset
// from the start of the resources (high bit: another directory, else a data
// entry). Data entry: +0 u32 RVA of the data, +4 u32 size.
constexpr std::uint32_t kHighBit = 0x80000000;
constexpr std::uint32_t kRtVersion = 16;

// VS_VERSIONINFO: +0 u16 length, +2 u16 value length, +4 u16 type, +6
// "VS_VERSION_INFO" in UTF-16 with its NUL, padding to 4 bytes, then
// VS_FIXEDFILEINFO: +0x00 u32 signature 0xFEEF04BD, +0x04 u32 structure
// version, +0x08 u32 file version high (major << 16 | minor), +0x0C u32 file
// version low (build << 16 | revision).
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedFileInfoSize = 52;
constexpr char kVersionKey[] = "VS_VERSION_INFO";

struct PeFile {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t sections = 0;  // offset of the section table
  std::size_t sectionCount = 0;

  std::uint32_t u16(std::size_t at) const {
    return static_cast<std::uint32_t>(le::value(le::ByteSpan{data, size}, at, 2));
  }
  std::uint32_t u32(std::size_t at) const {
    return static_cast<std::uint32_t>(le::value(le::ByteSpan{data, size}, at, 4));
  }

  // The file offset of `length` bytes at an RVA, all inside one section's
  // raw data and the file.
  bool map(std::uint32_t rva, std::size_t length, std::size_t& offset) const {
    for (std::size_t i = 0; i < sectionCount; ++i) {
      const std::size_t s = sections + i * kSectionHeaderSize;
      const std::uint64_t va = u32(s + 0x0C), raw = u32(s + 0x10), pointer = u32(s + 0x14);
      if (rva < va || rva - va >= raw) continue;
      const std::uint64_t inSection = rva - va;
      if (length > raw - inSection) return false;
      const std::uint64_t at = pointer + inSection;
      if (at > size || !le::holds(size, static_cast<std::size_t>(at), length)) return false;
      offset = static_cast<std::size_t>(at);
      return true;
    }
    return false;
  }
};

// The offset field of the first entry of a resource directory (`anyEntry`),
// or of its entry with the number `id`. False when there is none.
bool findEntry(const PeFile& pe, std::uint32_t resources, std::uint32_t directory, bool anyEntry,
               std::uint32_t id, std::uint32_t& target) {
  std::size_t at = 0;
  if (resources + static_cast<std::uint64_t>(directory) > 0xFFFFFFFF ||
      !pe.map(resources + directory, 16, at))
    return false;
  const std::size_t named = pe.u16(at + 0x0C), ids = pe.u16(at + 0x0E);
  for (std::size_t i = 0; i < named + ids; ++i) {
    std::size_t entry = 0;
    const std::uint64_t rva = resources + static_cast<std::uint64_t>(directory) + 16 + 8 * i;
    if (rva > 0xFFFFFFFF || !pe.map(static_cast<std::uint32_t>(rva), 8, entry)) return false;
    const std::uint32_t name = pe.u32(entry);
    if (anyEntry || (i >= named && (name & kHighBit) == 0 && name == id)) {
      target = pe.u32(entry + 4);
      return true;
    }
  }
  return false;
}

bool readVersion(const PeFile& pe, std::uint32_t resources, FileVersion& version,
                 std::string& problem) {
  std::uint32_t offset = 0;
  if (!findEntry(pe, resources, 0, false, kRtVersion, offset))
    return problem = "no version resource", false;
  // type -> name -> language -> data entry
  for (int level = 0; level < 2; ++level) {
    if ((offset & kHighBit) == 0) return problem = "the version resource is malformed", false;
    if (!findEntry(pe, resources, offset & ~kHighBit, true, 0, offset))
      return problem = "the version resource is malformed", false;
  }
  std::size_t entry = 0;
  if ((offset & kHighBit) != 0 || resources + static_cast<std::uint64_t>(offset) > 0xFFFFFFFF ||
      !pe.map(resources + offset, 16, entry))
    return problem = "the version resource is malformed", false;
  std::size_t block = 0;
  const std::uint32_t length = pe.u32(entry + 4);
  if (!pe.map(pe.u32(entry), length, block))
    return problem = "the version resource lies outside the file", false;

  // The key, then the fixed part at the next 4-byte boundary after it.
  const std::size_t keyEnd = 6 + 2 * sizeof kVersionKey;
  if (length < keyEnd) return problem = "the version resource is too short", false;
  for (std::size_t i = 0; i < sizeof kVersionKey; ++i)
    if (pe.u16(block + 6 + 2 * i) != static_cast<unsigned char>(kVersionKey[i]))
      return problem = "the version resource has no VS_VERSION_INFO", false;
  for (std::size_t at = (keyEnd + 3) / 4 * 4; at + kFixedFileInfoSize <= length; at += 4) {
    if (pe.u32(block + at) != kFixedFileInfoSignature) continue;
    const std::uint32_t high = pe.u32(block + at + 0x08), low = pe.u32(block + at + 0x0C);
    version.major = static_cast<std::uint16_t>(high >> 16);
    version.minor = static_cast<std::uint16_t>(high);
    version.build = static_cast<std::uint16_t>(low >> 16);
    version.revision = static_cast<std::uint16_t>(low);
    return true;
  }
  return problem = "the version resource has no fixed file information", false;
}

}  // namespace

bool readPeInfo(const std::uint8_t* data, std::size_t size, PeInfo& info, std::string& reason) {
  PeFile pe{data, size};
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return reason = "not an MZ file", false;
  const std::size_t header = pe.u32(0x3C);
  if (!le::holds(size, header, 0x18) || pe.u32(header) != 0x00004550)
    return reason = "no PE header", false;
  PeInfo result;
  result.machine = static_cast<std::uint16_t>(pe.u16(header + 0x04));
  pe.sectionCount = pe.u16(header + 0x06);
  const std::size_t optional = header + 0x18;
  const std::size_t optionalSize = pe.u16(header + 0x14);
  pe.sections = optional + optionalSize;
  if (!le::holds(size, optional, optionalSize) ||
      !le::holds(size, pe.sections, pe.sectionCount * kSectionHeaderSize))
    return reason = "the PE headers run past the end of the file", false;

  const std::uint32_t magic = pe.u16(optional);
  std::size_t countField = 0;
  if (magic == kPe32) {
    countField = 0x5C;
  } else if (magic == kPe32Plus) {
    countField = 0x6C;
  } else {
    return reason = "unknown optional header", false;
  }
  std::uint32_t resources = 0;
  if (countField + 4 <= optionalSize && pe.u32(optional + countField) > kResourceDirectory &&
      countField + 4 + 8 * (kResourceDirectory + 1) <= optionalSize)
    resources = pe.u32(optional + countField + 4 + 8 * kResourceDirectory);
  if (resources == 0) {
    result.versionProblem = "no resources";
  } else {
    result.hasVersion = readVersion(pe, resources, result.version, result.versionProblem);
  }
  info = result;
  return true;
}

std::string windowsDescription(unsigned major, unsigned minor, unsigned build) {
  if (major == 6 && minor == 1) return "Windows 7";
  if (major == 6 && minor == 2) return "Windows 8";
  if (major == 6 && minor == 3) return "Windows 8.1";
  if (major == 10 && minor == 0) return build >= 22000 ? "Windows 11" : "Windows 10";
  return "Windows";
}

}  // namespace boot
