// Broken and hostile input: files cut short, files that are no WIM, headers
// whose fields point outside the file or make no sense, XML data that is not
// UTF-16 or not XML. Each must give one "[ ERROR ]" line and the exit code
// of its kind, and never crash (the native run has the sanitizers watching).
#include <gtest/gtest.h>

#include <cstdio>

#include "wim/format/wim_info.h"
#include "tests/wim/wim_test_support.h"

namespace {

using wimtest::Bytes;
using wimtest::fixturePath;
using wimtest::putLittleEndian;
using wimtest::setResource;

Bytes fixture(const char* name) {
  Bytes bytes;
  EXPECT_TRUE(wimtest::readFile(fixturePath(name), bytes)) << name;
  return bytes;
}

std::uint64_t xmlOffset(const Bytes& wim) {
  return wimtest::getLittleEndian(wim, wimtest::kXmlAt + 8, 8);
}
std::uint64_t xmlSize(const Bytes& wim) {
  return wimtest::getLittleEndian(wim, wimtest::kXmlAt, 7);
}

// Checks the shape of every error report: one line, the prefix, a reason,
// nothing the program could take for an edition name.
void expectErrorOutput(const std::string& output) {
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output.rfind(wim::kErrorPrefix, 0), 0u) << output;
  EXPECT_GT(output.size(), std::string(wim::kErrorPrefix).size() + 1) << "no reason given";
  EXPECT_EQ(output.find('\n'), output.size() - 1) << "not exactly one line: " << output;
  EXPECT_EQ(wimtest::findNoCase(output, "<name>"), std::string::npos) << output;
  EXPECT_TRUE(wim::isValidUtf8(output)) << output;
}

// Runs the in-memory query and checks code, shape and a piece of the reason.
void expectError(const Bytes& wim, int code, const std::string& reasonPart) {
  std::string output;
  EXPECT_EQ(wim::runInfoOnBytes(wimtest::byteSpanOf(wim), "test.wim", output), code) << output;
  expectErrorOutput(output);
  EXPECT_NE(output.find(reasonPart), std::string::npos)
      << "expected \"" << reasonPart << "\" in: " << output;
}

int runOnFile(const std::string& name, const Bytes& content, std::string& output) {
  const std::string path = wimtest::scratchPath(name);
  EXPECT_TRUE(wimtest::writeFile(path, content)) << path;
  const int code = wim::runInfoCommand(path, output);
  std::remove(path.c_str());
  return code;
}

TEST(WimReaderOnDamagedFiles, MissingFileIsUnreadable) {
  std::string output;
  EXPECT_EQ(wim::runInfoCommand(wimtest::scratchPath("no-such-file.wim"), output),
            wim::kInfoExitUnreadable);
  expectErrorOutput(output);
  EXPECT_NE(output.find("no-such-file.wim"), std::string::npos) << output;
}

TEST(WimReaderOnDamagedFiles, FolderIsUnreadable) {
  std::string output;
  EXPECT_EQ(wim::runInfoCommand(wimtest::fixturePath("trees"), output), wim::kInfoExitUnreadable);
  expectErrorOutput(output);
}

TEST(WimReaderOnDamagedFiles, EmptyFileIsNoWim) {
  std::string output;
  EXPECT_EQ(runOnFile("empty.wim", {}, output), wim::kInfoExitNotWim);
  expectErrorOutput(output);
}

TEST(WimReaderOnDamagedFiles, TextFileRenamedWimIsNoWim) {
  const std::string text =
      "This is a text file that someone renamed to install.wim.\r\n"
      "<WIM><IMAGE INDEX=\"1\"><NAME>Looks like a name</NAME></IMAGE></WIM>\r\n";
  std::string output;
  EXPECT_EQ(runOnFile("renamed.wim", Bytes(text.begin(), text.end()), output),
            wim::kInfoExitNotWim);
  expectErrorOutput(output);
  EXPECT_NE(output.find("not a WIM file"), std::string::npos) << output;
}

TEST(WimReaderOnDamagedFiles, OtherWimsFirstBytesAreNoWim) {
  // A ZIP file, and a WIM whose signature lost one letter.
  Bytes zip = {'P', 'K', 3, 4, 20, 0, 0, 0, 8, 0};
  zip.resize(400, 0);
  expectError(zip, wim::kInfoExitNotWim, "not a WIM file");
  Bytes wim = fixture("none.wim");
  wim[4] = 'N';
  expectError(wim, wim::kInfoExitNotWim, "not a WIM file");
  expectError(Bytes{'M', 'S', 'W'}, wim::kInfoExitNotWim, "not a WIM file");
}

TEST(WimReaderOnDamagedFiles, HeaderCutShortIsDamaged) {
  const Bytes whole = fixture("none.wim");
  for (std::size_t size : {8u, 9u, 100u, 207u}) {
    SCOPED_TRACE(size);
    std::string output;
    EXPECT_EQ(runOnFile("short-header.wim", Bytes(whole.begin(), whole.begin() + size), output),
              wim::kInfoExitDamaged);
    expectErrorOutput(output);
    EXPECT_NE(output.find("cut short"), std::string::npos) << output;
  }
}

TEST(WimReaderOnDamagedFiles, XmlDataCutOffIsDamaged) {
  const Bytes whole = fixture("none.wim");
  const std::size_t cut = static_cast<std::size_t>(xmlOffset(whole) + xmlSize(whole) / 2);
  std::string output;
  EXPECT_EQ(runOnFile("cut-xml.wim", Bytes(whole.begin(), whole.begin() + cut), output),
            wim::kInfoExitDamaged);
  expectErrorOutput(output);
  EXPECT_NE(output.find("past the end of the file"), std::string::npos) << output;
}

// Every length of a real file: the reader must never read past what it was
// given, and every cut that loses part of the XML data must be reported.
TEST(WimReaderOnDamagedFiles, EveryTruncationIsHandled) {
  for (const char* name : {"none.wim", "lzx.wim", "boot.wim"}) {
    SCOPED_TRACE(name);
    const Bytes whole = fixture(name);
    const std::uint64_t xmlEnd = xmlOffset(whole) + xmlSize(whole);
    for (std::size_t size = 0; size < whole.size(); ++size) {
      const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
      std::string output;
      const int code = wim::runInfoOnBytes(wimtest::byteSpanOf(part), "cut.wim", output);
      if (size < xmlEnd) {
        ASSERT_NE(code, wim::kInfoExitOk) << "cut at " << size;
        ASSERT_EQ(output.rfind(wim::kErrorPrefix, 0), 0u) << output;
      }
    }
  }
}

TEST(WimReaderOnDamagedFiles, XmlOutsideTheFileIsDamaged) {
  const Bytes whole = fixture("none.wim");
  const std::uint64_t size = xmlSize(whole);
  Bytes wim = whole;
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceMetadata, whole.size() + 100, size);
  expectError(wim, wim::kInfoExitDamaged, "past the end of the file");

  wim = whole;  // starts inside, ends outside
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceMetadata, whole.size() - size / 2, size);
  expectError(wim, wim::kInfoExitDamaged, "past the end of the file");

  wim = whole;  // offset + size wraps around 2^64
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceMetadata, ~0ull - 10, size);
  expectError(wim, wim::kInfoExitDamaged, "past the end of the file");

  wim = whole;  // inside the header
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceMetadata, 16, size);
  expectError(wim, wim::kInfoExitDamaged, "inside the WIM header");
}

TEST(WimReaderOnDamagedFiles, AbsurdSizesAreDamaged) {
  const Bytes whole = fixture("none.wim");
  const std::uint64_t offset = xmlOffset(whole);
  Bytes wim = whole;
  setResource(wim, wimtest::kXmlAt, (1ull << 56) - 1, wim::kResourceMetadata, offset,
              (1ull << 56) - 1);
  expectError(wim, wim::kInfoExitDamaged, "past the end of the file");

  // A size claim that the file could hold but no real XML data has: the file
  // is padded so that only the sanity limit can refuse it.
  wim = whole;
  const std::uint64_t huge = wim::kMaxXmlDataSize + 2;
  wim.resize(static_cast<std::size_t>(offset + huge), 0);
  setResource(wim, wimtest::kXmlAt, huge, wim::kResourceMetadata, offset, huge);
  expectError(wim, wim::kInfoExitDamaged, "far more than any WIM file has");

  wim = whole;
  setResource(wim, wimtest::kLookupTableAt, 1ull << 40, wim::kResourceMetadata, 208, 1ull << 40);
  expectError(wim, wim::kInfoExitDamaged, "lookup table");

  wim = whole;
  setResource(wim, wimtest::kIntegrityAt, 64, 0, whole.size(), 64);
  expectError(wim, wim::kInfoExitDamaged, "integrity table");

  wim = whole;
  setResource(wim, wimtest::kBootMetadataAt, 64, wim::kResourceMetadata, whole.size() - 1, 64);
  expectError(wim, wim::kInfoExitDamaged, "boot metadata");
}

TEST(WimReaderOnDamagedFiles, BrokenUtf16IsDamaged) {
  const Bytes whole = fixture("none.wim");
  const std::uint64_t offset = xmlOffset(whole);
  const std::uint64_t size = xmlSize(whole);

  Bytes wim = whole;
  wim[static_cast<std::size_t>(offset)] = 0x3C;  // BOM lost
  expectError(wim, wim::kInfoExitDamaged, "byte-order mark");

  wim = whole;  // big-endian BOM
  wim[static_cast<std::size_t>(offset)] = 0xFE;
  wim[static_cast<std::size_t>(offset) + 1] = 0xFF;
  expectError(wim, wim::kInfoExitDamaged, "byte-order mark");

  wim = whole;  // odd length
  setResource(wim, wimtest::kXmlAt, size - 1, wim::kResourceMetadata, offset, size - 1);
  expectError(wim, wim::kInfoExitDamaged, "odd length");

  wim = whole;  // only one byte
  setResource(wim, wimtest::kXmlAt, 1, wim::kResourceMetadata, offset, 1);
  expectError(wim, wim::kInfoExitDamaged, "odd length");

  wim = whole;  // only the BOM: no document
  setResource(wim, wimtest::kXmlAt, 2, wim::kResourceMetadata, offset, 2);
  expectError(wim, wim::kInfoExitDamaged, "no root element");
}

TEST(WimReaderOnDamagedFiles, XmlResourceFlagsAreChecked) {
  const Bytes whole = fixture("none.wim");
  const std::uint64_t offset = xmlOffset(whole);
  const std::uint64_t size = xmlSize(whole);
  Bytes wim = whole;
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceMetadata | wim::kResourceCompressed, offset,
              size);
  expectError(wim, wim::kInfoExitUnsupported, "compressed");
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceSolid, offset, size);
  expectError(wim, wim::kInfoExitUnsupported, "compressed");
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceFree, offset, size);
  expectError(wim, wim::kInfoExitDamaged, "free space");
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceSpanned, offset, size);
  expectError(wim, wim::kInfoExitDamaged, "another part");
  setResource(wim, wimtest::kXmlAt, size, 0x40, offset, size);
  expectError(wim, wim::kInfoExitDamaged, "unknown resource flags 0x40");
  setResource(wim, wimtest::kXmlAt, size, wim::kResourceMetadata, offset, size * 3);
  expectError(wim, wim::kInfoExitDamaged, "bytes original");
  // Without the metadata flag the data is read all the same.
  setResource(wim, wimtest::kXmlAt, size, 0, offset, size);
  std::string output;
  EXPECT_EQ(wim::runInfoOnBytes(wimtest::byteSpanOf(wim), "x.wim", output), wim::kInfoExitOk)
      << output;
}

TEST(WimReaderOnDamagedFiles, HeaderFieldsAreChecked) {
  const Bytes whole = fixture("lzx.wim");
  Bytes wim = whole;
  putLittleEndian(wim, 0x08, 4, 200);
  expectError(wim, wim::kInfoExitDamaged, "size as 200 bytes");

  wim = whole;
  putLittleEndian(wim, 0x0C, 4, 0x10B00);
  expectError(wim, wim::kInfoExitUnsupported, "version 0x00010B00");

  const std::uint32_t flags = static_cast<std::uint32_t>(wimtest::getLittleEndian(whole, 0x10, 4));
  wim = whole;  // compressed, no type
  putLittleEndian(wim, 0x10, 4, flags & ~wim::kCompressionLzx);
  expectError(wim, wim::kInfoExitDamaged, "no compression type");

  wim = whole;  // two types
  putLittleEndian(wim, 0x10, 4, flags | wim::kCompressionXpress);
  expectError(wim, wim::kInfoExitDamaged, "more than one compression type");

  wim = whole;  // a type, but not compressed
  putLittleEndian(wim, 0x10, 4, flags & ~wim::kHeaderFlagCompressed);
  expectError(wim, wim::kInfoExitDamaged, "not marked compressed");

  wim = whole;  // a type nobody knows
  putLittleEndian(wim, 0x10, 4, (flags & ~wim::kCompressionLzx) | 0x00400000);
  expectError(wim, wim::kInfoExitUnsupported, "compression type this reader does not know");

  wim = whole;
  putLittleEndian(wim, 0x14, 4, 12345);
  expectError(wim, wim::kInfoExitDamaged, "chunk size of 12345");
  putLittleEndian(wim, 0x14, 4, 0);
  expectError(wim, wim::kInfoExitDamaged, "no chunk size");

  wim = whole;
  putLittleEndian(wim, 0x28, 2, 0);
  expectError(wim, wim::kInfoExitDamaged, "part number 0/1");
  putLittleEndian(wim, 0x28, 2, 3);
  putLittleEndian(wim, 0x2A, 2, 2);
  expectError(wim, wim::kInfoExitDamaged, "part number 3/2");

  wim = whole;
  putLittleEndian(wim, 0x78, 4, 3);
  expectError(wim, wim::kInfoExitDamaged, "image 3 as bootable");
}

TEST(WimReaderOnDamagedFiles, ImageCountMustMatchTheXml) {
  const Bytes whole = fixture("none.wim");  // two images
  for (std::uint32_t count : {0u, 1u, 3u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(count);
    Bytes wim = whole;
    putLittleEndian(wim, 0x2C, 4, count);
    expectError(wim, wim::kInfoExitDamaged, "the XML data describes 2");
  }
  Bytes wim = whole;
  setResource(wim, wimtest::kXmlAt, 0, 0, 0, 0);
  expectError(wim, wim::kInfoExitDamaged, "no XML data");
  // No XML data and no images is an empty image file, not damage.
  putLittleEndian(wim, 0x2C, 4, 0);
  std::string output;
  EXPECT_EQ(wim::runInfoOnBytes(wimtest::byteSpanOf(wim), "empty.wim", output), wim::kInfoExitOk);
  EXPECT_EQ(wimtest::countNoCase(output, "<name>"), 0u);
}

TEST(WimReaderOnDamagedFiles, DamagedXmlInARealFile) {
  const Bytes whole = fixture("none.wim");
  const std::size_t offset = static_cast<std::size_t>(xmlOffset(whole));
  const std::size_t size = static_cast<std::size_t>(xmlSize(whole));
  // Overwrite one UTF-16 unit at a time with '<' and check that nothing goes
  // past the XML data, whatever the parser then makes of it.
  for (std::size_t unit = offset + 2; unit + 1 < offset + size; unit += 2) {
    Bytes wim = whole;
    wim[unit] = '<';
    wim[unit + 1] = 0;
    std::string output;
    const int code = wim::runInfoOnBytes(wimtest::byteSpanOf(wim), "x.wim", output);
    if (code != wim::kInfoExitOk) {
      ASSERT_EQ(output.rfind(wim::kErrorPrefix, 0), 0u) << output;
    } else {
      ASSERT_EQ(wimtest::countNoCase(output, "<name>"), 2u) << output;
    }
  }
}

}  // namespace
