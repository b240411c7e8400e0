// What the WIM reader's tests share: where the images made for this run lie,
// file helpers, a small in-memory WIM writer for cases that wimlib's tools
// cannot produce, and the way the program itself takes names out of the
// query's output.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "wim/format/utf.h"
#include "wim/format/wim_header.h"
#include "tests/wim/host_folder.h"

namespace wimtest {

using Bytes = std::vector<std::uint8_t>;

// The folder that make-wim-fixtures.sh filled. Under Wine the Unix path is
// reached through drive Z:.
inline std::string fixtureDir() { return hostFolder(WIM_FIXTURE_DIR); }

inline std::string fixturePath(const std::string& name) {
#ifdef _WIN32
  return fixtureDir() + "\\" + name;
#else
  return fixtureDir() + "/" + name;
#endif
}

// A file of the scratch folder, for damaged copies the tests write.
inline std::string scratchPath(const std::string& name) {
#ifdef _WIN32
  return fixturePath("scratch\\" + name);
#else
  return fixturePath("scratch/" + name);
#endif
}

inline le::ByteSpan byteSpanOf(const Bytes& bytes) {
  return le::ByteSpan{bytes.data(), bytes.size()};
}

inline bool readFile(const std::string& path, Bytes& bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

inline std::string readText(const std::string& path) {
  Bytes bytes;
  if (!readFile(path, bytes)) return "";
  return std::string(bytes.begin(), bytes.end());
}

inline bool writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

inline void putLittleEndian(Bytes& bytes, std::size_t offset, std::size_t width,
                            std::uint64_t value) {
  if (bytes.size() < offset + width) bytes.resize(offset + width);
  for (std::size_t i = 0; i < width; ++i)
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint64_t getLittleEndian(const Bytes& bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width && offset + i < bytes.size(); ++i)
    value |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
  return value;
}

// Resource header fields, by the offset of the resource header in the file.
inline constexpr std::size_t kLookupTableAt = 0x30;
inline constexpr std::size_t kXmlAt = 0x48;
inline constexpr std::size_t kBootMetadataAt = 0x60;
inline constexpr std::size_t kIntegrityAt = 0x7C;

inline void setResource(Bytes& wim, std::size_t at, std::uint64_t storedSize, std::uint8_t flags,
                        std::uint64_t offset, std::uint64_t originalSize) {
  putLittleEndian(wim, at + 0x00, 7, storedSize);
  putLittleEndian(wim, at + 0x07, 1, flags);
  putLittleEndian(wim, at + 0x08, 8, offset);
  putLittleEndian(wim, at + 0x10, 8, originalSize);
}

// UTF-8 test text to UTF-16LE code units, with or without the byte-order mark.
inline Bytes utf16le(const std::string& utf8, bool withBom = true) {
  Bytes out;
  if (withBom) out = {0xFF, 0xFE};
  std::size_t position = 0;
  while (position < utf8.size()) {
    std::uint32_t c = 0;
    std::size_t length = wim::decodeUtf8(utf8, position, c);
    if (length == 0) {
      c = 0xFFFD;
      length = 1;
    }
    position += length;
    auto unit = [&out](std::uint32_t u) {
      out.push_back(static_cast<std::uint8_t>(u & 0xFF));
      out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

// A minimal uncompressed WIM: the header, then the XML data right after it.
// Real images come from wimlib's tools; this one serves the XML cases those
// tools would never write.
inline Bytes minimalWim(const Bytes& xmlData, std::uint32_t imageCount) {
  Bytes wim(wim::kHeaderSize, 0);
  for (std::size_t i = 0; i < wim::kSignature.size(); ++i) wim[i] = wim::kSignature[i];
  putLittleEndian(wim, 0x08, 4, wim::kHeaderSize);
  putLittleEndian(wim, 0x0C, 4, wim::kVersionDefault);
  putLittleEndian(wim, 0x28, 2, 1);
  putLittleEndian(wim, 0x2A, 2, 1);
  putLittleEndian(wim, 0x2C, 4, imageCount);
  setResource(wim, kXmlAt, xmlData.size(), wim::kResourceMetadata, wim::kHeaderSize,
              xmlData.size());
  wim.insert(wim.end(), xmlData.begin(), xmlData.end());
  return wim;
}

inline Bytes minimalWim(const std::string& xmlUtf8, std::uint32_t imageCount) {
  return minimalWim(utf16le(xmlUtf8), imageCount);
}

inline char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Finds `needle` in `text` from `from` on, ignoring ASCII letter case.
inline std::size_t findNoCase(const std::string& text, const std::string& needle,
                              std::size_t from = 0) {
  if (needle.size() > text.size()) return std::string::npos;
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() && lowerAscii(text[i + k]) == lowerAscii(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string::npos;
}

inline std::size_t countNoCase(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = findNoCase(text, needle); at != std::string::npos;
       at = findNoCase(text, needle, at + needle.size()))
    ++count;
  return count;
}

// The program's way of listing editions: every piece between "<name>" and the
// next "</name>", ignoring letter case, in order, never across a line end.
inline std::vector<std::string> namesAsTheProgramSeesThem(const std::string& output) {
  std::vector<std::string> names;
  std::size_t at = 0;
  for (;;) {
    const std::size_t open = findNoCase(output, "<name>", at);
    if (open == std::string::npos) break;
    const std::size_t start = open + 6;
    const std::size_t close = findNoCase(output, "</name>", start);
    if (close == std::string::npos) break;
    const std::string piece = output.substr(start, close - start);
    if (piece.find('\n') != std::string::npos) {
      at = start;  // no match from this marker; the search goes on after it
      continue;
    }
    names.push_back(piece);
    at = close + 7;
  }
  return names;
}

}  // namespace wimtest
