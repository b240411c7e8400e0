// The reader on real WIM files that wimlib's tools made for this run, checked
// against what the program needs of the report and against wiminfo's view of
// the same files.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "wim/format/utf.h"
#include "wim/format/wim_info.h"
#include "tests/wim/wim_test_support.h"

namespace {

using wimtest::Bytes;
using wimtest::fixturePath;

// The files wimlib can read back; the pipable one is refused on purpose.
const char* const kReadableFixtures[] = {"none.wim",  "xpress.wim", "lzx.wim",  "lzms.wim",
                                         "solid.wim", "four.wim",   "boot.wim", "large.wim",
                                         "split.swm", "split2.swm"};

// The four names of four.wim, as the fixture script gave them.
const std::vector<std::string> kFourNames = {
    "Windows 7 HOMEBASIC",
    u8"Windows 7 家庭高级版",
    "Tom & Jerry <Ultimate> \"x\" 'y'",
    u8"专业版 \U00020000 Pro",
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

bool hasLine(const std::string& output, const std::string& line) {
  for (const std::string& each : lines(output))
    if (each == line) return true;
  return false;
}

wim::WimInfo readFixture(const std::string& name) {
  wim::WimInfo info;
  const wim::Outcome outcome = wim::readWimInfoFile(fixturePath(name), info);
  EXPECT_TRUE(outcome.ok()) << name << ": " << outcome.reason;
  return info;
}

std::vector<std::string> namesOf(const wim::WimInfo& info) {
  std::vector<std::string> names;
  for (const wim::ImageEntry& image : info.xml.images) names.push_back(image.name);
  return names;
}

std::string detail(const wim::ImageEntry& image, const std::string& name) {
  for (const auto& each : image.details)
    if (each.first == name) return each.second;
  return "(none)";
}

// "Key = value" lines of `wiminfo --header`.
std::map<std::string, std::string> wiminfoHeader(const std::string& image) {
  std::map<std::string, std::string> fields;
  for (const std::string& line : lines(wimtest::readText(fixturePath(image + ".header.txt")))) {
    const std::size_t equals = line.find(" = ");
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    fields[key] = line.substr(equals + 3);
  }
  return fields;
}

std::uint64_t number(const std::map<std::string, std::string>& fields, const std::string& key) {
  const auto found = fields.find(key);
  if (found == fields.end()) {
    ADD_FAILURE() << "wiminfo --header printed no " << key;
    return ~0ull;
  }
  return std::stoull(found->second, nullptr, 0);
}

// Lines "Key:   value" of plain wiminfo, the value with its padding removed.
std::vector<std::string> wiminfoValues(const std::string& image, const std::string& key) {
  std::vector<std::string> values;
  for (const std::string& line : lines(wimtest::readText(fixturePath(image + ".wiminfo.txt")))) {
    if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
    const std::size_t value = line.find_first_not_of(' ', key.size() + 1);
    values.push_back(value == std::string::npos ? "" : line.substr(value));
  }
  return values;
}

TEST(WimReaderOnWimlibFiles, ReportsEachCompression) {
  const struct {
    const char* file;
    wim::Compression compression;
    const char* shown;
  } cases[] = {{"none.wim", wim::Compression::None, "None"},
               {"xpress.wim", wim::Compression::Xpress, "XPRESS"},
               {"lzx.wim", wim::Compression::Lzx, "LZX"},
               {"lzms.wim", wim::Compression::Lzms, "LZMS"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const wim::WimInfo info = readFixture(c.file);
    EXPECT_EQ(info.header.compression, c.compression);
    const std::string kind = std::string(c.file).substr(0, std::string(c.file).find('.'));
    EXPECT_EQ(namesOf(info),
              (std::vector<std::string>{"Compression " + kind, "Second " + kind + " image"}));
    EXPECT_EQ(detail(info.xml.images[0], "DESCRIPTION"), "One image stored with " + kind);

    std::string output;
    EXPECT_EQ(wim::runInfoCommand(fixturePath(c.file), output), wim::kInfoExitOk);
    EXPECT_TRUE(hasLine(output, std::string("Compression: ") + c.shown)) << output;
    EXPECT_TRUE(hasLine(output, "Image Count: 2")) << output;
    EXPECT_TRUE(hasLine(output, "Part Number: 1/1")) << output;
    EXPECT_EQ(wimtest::namesAsTheProgramSeesThem(output),
              (std::vector<std::string>{"Compression " + kind, "Second " + kind + " image"}));
  }
}

TEST(WimReaderOnWimlibFiles, ReadsASolidFile) {
  const wim::WimInfo info = readFixture("solid.wim");
  EXPECT_EQ(info.header.version, wim::kVersionSolid);
  EXPECT_EQ(info.header.compression, wim::Compression::Lzms);
  EXPECT_EQ(namesOf(info), std::vector<std::string>{"Solid image"});
}

TEST(WimReaderOnWimlibFiles, ReadsFourImagesInIndexOrder) {
  const wim::WimInfo info = readFixture("four.wim");
  EXPECT_EQ(info.header.imageCount, 4u);
  ASSERT_EQ(info.xml.images.size(), 4u);
  EXPECT_EQ(namesOf(info), kFourNames);
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(info.xml.images[i].index, i + 1);
  EXPECT_EQ(detail(info.xml.images[0], "DESCRIPTION"), "Home Basic");
  EXPECT_EQ(detail(info.xml.images[0], "DISPLAYNAME"), "Windows 7 Home Basic");
  EXPECT_EQ(detail(info.xml.images[0], "FLAGS"), "HomeBasic");
  EXPECT_EQ(detail(info.xml.images[1], "DESCRIPTION"), u8"家庭高级版 & more");
  EXPECT_EQ(detail(info.xml.images[2], "DESCRIPTION"), "a < b > c");
  EXPECT_EQ(detail(info.xml.images[3], "DESCRIPTION"), "(none)");
  EXPECT_TRUE(info.xml.hasTotalBytes);
}

TEST(WimReaderOnWimlibFiles, ReportHasOneNamePerImageInOrder) {
  const std::string path = fixturePath("four.wim");
  std::string output;
  ASSERT_EQ(wim::runInfoCommand(path, output), wim::kInfoExitOk);

  EXPECT_TRUE(wim::isValidUtf8(output));
  EXPECT_EQ(output.find('\r'), std::string::npos) << "line ends are the caller's business";
  EXPECT_EQ(output.find('\0'), std::string::npos) << "the program stops reading at a NUL";
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output.back(), '\n');

  const std::vector<std::string> all = lines(output);
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[0], "WIM Information:");
  EXPECT_TRUE(hasLine(output, "Path:        " + path)) << output;
  EXPECT_TRUE(hasLine(output, "Image Count: 4")) << output;
  EXPECT_TRUE(hasLine(output, "Compression: LZX")) << output;
  EXPECT_TRUE(hasLine(output, "Part Number: 1/1")) << output;

  // Exactly one NAME element per image, in index order, each on its own line
  // and escaped for XML.
  EXPECT_EQ(wimtest::countNoCase(output, "<name>"), 4u) << output;
  EXPECT_EQ(wimtest::countNoCase(output, "</name>"), 4u) << output;
  const std::vector<std::string> escaped = {"Windows 7 HOMEBASIC", u8"Windows 7 家庭高级版",
                                            "Tom &amp; Jerry &lt;Ultimate&gt; \"x\" 'y'",
                                            u8"专业版 \U00020000 Pro"};
  EXPECT_EQ(wimtest::namesAsTheProgramSeesThem(output), escaped);
  std::vector<std::size_t> nameLines;
  for (std::size_t i = 0; i < all.size(); ++i)
    if (all[i].find("<NAME>") != std::string::npos) nameLines.push_back(i);
  ASSERT_EQ(nameLines.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(all[nameLines[k]], "    <NAME>" + escaped[k] + "</NAME>");
    EXPECT_EQ(all[nameLines[k] - 1], "  <IMAGE INDEX=\"" + std::to_string(k + 1) + "\">");
  }
  EXPECT_TRUE(hasLine(output, "    <DESCRIPTION>a &lt; b &gt; c</DESCRIPTION>")) << output;
  EXPECT_TRUE(hasLine(output, "    <DISPLAYNAME>Windows 7 Home Basic</DISPLAYNAME>")) << output;
  EXPECT_EQ(all.back(), "</WIM>");
}

TEST(WimReaderOnWimlibFiles, ReportsBootIndexAndIntegrityTable) {
  const wim::WimInfo info = readFixture("boot.wim");
  EXPECT_EQ(info.header.bootIndex, 2u);
  EXPECT_NE(info.header.integrityTable.storedSize, 0u);
  EXPECT_NE(info.header.bootMetadata.storedSize, 0u);
  std::string output;
  ASSERT_EQ(wim::runInfoCommand(fixturePath("boot.wim"), output), wim::kInfoExitOk);
  EXPECT_TRUE(hasLine(output, "Boot Index:  2")) << output;
  EXPECT_TRUE(hasLine(output, "             Integrity info")) << output;
  EXPECT_EQ(wimtest::namesAsTheProgramSeesThem(output),
            (std::vector<std::string>{"Boot one", "Boot two"}));
}

TEST(WimReaderOnWimlibFiles, ReadsEachPartOfASplitImage) {
  for (const char* part : {"split.swm", "split2.swm"}) {
    SCOPED_TRACE(part);
    const wim::WimInfo info = readFixture(part);
    EXPECT_EQ(namesOf(info), std::vector<std::string>{"Large image"});
    EXPECT_NE(info.header.flags & wim::kHeaderFlagSpanned, 0u);
  }
  std::string output;
  ASSERT_EQ(wim::runInfoCommand(fixturePath("split2.swm"), output), wim::kInfoExitOk);
  EXPECT_TRUE(hasLine(output, "Part Number: 2/2")) << output;
  EXPECT_TRUE(hasLine(output, "             Spanned")) << output;
}

TEST(WimReaderOnWimlibFiles, RefusesThePipableForm) {
  std::string output;
  EXPECT_EQ(wim::runInfoCommand(fixturePath("pipable.wim"), output), wim::kInfoExitUnsupported);
  EXPECT_EQ(output.rfind(wim::kErrorPrefix, 0), 0u) << output;
  EXPECT_NE(output.find("pipable"), std::string::npos) << output;
}

// Every header field against `wiminfo --header` of the same file.
TEST(WimReaderOnWimlibFiles, HeaderAgreesWithWiminfo) {
  for (const char* file : kReadableFixtures) {
    SCOPED_TRACE(file);
    const wim::WimInfo info = readFixture(file);
    const wim::Header& h = info.header;
    const auto fields = wiminfoHeader(file);
    ASSERT_FALSE(fields.empty()) << "no wiminfo --header output for " << file;
    EXPECT_EQ(fields.at("Magic Characters"), "MSWIM\\0\\0\\0");
    EXPECT_EQ(h.headerSize, number(fields, "Header Size"));
    EXPECT_EQ(h.version, number(fields, "Version"));
    EXPECT_EQ(h.flags, number(fields, "Flags"));
    EXPECT_EQ(h.chunkSize, number(fields, "Chunk Size"));
    EXPECT_EQ(h.partNumber, number(fields, "Part Number"));
    EXPECT_EQ(h.totalParts, number(fields, "Total Parts"));
    EXPECT_EQ(h.imageCount, number(fields, "Image Count"));
    EXPECT_EQ(h.bootIndex, number(fields, "Boot Index"));
    std::string guid;
    for (std::uint8_t byte : h.guid) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", byte);
      guid += hex;
    }
    EXPECT_EQ(guid, fields.at("GUID"));
    const struct {
      const char* name;
      const char* originalKey;
      const wim::ResourceHeader& resource;
    } resources[] = {{"Blob Table", "Blob Table Original_size", h.lookupTable},
                     {"XML Data", "XML Data Original Size", h.xmlData},
                     {"Boot Metadata", "Boot Metadata Original Size", h.bootMetadata},
                     {"Integrity", "Integrity Original_size", h.integrityTable}};
    for (const auto& r : resources) {
      SCOPED_TRACE(r.name);
      const std::string name = r.name;
      EXPECT_EQ(r.resource.storedSize, number(fields, name + " Size"));
      EXPECT_EQ(r.resource.flags, number(fields, name + " Flags"));
      EXPECT_EQ(r.resource.offset, number(fields, name + " Offset"));
      EXPECT_EQ(r.resource.originalSize, number(fields, r.originalKey));
    }
  }
}

// The image list against plain wiminfo of the same file.
TEST(WimReaderOnWimlibFiles, ImageListAgreesWithWiminfo) {
  for (const char* file : kReadableFixtures) {
    SCOPED_TRACE(file);
    const wim::WimInfo info = readFixture(file);
    EXPECT_EQ(wiminfoValues(file, "Image Count"),
              std::vector<std::string>{std::to_string(info.header.imageCount)});
    EXPECT_EQ(wiminfoValues(file, "Compression"),
              std::vector<std::string>{wim::compressionName(info.header.compression)});
    EXPECT_EQ(wiminfoValues(file, "Part Number"),
              std::vector<std::string>{std::to_string(info.header.partNumber) + "/" +
                                       std::to_string(info.header.totalParts)});
    EXPECT_EQ(wiminfoValues(file, "Name"), namesOf(info));
    std::string output;
    ASSERT_EQ(wim::runInfoCommand(fixturePath(file), output), wim::kInfoExitOk);
    EXPECT_EQ(wimtest::countNoCase(output, "<name>"), info.header.imageCount);
  }
}

// An install.wim of several gigabytes keeps its XML data at the end, past
// what a 32-bit file offset reaches. The copy here is sparse: the header and
// XML data of none.wim with the XML data moved beyond 5 GiB.
TEST(WimReaderOnWimlibFiles, ReadsXmlDataBeyondFourGigabytes) {
  Bytes original;
  ASSERT_TRUE(wimtest::readFile(fixturePath("none.wim"), original));
  const std::uint64_t xmlOffset = wimtest::getLittleEndian(original, wimtest::kXmlAt + 8, 8);
  const std::uint64_t xmlSize = wimtest::getLittleEndian(original, wimtest::kXmlAt, 7);
  ASSERT_LE(xmlOffset + xmlSize, original.size());
  const Bytes xml(original.begin() + static_cast<std::ptrdiff_t>(xmlOffset),
                  original.begin() + static_cast<std::ptrdiff_t>(xmlOffset + xmlSize));

  const std::uint64_t farOffset = (5ull << 30) + 12345;
  Bytes header(original.begin(), original.begin() + wim::kHeaderSize);
  wimtest::setResource(header, wimtest::kXmlAt, xmlSize, wim::kResourceMetadata, farOffset,
                       xmlSize);
  // The other resources are not where this copy has them; drop them.
  wimtest::setResource(header, wimtest::kLookupTableAt, 0, 0, 0, 0);
  wimtest::setResource(header, wimtest::kIntegrityAt, 0, 0, 0, 0);

  const std::string path = wimtest::scratchPath("beyond-4gib.wim");
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(header.data()),
               static_cast<std::streamsize>(header.size()));
    file.seekp(static_cast<std::streamoff>(farOffset));
    file.write(reinterpret_cast<const char*>(xml.data()), static_cast<std::streamsize>(xml.size()));
    ASSERT_TRUE(file.good()) << "could not write the sparse test file " << path;
  }
  std::string output;
  const int code = wim::runInfoCommand(path, output);
  std::remove(path.c_str());
  EXPECT_EQ(code, wim::kInfoExitOk) << output;
  EXPECT_EQ(wimtest::namesAsTheProgramSeesThem(output),
            (std::vector<std::string>{"Compression none", "Second none image"}));
}

}  // namespace
