// The imaging tool's information query, "/INFO <image>": reads the WIM
// header and the XML data it points to, and prints an imagex-style report
// with one NAME element per image, in index order, as UTF-8 text.
//
// Only the header and the XML data are read, never the rest of the file: an
// install.wim of several gigabytes is answered by two small reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "wim/format/image_xml.h"
#include "bytes/little_endian.h"
#include "wim/format/outcome.h"
#include "wim/format/wim_header.h"

namespace wim {

// Exit codes of the query. They stay clear of the stand-ins' own codes 1 to 3.
inline constexpr int kInfoExitOk = 0;
inline constexpr int kInfoExitUnreadable = 4;  // the file could not be opened or read
inline constexpr int kInfoExitNotWim = 5;      // the file is no WIM file
inline constexpr int kInfoExitDamaged = 6;     // a WIM file that contradicts itself or its size
inline constexpr int kInfoExitUnsupported =
    7;  // a WIM file this reader cannot read (compressed XML...)

// Every error output starts with this.
inline constexpr char kErrorPrefix[] = "[ ERROR ] ";

// The XML data of a real image is tens of kilobytes; a size claim beyond this
// is damage, and refusing it keeps a broken header from costing memory.
inline constexpr std::uint64_t kMaxXmlDataSize = 64ull << 20;

struct WimInfo {
  Header header;
  ImageXml xml;
  std::string xmlText;  // the XML data as UTF-8, as the file holds it
};

// Reads `count` bytes at `offset` of the image file into `out` (resized to
// `count`); false when they cannot all be read.
using ReadAt =
    std::function<bool(std::uint64_t offset, std::size_t count, std::vector<std::uint8_t>& out)>;

// Reads the header and the XML data of a file of `fileSize` bytes through
// `readAt`, and checks them against each other: the header's image count must
// match the images that the XML data describes.
Outcome readWimInfo(std::uint64_t fileSize, const ReadAt& readAt, WimInfo& info);

// The same for a whole file held in memory.
Outcome readWimInfo(le::ByteSpan file, WimInfo& info);

// The same for a file on disk, opened with std::ifstream and the narrow path
// as given (on Windows that is the ANSI code page, as the tool's argv is).
Outcome readWimInfoFile(const std::string& path, WimInfo& info);

// The report of a successful query; every line ends in "\n".
std::string formatInfo(const std::string& imagePath, const WimInfo& info);

// The report of a failed query: one line, "[ ERROR ] " and the reason.
std::string formatError(const Outcome& outcome);

// kInfoExit* for a problem; kInfoExitOk for Problem::None.
int exitCodeFor(Problem problem);

// "/INFO <imagePath>": fills `output` with the report or the error line and
// returns the exit code.
int runInfoCommand(const std::string& imagePath, std::string& output);

// The same over a file held in memory, shown under `imagePath`.
int runInfoOnBytes(le::ByteSpan file, const std::string& imagePath, std::string& output);

// Text made safe for a report line: well-formed UTF-8 (a stray byte, as a
// GBK path has them, becomes U+FFFD), control characters as '?', and '<' and
// '>' (which Windows file names cannot hold) as &lt; and &gt;, so that no
// line but the NAME lines can pass for a NAME element.
std::string printable(const std::string& text);

}  // namespace wim
