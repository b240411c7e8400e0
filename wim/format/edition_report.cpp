#include "wim/format/edition_report.h"

#include <cstdio>

#include "wim/format/utf.h"

namespace wim {

namespace {

constexpr std::size_t kLabelWidth = 18;

// Text as a terminal may show it: well-formed UTF-8, control characters as
// '?'. Unlike the query's report, < and > stay: a name is copied from here.
std::string shown(const std::string& text) {
  std::string out;
  std::size_t position = 0;
  while (position < text.size()) {
    std::uint32_t c = 0;
    const std::size_t length = decodeUtf8(text, position, c);
    if (length == 0) {
      out += kReplacementUtf8;
      ++position;
    } else {
      if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
        out += '?';
      else
        out.append(text, position, length);
      position += length;
    }
  }
  return out;
}

void addLine(const std::string& label, const std::string& value, std::string& out) {
  std::string line = label + ":";
  if (line.size() < kLabelWidth) line.append(kLabelWidth - line.size(), ' ');
  out += line + shown(value) + "\n";
}

const std::string* detail(const ImageEntry& image, const char* name) {
  for (const auto& each : image.details)
    if (each.first == name) return &each.second;
  return nullptr;
}

void addDetail(const ImageEntry& image, const char* element, const char* label, std::string& out) {
  if (const std::string* text = detail(image, element)) addLine(label, *text, out);
}

bool allDigits(const std::string& text) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// "3.9 GiB" beside a byte count, so that nobody has to count digits.
std::string bytesWithUnit(const std::string& bytes) {
  if (!allDigits(bytes)) return bytes;
  const double value = static_cast<double>(std::stoull(bytes));
  if (value < 1024) return bytes;
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double scaled = value / 1024;
  std::size_t unit = 0;
  while (scaled >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
    scaled /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, " (%.1f %s)", scaled, units[unit]);
  return bytes + text;
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
  return out;
}

void addWindows(const WindowsProperties& windows, std::string& out) {
  if (!windows.present) return;
  if (!windows.editionId.empty()) addLine("Edition ID", windows.editionId, out);
  if (!windows.architecture.empty())
    addLine("Architecture", architectureName(windows.architecture), out);
  if (!windows.languages.empty()) addLine("Languages", joined(windows.languages), out);
  if (!windows.defaultLanguage.empty()) addLine("Default language", windows.defaultLanguage, out);
  if (!windows.major.empty())
    addLine("Version", windows.major + (windows.minor.empty() ? "" : "." + windows.minor), out);
  if (!windows.build.empty())
    addLine("Build", windows.build + (windows.spBuild.empty() ? "" : "." + windows.spBuild), out);
}

}  // namespace

std::string architectureName(const std::string& arch) {
  // The PROCESSOR_ARCHITECTURE_* numbers of the Windows API.
  if (arch == "0") return "x86";
  if (arch == "5") return "ARM";
  if (arch == "6") return "ia64";
  if (arch == "9") return "x86_64";
  if (arch == "12") return "ARM64";
  return arch;
}

std::string formatEditions(const std::string& imagePath, const WimInfo& info) {
  const Header& header = info.header;
  std::string out;
  addLine("Image file", imagePath, out);
  addLine("Images", decimal(header.imageCount), out);
  addLine("Compression", compressionName(header.compression), out);
  if (header.totalParts > 1)
    addLine("Part", decimal(header.partNumber) + " of " + decimal(header.totalParts), out);
  if (header.bootIndex != 0) addLine("Boot index", decimal(header.bootIndex), out);
  for (const ImageEntry& image : info.xml.images) {
    out += "\n";
    addLine("Index", decimal(image.index), out);
    addLine("Name", image.name, out);
    addDetail(image, "DESCRIPTION", "Description", out);
    addDetail(image, "DISPLAYNAME", "Display name", out);
    addWindows(image.windows, out);
    addDetail(image, "DIRCOUNT", "Folders", out);
    addDetail(image, "FILECOUNT", "Files", out);
    if (const std::string* bytes = detail(image, "TOTALBYTES"))
      addLine("Bytes", bytesWithUnit(*bytes), out);
  }
  return out;
}

NameMatch findImageByName(const ImageXml& xml, const std::string& name, std::uint32_t& index) {
  std::size_t found = 0;
  std::uint32_t first = 0;
  for (const ImageEntry& image : xml.images) {
    if (!image.hasName || image.name != name) continue;
    if (found++ == 0) first = image.index;
  }
  if (found == 0) return NameMatch::Unknown;
  if (found > 1) return NameMatch::Ambiguous;
  index = first;
  return NameMatch::Found;
}

std::string editionList(const ImageXml& xml) {
  std::string out;
  for (const ImageEntry& image : xml.images)
    out += "  " + decimal(image.index) + "  " + shown(image.name) + "\n";
  return out;
}

}  // namespace wim
