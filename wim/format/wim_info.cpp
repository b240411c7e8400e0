#include "wim/format/wim_info.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <ios>
#include <limits>

#include "wim/format/utf.h"

namespace wim {

namespace {

Outcome checkXmlResource(const Header& header) {
  const ResourceHeader& xml = header.xmlData;
  if (xml.storedSize == 0) {
    if (header.imageCount == 0) return success();
    return failure(Problem::Damaged, "the WIM header points to no XML data, yet counts " +
                                         decimal(header.imageCount) + " images");
  }
  if (xml.flags & (kResourceCompressed | kResourceSolid))
    return failure(Problem::Unsupported,
                   "the XML data is stored compressed, and this reader does not decompress");
  if (xml.flags & kResourceFree)
    return failure(Problem::Damaged, "the XML data is marked as free space");
  if (xml.flags & kResourceSpanned)
    return failure(Problem::Damaged, "the XML data is marked as continuing in another part");
  if (xml.flags & ~(kResourceMetadata))
    return failure(Problem::Damaged, "the XML data has unknown resource flags " + hex8(xml.flags));
  if (xml.originalSize != xml.storedSize)
    return failure(Problem::Damaged,
                   "the XML data is stored uncompressed, yet its size is given "
                   "as " +
                       decimal(xml.storedSize) + " bytes stored and " + decimal(xml.originalSize) +
                       " bytes original");
  if (xml.storedSize > kMaxXmlDataSize)
    return failure(Problem::Damaged, "the XML data claims " + decimal(xml.storedSize) +
                                         " bytes, far more than any WIM file has");
  return success();
}

std::string guidText(const std::array<std::uint8_t, 16>& guid) {
  // The usual GUID form: the first three fields are little-endian numbers.
  const le::ByteSpan bytes{guid.data(), guid.size()};
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0, data3 = 0;
  le::readU32(bytes, 0, data1);
  le::readU16(bytes, 4, data2);
  le::readU16(bytes, 6, data3);
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(data1), static_cast<unsigned>(data2),
                static_cast<unsigned>(data3), guid[8], guid[9], guid[10], guid[11], guid[12],
                guid[13], guid[14], guid[15]);
  return text;
}

std::string attributeLines(const Header& header) {
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%08X", static_cast<unsigned>(header.flags));
  std::string lines = std::string("Attributes:  ") + flags + "\n";
  const struct {
    bool set;
    const char* text;
  } attributes[] = {
      {header.integrityTable.storedSize != 0, "Integrity info"},
      {(header.flags & kHeaderFlagReadOnly) != 0, "Read only"},
      {(header.flags & kHeaderFlagSpanned) != 0, "Spanned"},
      {(header.flags & kHeaderFlagResourceOnly) != 0, "Resource only"},
      {(header.flags & kHeaderFlagMetadataOnly) != 0, "Metadata only"},
      {(header.flags & kHeaderFlagWriteInProgress) != 0, "Write in progress"},
      {(header.flags & kHeaderFlagReparsePointFix) != 0, "Relative path junction"},
  };
  for (const auto& attribute : attributes)
    if (attribute.set) lines += std::string("             ") + attribute.text + "\n";
  return lines;
}

void appendElement(const std::string& indent, const std::string& name, const std::string& text,
                   std::string& out) {
  out += indent + "<" + name + ">" + escapeXmlText(text) + "</" + name + ">\n";
}

}  // namespace

Outcome readWimInfo(std::uint64_t fileSize, const ReadAt& readAt, WimInfo& info) {
  std::vector<std::uint8_t> start;
  const std::size_t startSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kHeaderSize));
  if (startSize > 0 && !readAt(0, startSize, start))
    return failure(Problem::Unreadable, "the file could not be read");

  WimInfo read;
  Outcome outcome = parseHeader(le::ByteSpan{start.data(), start.size()}, fileSize, read.header);
  if (!outcome.ok()) return outcome;
  outcome = checkXmlResource(read.header);
  if (!outcome.ok()) return outcome;

  const ResourceHeader& xml = read.header.xmlData;
  if (xml.storedSize != 0) {
    std::vector<std::uint8_t> data;
    if (!readAt(xml.offset, static_cast<std::size_t>(xml.storedSize), data))
      return failure(Problem::Unreadable, "the XML data could not be read from the file");
    std::string text;
    outcome = decodeXmlData(le::ByteSpan{data.data(), data.size()}, text);
    if (!outcome.ok()) return outcome;
    outcome = parseImageXml(text, read.xml);
    if (!outcome.ok()) return outcome;
    read.xmlText = std::move(text);
  }
  if (read.xml.images.size() != read.header.imageCount)
    return failure(Problem::Damaged, "the WIM header counts " + decimal(read.header.imageCount) +
                                         " images, but the XML data describes " +
                                         decimal(read.xml.images.size()));
  info = std::move(read);
  return success();
}

Outcome readWimInfo(le::ByteSpan file, WimInfo& info) {
  const ReadAt readAt = [file](std::uint64_t offset, std::size_t count,
                               std::vector<std::uint8_t>& out) {
    if (offset > file.size || !le::holds(file, static_cast<std::size_t>(offset), count))
      return false;
    out.assign(file.data + offset, file.data + offset + count);
    return true;
  };
  return readWimInfo(file.size, readAt, info);
}

Outcome readWimInfoFile(const std::string& path, WimInfo& info) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return failure(Problem::Unreadable, "cannot open " + path);
  file.seekg(0, std::ios::end);
  const std::streamoff end = file.tellg();
  if (!file || end < 0) return failure(Problem::Unreadable, "cannot read " + path);
  const ReadAt readAt = [&file](std::uint64_t offset, std::size_t count,
                                std::vector<std::uint8_t>& out) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()) ||
        count > static_cast<std::size_t>(std::numeric_limits<std::streamsize>::max()))
      return false;
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    if (!file) return false;
    out.resize(count);
    file.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
    return file.gcount() == static_cast<std::streamsize>(count);
  };
  Outcome outcome = readWimInfo(static_cast<std::uint64_t>(end), readAt, info);
  if (outcome.problem == Problem::Unreadable) outcome.reason = "cannot read " + path;
  return outcome;
}

std::string printable(const std::string& text) {
  std::string out;
  std::size_t position = 0;
  while (position < text.size()) {
    std::uint32_t c = 0;
    const std::size_t length = decodeUtf8(text, position, c);
    if (length == 0) {
      out += kReplacementUtf8;
      ++position;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out.append(text, position, length);
    }
    position += length;
  }
  return out;
}

std::string formatInfo(const std::string& imagePath, const WimInfo& info) {
  const Header& header = info.header;
  std::string out;
  out += "WIM Information:\n";
  out += "----------------\n";
  out += "Path:        " + printable(imagePath) + "\n";
  out += "GUID:        " + guidText(header.guid) + "\n";
  out += "Image Count: " + decimal(header.imageCount) + "\n";
  out += std::string("Compression: ") + compressionName(header.compression) + "\n";
  out += "Part Number: " + decimal(header.partNumber) + "/" + decimal(header.totalParts) + "\n";
  out += "Boot Index:  " + decimal(header.bootIndex) + "\n";
  out += attributeLines(header);
  out += "\n";
  out += "Available Image Choices:\n";
  out += "------------------------\n";
  out += "<WIM>\n";
  if (info.xml.hasTotalBytes) appendElement("  ", "TOTALBYTES", info.xml.totalBytes, out);
  for (const ImageEntry& image : info.xml.images) {
    out += "  <IMAGE INDEX=\"" + decimal(image.index) + "\">\n";
    // Always exactly one NAME, even an empty one: the caller lists one
    // edition per NAME element and counts their position as the index.
    appendElement("    ", "NAME", image.name, out);
    for (const auto& detail : image.details)
      appendElement("    ", detail.first, detail.second, out);
    out += "  </IMAGE>\n";
  }
  out += "</WIM>\n";
  return out;
}

std::string formatError(const Outcome& outcome) {
  const std::string reason = outcome.reason.empty() ? "unknown failure" : outcome.reason;
  return kErrorPrefix + printable(reason) + "\n";
}

int exitCodeFor(Problem problem) {
  switch (problem) {
    case Problem::None:
      return kInfoExitOk;
    case Problem::Unreadable:
      return kInfoExitUnreadable;
    case Problem::NotWim:
      return kInfoExitNotWim;
    case Problem::Damaged:
      return kInfoExitDamaged;
    case Problem::Unsupported:
      return kInfoExitUnsupported;
  }
  return kInfoExitDamaged;
}

int runInfoCommand(const std::string& imagePath, std::string& output) {
  WimInfo info;
  const Outcome outcome = readWimInfoFile(imagePath, info);
  output = outcome.ok() ? formatInfo(imagePath, info) : formatError(outcome);
  return exitCodeFor(outcome.problem);
}

int runInfoOnBytes(le::ByteSpan file, const std::string& imagePath, std::string& output) {
  WimInfo info;
  const Outcome outcome = readWimInfo(file, info);
  output = outcome.ok() ? formatInfo(imagePath, info) : formatError(outcome);
  return exitCodeFor(outcome.problem);
}

}  // namespace wim
