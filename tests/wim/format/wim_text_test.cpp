// The text layers on their own: UTF-16LE to UTF-8, the XML data parser with
// its entities and its refusals, the escaping of names in the report, and
// whole reports of small WIM files built here for XML that wimlib's tools
// would never write.
#include <gtest/gtest.h>

#include "wim/format/image_xml.h"
#include "wim/format/utf.h"
#include "wim/format/wim_info.h"
#include "tests/wim/wim_test_support.h"

namespace {

using wimtest::Bytes;
using wimtest::byteSpanOf;

std::string fromUtf16(const Bytes& units) { return wim::utf16leToUtf8(byteSpanOf(units)); }

TEST(Utf16ToUtf8, ConvertsEveryLength) {
  EXPECT_EQ(fromUtf16({'A', 0}), "A");
  EXPECT_EQ(fromUtf16({0xE9, 0x00}), u8"\u00E9");                  // two bytes
  EXPECT_EQ(fromUtf16({0x2D, 0x4E}), u8"\u4E2D");                  // three bytes: 中
  EXPECT_EQ(fromUtf16({0x40, 0xD8, 0x00, 0xDC}), u8"\U00020000");  // surrogate pair
  EXPECT_EQ(fromUtf16({0x3D, 0xD8, 0x00, 0xDE}), u8"\U0001F600");
  EXPECT_EQ(fromUtf16({0xFF, 0xDB, 0xFF, 0xDF}), u8"\U0010FFFF");
}

TEST(Utf16ToUtf8, ReplacesBrokenSurrogates) {
  const std::string replacement = wim::kReplacementUtf8;
  EXPECT_EQ(fromUtf16({0x00, 0xD8}), replacement);                // high at the end
  EXPECT_EQ(fromUtf16({0x00, 0xDC, 'A', 0}), replacement + "A");  // lone low
  EXPECT_EQ(fromUtf16({0x00, 0xD8, 'A', 0}), replacement + "A");  // high, then no low
  EXPECT_EQ(fromUtf16({0x00, 0xD8, 0x00, 0xD8, 0x00, 0xDC}),      // high, then a pair
            replacement + u8"\U00010000");
  EXPECT_EQ(fromUtf16({'A', 0, 'B'}), "A" + replacement);  // odd last byte
}

TEST(Utf16ToUtf8, XmlDataNeedsBomAndWholeUnits) {
  std::string text;
  EXPECT_TRUE(wim::decodeXmlData(byteSpanOf(wimtest::utf16le(u8"<WIM>中</WIM>")), text).ok());
  EXPECT_EQ(text, u8"<WIM>中</WIM>");
  EXPECT_EQ(wim::decodeXmlData(byteSpanOf(wimtest::utf16le("<WIM/>", false)), text).problem,
            wim::Problem::Damaged);
  EXPECT_EQ(wim::decodeXmlData(byteSpanOf(Bytes{0xFE, 0xFF, 0, '<'}), text).problem,
            wim::Problem::Damaged);
  EXPECT_EQ(wim::decodeXmlData(byteSpanOf(Bytes{0xFF, 0xFE, '<'}), text).problem,
            wim::Problem::Damaged);
  EXPECT_EQ(wim::decodeXmlData(byteSpanOf(Bytes{}), text).problem, wim::Problem::Damaged);
  EXPECT_TRUE(wim::decodeXmlData(byteSpanOf(Bytes{0xFF, 0xFE}), text).ok());
  EXPECT_EQ(text, "");
}

TEST(Utf8Check, RefusesMalformedSequences) {
  EXPECT_TRUE(wim::isValidUtf8(u8"ASCII, 中文, \U00020000"));
  EXPECT_FALSE(wim::isValidUtf8("\x80"));
  EXPECT_FALSE(wim::isValidUtf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(wim::isValidUtf8("\xE0\x80\xAF"));      // overlong
  EXPECT_FALSE(wim::isValidUtf8("\xED\xA0\x80"));      // a surrogate
  EXPECT_FALSE(wim::isValidUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(wim::isValidUtf8("\xE4\xB8"));          // cut short
  EXPECT_FALSE(wim::isValidUtf8("\xD6\xD0"));          // GBK for 中
}

wim::ImageXml parsed(const std::string& xml) {
  wim::ImageXml result;
  const wim::Outcome outcome = wim::parseImageXml(xml, result);
  EXPECT_TRUE(outcome.ok()) << outcome.reason << "\n in: " << xml;
  return result;
}

std::string refusal(const std::string& xml) {
  wim::ImageXml result;
  const wim::Outcome outcome = wim::parseImageXml(xml, result);
  EXPECT_EQ(outcome.problem, wim::Problem::Damaged) << xml;
  return outcome.reason;
}

std::string oneName(const std::string& nameXml) {
  const wim::ImageXml xml =
      parsed("<WIM><IMAGE INDEX=\"1\"><NAME>" + nameXml + "</NAME></IMAGE></WIM>");
  return xml.images.size() == 1 ? xml.images[0].name : "(no image)";
}

TEST(ImageXml, ResolvesEntitiesAndCharacterReferences) {
  EXPECT_EQ(oneName("a &amp; b"), "a & b");
  EXPECT_EQ(oneName("&lt;x&gt;"), "<x>");
  EXPECT_EQ(oneName("&quot;q&quot; &apos;a&apos;"), "\"q\" 'a'");
  EXPECT_EQ(oneName("&#65;&#x42;&#x4a;"), "ABJ");
  EXPECT_EQ(oneName("&#20013;&#x6587;"), u8"中文");
  EXPECT_EQ(oneName("&#x20000;"), u8"\U00020000");
  EXPECT_EQ(oneName("&#0000065;"), "A");
  EXPECT_EQ(oneName("&amp;amp;"), "&amp;");  // resolved once, not twice
  EXPECT_EQ(oneName("<![CDATA[<raw> & ]]>"), "<raw> & ");
  EXPECT_EQ(oneName("a<!-- note -->b"), "ab");
  EXPECT_EQ(oneName(u8"Windows 7 家庭高级版"), u8"Windows 7 家庭高级版");
  EXPECT_EQ(oneName(""), "");
}

TEST(ImageXml, RefusesBadReferences) {
  const char* const bad[] = {"&nbsp;",   "&amp",     "& b",        "&#;",
                             "&#x;",     "&#xG1;",   "&#0;",       "&#x1;",
                             "&#xD800;", "&#xFFFE;", "&#x110000;", "&#99999999999999999999;",
                             "&#-1;",    "&;",       "&#X43;"};
  for (const char* name : bad) {
    SCOPED_TRACE(name);
    refusal(std::string("<WIM><IMAGE INDEX=\"1\"><NAME>") + name + "</NAME></IMAGE></WIM>");
  }
}

TEST(ImageXml, OrdersImagesByIndex) {
  const wim::ImageXml xml = parsed(
      "<?xml version=\"1.0\"?><!-- c --><WIM>\n"
      "  <IMAGE INDEX='3'><NAME>three</NAME></IMAGE>\n"
      "  <IMAGE INDEX=\"1\" OTHER=\"x\"><NAME>one</NAME><DESCRIPTION>d1</DESCRIPTION></IMAGE>\n"
      "  <IMAGE INDEX = \"2\" "
      "><NAME>two</NAME><WINDOWS><EDITIONID>x</EDITIONID></WINDOWS></IMAGE>\n"
      "  <TOTALBYTES>123</TOTALBYTES><UNKNOWN/>\n"
      "</WIM>\n");
  ASSERT_EQ(xml.images.size(), 3u);
  EXPECT_EQ(xml.images[0].name, "one");
  EXPECT_EQ(xml.images[1].name, "two");
  EXPECT_EQ(xml.images[2].name, "three");
  EXPECT_EQ(xml.images[2].index, 3u);
  ASSERT_EQ(xml.images[0].details.size(), 1u);
  EXPECT_EQ(xml.images[0].details[0].first, "DESCRIPTION");
  EXPECT_EQ(xml.images[0].details[0].second, "d1");
  EXPECT_TRUE(xml.hasTotalBytes);
  EXPECT_EQ(xml.totalBytes, "123");
}

TEST(ImageXml, AcceptsAnImageWithoutNameAndTrailingNuls) {
  wim::ImageXml xml = parsed("<WIM><IMAGE INDEX=\"1\"/></WIM>" + std::string(3, '\0'));
  ASSERT_EQ(xml.images.size(), 1u);
  EXPECT_FALSE(xml.images[0].hasName);
  EXPECT_EQ(xml.images[0].name, "");
  xml = parsed("<WIM></WIM>");
  EXPECT_TRUE(xml.images.empty());
}

TEST(ImageXml, RefusesWrongIndexes) {
  EXPECT_NE(refusal("<WIM><IMAGE><NAME>a</NAME></IMAGE></WIM>").find("no INDEX"),
            std::string::npos);
  EXPECT_NE(refusal("<WIM><IMAGE INDEX=\"1\" INDEX=\"1\"/></WIM>").find("two INDEX"),
            std::string::npos);
  for (const char* index :
       {"", "0", "abc", "1a", "-1", "+1", " 1", "4294967296", "99999999999999999999999"}) {
    SCOPED_TRACE(index);
    refusal(std::string("<WIM><IMAGE INDEX=\"") + index + "\"/></WIM>");
  }
  EXPECT_NE(refusal("<WIM><IMAGE INDEX=\"1\"/><IMAGE INDEX=\"1\"/></WIM>").find("two IMAGE"),
            std::string::npos);
  EXPECT_NE(refusal("<WIM><IMAGE INDEX=\"1\"/><IMAGE INDEX=\"3\"/></WIM>").find("2 is missing"),
            std::string::npos);
  EXPECT_NE(refusal("<WIM><IMAGE INDEX=\"2\"/></WIM>").find("1 is missing"), std::string::npos);
}

TEST(ImageXml, RefusesAmbiguousNames) {
  EXPECT_NE(refusal("<WIM><IMAGE INDEX=\"1\"><NAME>a</NAME><NAME>b</NAME></IMAGE></WIM>")
                .find("2 NAME elements"),
            std::string::npos);
  EXPECT_NE(refusal("<WIM><IMAGE INDEX=\"1\"><NAME>a<B>b</B></NAME></IMAGE></WIM>")
                .find("holds elements"),
            std::string::npos);
}

TEST(ImageXml, RefusesWhatIsNotWellFormed) {
  const char* const bad[] = {
      "",
      "   ",
      "text",
      "<IMAGES></IMAGES>",
      "<WIM>",
      "<WIM></MIW>",
      "<WIM><IMAGE INDEX=\"1\"></WIM>",
      "<WIM></WIM><WIM></WIM>",
      "<WIM></WIM>trailing",
      "<WIM><IMAGE INDEX=1/></WIM>",
      "<WIM><IMAGE INDEX=\"1/></WIM>",
      "<WIM><IMAGE INDEX=\"<1\"/></WIM>",
      "<WIM><IMAGE INDEX=\"1\"NAME=\"x\"/></WIM>",
      "<WIM><IMAGE INDEX/></WIM>",
      "<WIM><!-- open</WIM>",
      "<WIM><![CDATA[open</WIM>",
      "<WIM><?pi open</WIM>",
      "<WIM><!ELEMENT x></WIM>",
      "<!DOCTYPE WIM [<!ENTITY a \"aaaa\">]><WIM></WIM>",
      "<WIM>< IMAGE/></WIM>",
      "<WIM></ WIM>",
      "<WIM></WIM",
      "<>",
  };
  for (const char* xml : bad) {
    SCOPED_TRACE(xml);
    refusal(xml);
  }
  EXPECT_NE(refusal("<!DOCTYPE WIM><WIM></WIM>").find("document type"), std::string::npos);
  EXPECT_NE(refusal("<ROOT></ROOT>").find("not WIM"), std::string::npos);
}

TEST(ImageXml, RefusesCharactersXmlForbids) {
  refusal("<WIM><IMAGE INDEX=\"1\"><NAME>a" + std::string(1, '\0') + "b</NAME></IMAGE></WIM>");
  refusal("<WIM><IMAGE INDEX=\"1\"><NAME>a\x01</NAME></IMAGE></WIM>");
  refusal("<WIM><IMAGE INDEX=\"1\"><NAME>\xEF\xBF\xBF</NAME></IMAGE></WIM>");  // U+FFFF
  refusal("<WIM><IMAGE INDEX=\"1\"><NAME>\xD6\xD0</NAME></IMAGE></WIM>");      // not UTF-8
  // U+FFFD, which the UTF-16 decoding puts for a broken surrogate, is fine.
  EXPECT_EQ(oneName(wim::kReplacementUtf8), wim::kReplacementUtf8);
}

TEST(ImageXml, RefusesDeepNestingWithoutExhaustingTheStack) {
  std::string xml = "<WIM><IMAGE INDEX=\"1\">";
  for (int i = 0; i < 100000; ++i) xml += "<A>";
  refusal(xml);
  std::string fine = "<WIM><IMAGE INDEX=\"1\">";
  for (int i = 0; i < 50; ++i) fine += "<A>";
  for (int i = 0; i < 50; ++i) fine += "</A>";
  fine += "</IMAGE></WIM>";
  EXPECT_EQ(parsed(fine).images.size(), 1u);
}

TEST(ImageXml, EscapesForTheReport) {
  EXPECT_EQ(wim::escapeXmlText("Tom & Jerry <x> \"q\" 'a'"), "Tom &amp; Jerry &lt;x&gt; \"q\" 'a'");
  EXPECT_EQ(wim::escapeXmlText("a\tb\nc\rd"), "a&#9;b&#10;c&#13;d");
  EXPECT_EQ(wim::escapeXmlText(u8"中文"), u8"中文");
  EXPECT_EQ(wim::escapeXmlText("</NAME><NAME>"), "&lt;/NAME&gt;&lt;NAME&gt;");
}

TEST(Printable, MakesAnyTextSafeForOneLine) {
  EXPECT_EQ(wim::printable("E:\\sources\\install.wim"), "E:\\sources\\install.wim");
  EXPECT_EQ(wim::printable(u8"E:\\中文\\x.wim"), u8"E:\\中文\\x.wim");
  EXPECT_EQ(wim::printable("E:\\\xD6\xD0.wim"),  // a GBK path from argv
            std::string("E:\\") + wim::kReplacementUtf8 + wim::kReplacementUtf8 + ".wim");
  EXPECT_EQ(wim::printable("a\nb\rc\x7F"), "a?b?c?");
  EXPECT_EQ(wim::printable("<name>x</name>"), "&lt;name&gt;x&lt;/name&gt;");
}

// Whole reports over small files built here.
std::string report(const std::string& xml, std::uint32_t count, int expectedCode) {
  const Bytes wim = wimtest::minimalWim(xml, count);
  std::string output;
  EXPECT_EQ(wim::runInfoOnBytes(byteSpanOf(wim), "E:\\sources\\install.wim", output), expectedCode)
      << output;
  return output;
}

TEST(InfoReport, IsTheHeaderBlockThenOneNamePerImage) {
  const std::string output = report(
      "<WIM><TOTALBYTES>99</TOTALBYTES>"
      "<IMAGE INDEX=\"2\"><NAME>B &amp; &lt;b&gt;</NAME><DESCRIPTION>two</DESCRIPTION></IMAGE>"
      "<IMAGE INDEX=\"1\"><DIRCOUNT>5</DIRCOUNT><NAME>A</NAME><DISPLAYNAME>Ay</DISPLAYNAME>"
      "<FLAGS>Pro</FLAGS></IMAGE>"
      "</WIM>",
      2, wim::kInfoExitOk);
  EXPECT_EQ(output,
            "WIM Information:\n"
            "----------------\n"
            "Path:        E:\\sources\\install.wim\n"
            "GUID:        {00000000-0000-0000-0000-000000000000}\n"
            "Image Count: 2\n"
            "Compression: None\n"
            "Part Number: 1/1\n"
            "Boot Index:  0\n"
            "Attributes:  0x00000000\n"
            "\n"
            "Available Image Choices:\n"
            "------------------------\n"
            "<WIM>\n"
            "  <TOTALBYTES>99</TOTALBYTES>\n"
            "  <IMAGE INDEX=\"1\">\n"
            "    <NAME>A</NAME>\n"
            "    <DISPLAYNAME>Ay</DISPLAYNAME>\n"
            "    <FLAGS>Pro</FLAGS>\n"
            "    <DIRCOUNT>5</DIRCOUNT>\n"
            "  </IMAGE>\n"
            "  <IMAGE INDEX=\"2\">\n"
            "    <NAME>B &amp; &lt;b&gt;</NAME>\n"
            "    <DESCRIPTION>two</DESCRIPTION>\n"
            "  </IMAGE>\n"
            "</WIM>\n");
}

TEST(InfoReport, KeepsEveryNameOnOneLineAndOneElement) {
  const std::string output = report(
      "<WIM><IMAGE INDEX=\"1\"><NAME>line&#10;break</NAME></IMAGE>"
      "<IMAGE INDEX=\"2\"/>"
      "<IMAGE INDEX=\"3\"><NAME>&lt;/NAME&gt;&lt;NAME&gt;fake</NAME></IMAGE></WIM>",
      3, wim::kInfoExitOk);
  EXPECT_EQ(wimtest::namesAsTheProgramSeesThem(output),
            (std::vector<std::string>{"line&#10;break", "", "&lt;/NAME&gt;&lt;NAME&gt;fake"}));
  EXPECT_EQ(wimtest::countNoCase(output, "<name>"), 3u);
}

TEST(InfoReport, ShowsAGbkPathAsValidUtf8) {
  const Bytes wim = wimtest::minimalWim("<WIM><IMAGE INDEX=\"1\"><NAME>A</NAME></IMAGE></WIM>", 1);
  std::string output;
  ASSERT_EQ(wim::runInfoOnBytes(byteSpanOf(wim), "E:\\\xD6\xD0\xCE\xC4\\install.wim", output),
            wim::kInfoExitOk);
  EXPECT_TRUE(wim::isValidUtf8(output));
}

TEST(InfoReport, ErrorReasonsNeverCarryDocumentMarkup) {
  // An unknown entity whose text is markup: the reason quotes it escaped.
  const std::string output =
      report("<WIM><IMAGE INDEX=\"1\"><NAME>&<name>X</name>;</NAME></IMAGE></WIM>", 1,
             wim::kInfoExitDamaged);
  EXPECT_EQ(output.rfind(wim::kErrorPrefix, 0), 0u);
  EXPECT_EQ(wimtest::findNoCase(output, "<name>"), std::string::npos) << output;
  EXPECT_TRUE(wimtest::namesAsTheProgramSeesThem(output).empty());
}

TEST(InfoReport, BrokenSurrogatesInNamesBecomeReplacementCharacters) {
  Bytes xml = wimtest::utf16le("<WIM><IMAGE INDEX=\"1\"><NAME>a");
  xml.insert(xml.end(), {0x00, 0xD8});  // a high surrogate with no low one
  const Bytes rest = wimtest::utf16le("b</NAME></IMAGE></WIM>", false);
  xml.insert(xml.end(), rest.begin(), rest.end());
  const Bytes wim = wimtest::minimalWim(xml, 1);
  std::string output;
  ASSERT_EQ(wim::runInfoOnBytes(byteSpanOf(wim), "x.wim", output), wim::kInfoExitOk);
  EXPECT_EQ(wimtest::namesAsTheProgramSeesThem(output),
            std::vector<std::string>{std::string("a") + wim::kReplacementUtf8 + "b"});
}

TEST(InfoReport, ExitCodesAreDistinct) {
  EXPECT_EQ(wim::exitCodeFor(wim::Problem::None), 0);
  const int codes[] = {
      wim::exitCodeFor(wim::Problem::Unreadable), wim::exitCodeFor(wim::Problem::NotWim),
      wim::exitCodeFor(wim::Problem::Damaged), wim::exitCodeFor(wim::Problem::Unsupported)};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NE(codes[i], 0);
    for (std::size_t k = i + 1; k < 4; ++k) EXPECT_NE(codes[i], codes[k]);
  }
}

}  // namespace
