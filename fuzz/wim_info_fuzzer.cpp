// libFuzzer harness for the whole information query over a file in memory:
// header, resource checks, XML data decoding and parsing, and the report.
// Besides crashes and sanitizer findings it stops on a broken promise of the
// report: valid UTF-8, one NAME element per image, or one error line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wim/format/utf.h"
#include "wim/format/wim_info.h"

namespace {

std::size_t countNoCase(const std::string& text, const char* needle) {
  const std::string lowered = [&] {
    std::string copy = text;
    for (char& c : copy)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return copy;
  }();
  std::size_t count = 0;
  for (std::size_t at = lowered.find(needle); at != std::string::npos;
       at = lowered.find(needle, at + 1))
    ++count;
  return count;
}

void check(bool promise) {
  if (!promise) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const le::ByteSpan file{data, size};
  wim::WimInfo info;
  const wim::Outcome outcome = wim::readWimInfo(file, info);

  std::string output;
  const int code = wim::runInfoOnBytes(file, "E:\\sources\\install.wim", output);
  check(code == wim::exitCodeFor(outcome.problem));
  check(wim::isValidUtf8(output));
  check(output.find('\0') == std::string::npos);
  if (outcome.ok()) {
    check(code == wim::kInfoExitOk);
    check(info.xml.images.size() == info.header.imageCount);
    check(countNoCase(output, "<name>") == info.header.imageCount);
    check(countNoCase(output, "</name>") == info.header.imageCount);
  } else {
    check(code != wim::kInfoExitOk);
    check(output.rfind(wim::kErrorPrefix, 0) == 0);
    check(output.find('\n') == output.size() - 1);
    check(countNoCase(output, "<name>") == 0);
  }
  return 0;
}
