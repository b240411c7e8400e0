#include "tests/pe/pe_image.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace pe {

namespace {

struct Section {
  std::uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class Reader {
 public:
  explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  bool has(std::size_t offset, std::size_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  std::uint32_t u16(std::size_t offset) const {
    return has(offset, 2) ? bytes_[offset] | bytes_[offset + 1] << 8 : 0;
  }
  std::uint32_t u32(std::size_t offset) const {
    return has(offset, 4) ? u16(offset) | u16(offset + 2) << 16 : 0;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  const std::vector<std::uint8_t>& bytes_;
};

bool fileOffset(const std::vector<Section>& sections, std::uint32_t rva, std::size_t* offset) {
  for (const Section& section : sections) {
    std::uint32_t size = std::max(section.virtualSize, section.rawSize);
    if (rva >= section.virtualAddress && rva - section.virtualAddress < size) {
      *offset = section.rawOffset + (rva - section.virtualAddress);
      return true;
    }
  }
  return false;
}

std::string readAscii(const Reader& reader, std::size_t offset) {
  std::string text;
  while (reader.has(offset, 1) && reader.bytes()[offset] != 0 && text.size() < 256)
    text += static_cast<char>(reader.bytes()[offset++]);
  return text;
}

// Walks the three levels of the resource directory: type, name, language.
void readResources(const Reader& reader, const std::vector<Section>& sections, std::size_t base,
                   Image& image) {
  auto entries = [&](std::size_t directory) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> list;
    std::uint32_t count = reader.u16(directory + 12) + reader.u16(directory + 14);
    for (std::uint32_t i = 0; i < count && i < 4096; ++i) {
      std::size_t entry = directory + 16 + i * 8;
      if (!reader.has(entry, 8)) break;
      list.emplace_back(reader.u32(entry), reader.u32(entry + 4));
    }
    return list;
  };
  auto nameOf = [&](std::uint32_t id) {
    if (!(id & 0x80000000u)) return std::to_string(id);
    std::size_t at = base + (id & 0x7FFFFFFFu);
    std::uint32_t length = reader.u16(at);
    std::string name;
    for (std::uint32_t i = 0; i < length && i < 256; ++i)
      name += static_cast<char>(reader.u16(at + 2 + i * 2) & 0x7F);
    return name;
  };
  for (auto [typeId, typeTarget] : entries(base)) {
    if ((typeId & 0x80000000u) || !(typeTarget & 0x80000000u)) continue;
    for (auto [nameId, nameTarget] : entries(base + (typeTarget & 0x7FFFFFFFu))) {
      if (!(nameTarget & 0x80000000u)) continue;
      for (auto [languageId, dataEntry] : entries(base + (nameTarget & 0x7FFFFFFFu))) {
        (void)languageId;
        if (dataEntry & 0x80000000u) continue;
        std::size_t entry = base + dataEntry;
        std::size_t offset = 0;
        std::uint32_t size = reader.u32(entry + 4);
        Resource resource;
        resource.type = typeId;
        resource.name = nameOf(nameId);
        if (fileOffset(sections, reader.u32(entry), &offset) && reader.has(offset, size))
          resource.data.assign(reader.bytes().begin() + static_cast<std::ptrdiff_t>(offset),
                               reader.bytes().begin() + static_cast<std::ptrdiff_t>(offset + size));
        image.resources.push_back(std::move(resource));
      }
    }
  }
}

}  // namespace

Image read(const std::vector<std::uint8_t>& file) {
  Image image;
  Reader reader(file);
  if (reader.u16(0) != 0x5A4D) {
    image.error = "no MZ header";
    return image;
  }
  std::size_t peHeader = reader.u32(0x3C);
  if (reader.u32(peHeader) != 0x00004550) {
    image.error = "no PE signature";
    return image;
  }
  std::size_t fileHeader = peHeader + 4;
  image.machine = static_cast<std::uint16_t>(reader.u16(fileHeader));
  std::uint32_t sectionCount = reader.u16(fileHeader + 2);
  std::uint32_t optionalSize = reader.u16(fileHeader + 16);
  image.characteristics = static_cast<std::uint16_t>(reader.u16(fileHeader + 18));
  std::size_t optional = fileHeader + 20;
  image.optionalMagic = static_cast<std::uint16_t>(reader.u16(optional));
  image.subsystem = static_cast<std::uint16_t>(reader.u16(optional + 68));
  // Data directories start at +96 in PE32 and +112 in PE32+.
  std::size_t directories = optional + (image.optionalMagic == 0x20B ? 112 : 96);

  std::vector<Section> sections;
  std::size_t sectionTable = optional + optionalSize;
  for (std::uint32_t i = 0; i < sectionCount && i < 96; ++i) {
    std::size_t at = sectionTable + i * 40;
    sections.push_back(
        {reader.u32(at + 12), reader.u32(at + 8), reader.u32(at + 20), reader.u32(at + 16)});
  }

  std::size_t imports = 0;
  if (fileOffset(sections, reader.u32(directories + 8), &imports)) {
    for (std::size_t descriptor = imports; reader.has(descriptor, 20); descriptor += 20) {
      std::uint32_t nameRva = reader.u32(descriptor + 12);
      if (nameRva == 0) break;
      std::size_t nameOffset = 0;
      if (fileOffset(sections, nameRva, &nameOffset)) {
        std::string name = readAscii(reader, nameOffset);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        image.importedDlls.push_back(name);
      }
    }
  }
  std::size_t resources = 0;
  if (fileOffset(sections, reader.u32(directories + 16), &resources))
    readResources(reader, sections, resources, image);
  image.valid = true;
  return image;
}

Image readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Image image;
    image.error = "cannot open " + path;
    return image;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  return read(bytes);
}

std::vector<std::uint8_t> utf16(const std::string& ascii) {
  std::vector<std::uint8_t> result;
  for (char c : ascii) {
    result.push_back(static_cast<std::uint8_t>(c));
    result.push_back(0);
  }
  return result;
}

bool contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

}  // namespace pe
