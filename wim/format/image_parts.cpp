#include "wim/format/image_parts.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace wim {

namespace {

std::string quote(const std::string& text) { return "\"" + text + "\""; }

Outcome readTable(PartReader& reader, const ImagePart& part, BlobTable& table) {
  const ResourceHeader& resource = part.header.lookupTable;
  if (resource.flags & (kResourceCompressed | kResourceSolid))
    return failure(Problem::Unsupported, "the lookup table of " + quote(part.path) +
                                             " is compressed, which no WIM writer does");
  if (resource.storedSize != resource.originalSize || resource.originalSize > kMaxBlobTableSize)
    return failure(Problem::Damaged, "the lookup table of " + quote(part.path) +
                                         " gives the impossible size " +
                                         decimal(resource.originalSize));
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(resource.originalSize));
  if (!bytes.empty() &&
      !reader.read(part.header.partNumber, resource.offset, bytes.size(), bytes.data()))
    return failure(Problem::Unreadable, "cannot read the lookup table of " + quote(part.path));
  Outcome parsed =
      parseBlobTable(le::ByteSpan{bytes.data(), bytes.size()}, part.header, part.size, table);
  if (!parsed.ok()) parsed.reason += " (in " + quote(part.path) + ")";
  if (!parsed.ok()) return parsed;
  for (const BlobEntry& entry : table.entries)
    if (entry.partNumber != part.header.partNumber && !(entry.resource.flags & kResourceFree))
      return failure(Problem::Damaged, "the lookup table of " + quote(part.path) +
                                           " lists data of part " + decimal(entry.partNumber));
  return success();
}

// Opens a file and finds its length, leaving it at the start.
bool openSized(const std::string& path, std::ifstream& file, std::uint64_t& size) {
  file.open(path, std::ios::binary | std::ios::ate);
  if (!file) return false;
  const std::streamoff end = file.tellg();
  if (end < 0) return false;
  size = static_cast<std::uint64_t>(end);
  file.seekg(0, std::ios::beg);
  return static_cast<bool>(file);
}

}  // namespace

std::string splitPartPath(const std::string& firstPath, std::uint16_t number) {
  const std::size_t slash = firstPath.find_last_of("\\/");
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = firstPath.rfind('.');
  if (dot == std::string::npos || dot < nameStart) dot = firstPath.size();
  return firstPath.substr(0, dot) + decimal(number) + firstPath.substr(dot);
}

Outcome openImageParts(const std::string& firstPath, const Header& header, std::uint64_t size,
                       ImageParts& parts) {
  ImageParts opened;
  opened.parts.push_back(ImagePart{firstPath, size, header});
  if (header.partNumber != 1)
    return failure(Problem::Unsupported,
                   quote(firstPath) + " is part " + decimal(header.partNumber) + " of " +
                       decimal(header.totalParts) + " of a split image: give its first part");
  for (std::uint16_t number = 2; number <= header.totalParts; ++number) {
    ImagePart part;
    part.path = splitPartPath(firstPath, number);
    std::ifstream file;
    if (!openSized(part.path, file, part.size))
      return failure(Problem::Unreadable, "cannot open " + quote(part.path) + ", part " +
                                              decimal(number) + " of " +
                                              decimal(header.totalParts) + " of the split image");
    std::vector<std::uint8_t> start(
        static_cast<std::size_t>(std::min<std::uint64_t>(part.size, kHeaderSize)));
    file.read(reinterpret_cast<char*>(start.data()), static_cast<std::streamsize>(start.size()));
    if (!file) return failure(Problem::Unreadable, "cannot read " + quote(part.path));
    Outcome parsed = parseHeader(le::ByteSpan{start.data(), start.size()}, part.size, part.header);
    if (!parsed.ok()) {
      parsed.reason = quote(part.path) + ": " + parsed.reason;
      return parsed;
    }
    if (part.header.guid != header.guid || part.header.partNumber != number ||
        part.header.totalParts != header.totalParts)
      return failure(Problem::Damaged, quote(part.path) + " is not part " + decimal(number) +
                                           " of the split image that " + quote(firstPath) +
                                           " starts");
    opened.parts.push_back(std::move(part));
  }
  PartReader reader(opened);
  for (const ImagePart& part : opened.parts) {
    BlobTable table;
    Outcome read = readTable(reader, part, table);
    if (!read.ok()) return read;
    if (part.header.partNumber == 1)
      opened.table = std::move(table);
    else
      mergeBlobTable(opened.table, std::move(table));
  }
  parts = std::move(opened);
  return success();
}

bool PartReader::read(std::uint16_t part, std::uint64_t offset, std::size_t count,
                      std::uint8_t* out) {
  if (part == 0 || part > files_.size()) return false;
  const ImagePart& described = parts_->parts[part - 1];
  if (offset > described.size || count > described.size - offset) return false;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()) ||
      count > static_cast<std::size_t>(std::numeric_limits<std::streamsize>::max()))
    return false;
  std::unique_ptr<std::ifstream>& file = files_[part - 1];
  if (!file) {
    file = std::make_unique<std::ifstream>(described.path, std::ios::binary);
    if (!*file) {
      file.reset();
      return false;
    }
  }
  std::uint64_t& position = positions_[part - 1];
  if (!*file || position != offset) {
    file->clear();
    file->seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    if (!*file) return false;
  }
  file->read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
  const bool whole = file->gcount() == static_cast<std::streamsize>(count);
  position = whole ? offset + count : ~std::uint64_t{0};
  return whole;
}

ReadPart makePartReader(const ImageParts& parts) {
  auto reader = std::make_shared<PartReader>(parts);
  return [reader](std::uint16_t part, std::uint64_t offset, std::size_t count, std::uint8_t* out) {
    return reader->read(part, offset, count, out);
  };
}

}  // namespace wim
