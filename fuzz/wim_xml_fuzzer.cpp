// libFuzzer harness for the XML data on its own, which reaches the parser's
// corners far sooner than mutating whole files. Input that starts with the
// UTF-16LE byte-order mark goes through decodeXmlData, as the XML data of a
// file does; any other input is taken as UTF-8 text, so that seeds and
// dictionary entries can be plain text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wim/format/image_xml.h"
#include "wim/format/utf.h"
#include "wim/format/wim_info.h"

namespace {

void check(bool promise) {
  if (!promise) std::abort();
}

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text;
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    if (!wim::decodeXmlData(le::ByteSpan{data, size}, text).ok()) return 0;
    check(wim::isValidUtf8(text));
  } else {
    text.assign(reinterpret_cast<const char*>(data), size);
  }

  wim::ImageXml xml;
  const wim::Outcome outcome = wim::parseImageXml(text, xml);
  if (!outcome.ok()) {
    check(!outcome.reason.empty());
    check(wim::formatError(outcome).find("<") == std::string::npos);
    return 0;
  }
  for (std::size_t i = 0; i < xml.images.size(); ++i) {
    check(xml.images[i].index == i + 1);
    check(wim::isValidUtf8(xml.images[i].name));
  }

  wim::WimInfo info;
  info.header.imageCount = static_cast<std::uint32_t>(xml.images.size());
  info.header.partNumber = info.header.totalParts = 1;
  info.xml = xml;
  const std::string report = wim::formatInfo("x.wim", info);
  check(wim::isValidUtf8(report));
  check(count(report, "<NAME>") == xml.images.size());
  check(count(report, "</NAME>") == xml.images.size());
  // Each name comes back unchanged once the report's escaping is undone.
  std::size_t at = 0;
  for (const wim::ImageEntry& image : xml.images) {
    const std::size_t open = report.find("<NAME>", at) + 6;
    const std::size_t close = report.find("</NAME>", open);
    check(report.substr(open, close - open) == wim::escapeXmlText(image.name));
    check(report.substr(open, close - open).find('\n') == std::string::npos);
    at = close;
  }
  return 0;
}
