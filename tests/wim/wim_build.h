// A small WIM writer for the apply's tests: uncompressed images built in
// memory from a tree described in the test, for what wimlib's tools never
// write (loops, impossible lengths, forbidden names, stream entries of every
// kind). It writes the layout that wimcapture's files show; the tests on
// real images keep it honest.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "wim/format/image_tree.h"
#include "wim/format/sha1.h"
#include "tests/wim/wim_test_support.h"

namespace wimtest {

inline constexpr std::uint32_t kNormalFile = 0x80;
inline constexpr std::uint32_t kFolder = 0x10;
inline constexpr std::uint32_t kReparse = 0x400;

struct BuildEntry {
  std::u16string name;
  std::uint32_t attributes = kNormalFile;
  Bytes data;  // the unnamed data stream of a file
  std::vector<BuildEntry> children;
  std::u16string shortName;
  std::uint64_t hardLinkGroup = 0;
  std::uint32_t reparseTag = 0;  // with kReparse; `data` is then the reparse data
  std::vector<std::pair<std::u16string, Bytes>> namedStreams;
  // Lists the unnamed data in an unnamed stream entry instead of the entry
  // itself, as happens beside named streams.
  bool dataInStreamEntry = false;
  // FILETIME values; a time in 2014 unless given.
  std::uint64_t creationTime = 0x01D0000000000000ull;
  std::uint64_t lastAccessTime = 0x01D0000000000000ull;
  std::uint64_t lastWriteTime = 0x01D0000000000000ull;
  std::int32_t securityId = -1;
};

inline BuildEntry fileEntry(const std::u16string& name, const std::string& content) {
  BuildEntry entry;
  entry.name = name;
  entry.data.assign(content.begin(), content.end());
  return entry;
}

inline BuildEntry folderEntry(const std::u16string& name, std::vector<BuildEntry> children = {}) {
  BuildEntry entry;
  entry.name = name;
  entry.attributes = kFolder;
  entry.children = std::move(children);
  return entry;
}

struct BuiltImage {
  Bytes metadata;
  // Where each entry's directory entry lies in `metadata`, by its path
  // (UTF-8, joined with '/'; "" for the root), and where each folder's list
  // starts.
  std::map<std::string, std::size_t> entryAt;
  std::map<std::string, std::size_t> listAt;
  std::vector<Bytes> blobs;  // every piece of data the image refers to
};

inline std::size_t align8(std::size_t value) { return (value + 7) & ~std::size_t{7}; }

inline wim::Sha1Digest digestOf(const Bytes& data) {
  return data.empty() ? wim::Sha1Digest{} : wim::sha1Of(data.data(), data.size());
}

inline void putBytes(Bytes& out, std::size_t at, const Bytes& bytes) {
  if (out.size() < at + bytes.size()) out.resize(at + bytes.size());
  std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

inline void putDigest(Bytes& out, std::size_t at, const wim::Sha1Digest& digest) {
  putBytes(out, at, Bytes(digest.begin(), digest.end()));
}

inline Bytes unitsOf(const std::u16string& text) {
  Bytes bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

inline std::string pathKey(const std::string& parent, const std::u16string& name) {
  const std::string utf8 = wim::utf8Of(name);
  return parent.empty() ? utf8 : parent + "/" + utf8;
}

inline void appendStreamEntry(Bytes& out, const std::u16string& name, const Bytes& data) {
  const Bytes nameBytes = unitsOf(name);
  const std::size_t length = align8(0x26 + nameBytes.size() + (name.empty() ? 0 : 2));
  const std::size_t at = out.size();
  out.resize(at + length, 0);
  putLittleEndian(out, at + 0x00, 8, length);
  putDigest(out, at + 0x10, digestOf(data));
  putLittleEndian(out, at + 0x24, 2, nameBytes.size());
  putBytes(out, at + 0x26, nameBytes);
}

// Appends one directory entry with its stream entries; returns its offset.
inline std::size_t appendEntry(BuiltImage& image, const BuildEntry& entry) {
  Bytes& out = image.metadata;
  const Bytes name = unitsOf(entry.name), shortName = unitsOf(entry.shortName);
  const std::size_t length = align8(0x66 + name.size() + (name.empty() ? 0 : 2) + shortName.size() +
                                    (shortName.empty() ? 0 : 2));
  const std::size_t at = out.size();
  out.resize(at + length, 0);
  putLittleEndian(out, at + 0x00, 8, length);
  putLittleEndian(out, at + 0x08, 4, entry.attributes);
  putLittleEndian(out, at + 0x0C, 4, static_cast<std::uint32_t>(entry.securityId));
  putLittleEndian(out, at + 0x28, 8, entry.creationTime);
  putLittleEndian(out, at + 0x30, 8, entry.lastAccessTime);
  putLittleEndian(out, at + 0x38, 8, entry.lastWriteTime);
  const bool reparse = (entry.attributes & kReparse) != 0;
  if (reparse) {
    putLittleEndian(out, at + 0x58, 4, entry.reparseTag);
  } else {
    putLittleEndian(out, at + 0x58, 8, entry.hardLinkGroup);
    if (!entry.dataInStreamEntry) putDigest(out, at + 0x40, digestOf(entry.data));
  }
  std::size_t streams = entry.namedStreams.size();
  if (reparse) streams += 2;  // the reparse data, then the (empty) unnamed data
  if (!reparse && entry.dataInStreamEntry) streams += 1;
  putLittleEndian(out, at + 0x60, 2, streams);
  putLittleEndian(out, at + 0x62, 2, shortName.size());
  putLittleEndian(out, at + 0x64, 2, name.size());
  putBytes(out, at + 0x66, name);
  putBytes(out, at + 0x66 + name.size() + (name.empty() ? 0 : 2), shortName);
  if (reparse) {
    appendStreamEntry(out, u"", entry.data);
    appendStreamEntry(out, u"", Bytes());
  } else if (entry.dataInStreamEntry) {
    appendStreamEntry(out, u"", entry.data);
  }
  for (const auto& stream : entry.namedStreams) {
    appendStreamEntry(out, stream.first, stream.second);
    if (!stream.second.empty()) image.blobs.push_back(stream.second);
  }
  if (!entry.data.empty()) image.blobs.push_back(entry.data);
  return at;
}

// Writes the list of a folder's entries, then the lists of its folders.
inline void appendList(BuiltImage& image, const BuildEntry& folder, const std::string& path,
                       std::size_t folderAt) {
  const std::size_t listAt = image.metadata.size();
  image.listAt[path] = listAt;
  putLittleEndian(image.metadata, folderAt + 0x10, 8, listAt);
  std::vector<std::pair<std::size_t, const BuildEntry*>> folders;
  for (const BuildEntry& child : folder.children) {
    const std::size_t at = appendEntry(image, child);
    image.entryAt[pathKey(path, child.name)] = at;
    if ((child.attributes & kFolder) && !(child.attributes & kReparse))
      folders.emplace_back(at, &child);
  }
  image.metadata.resize(image.metadata.size() + 8, 0);  // the end of the list
  for (const auto& sub : folders)
    appendList(image, *sub.second, pathKey(path, sub.second->name), sub.first);
}

// The metadata resource of an image whose root holds `children`, with these
// security descriptors.
inline BuiltImage buildImage(const std::vector<BuildEntry>& children,
                             const std::vector<Bytes>& descriptors) {
  BuiltImage image;
  std::size_t securityLength = 8 + 8 * descriptors.size();
  for (const Bytes& descriptor : descriptors) securityLength += descriptor.size();
  image.metadata.resize(align8(securityLength), 0);
  putLittleEndian(image.metadata, 0, 4, securityLength);
  putLittleEndian(image.metadata, 4, 4, descriptors.size());
  std::size_t at = 8 + 8 * descriptors.size();
  for (std::size_t i = 0; i < descriptors.size(); ++i) {
    putLittleEndian(image.metadata, 8 + 8 * i, 8, descriptors[i].size());
    putBytes(image.metadata, at, descriptors[i]);
    at += descriptors[i].size();
  }
  BuildEntry root = folderEntry(u"", children);
  const std::size_t rootAt = appendEntry(image, root);
  image.entryAt[""] = rootAt;
  image.metadata.resize(image.metadata.size() + 8, 0);
  appendList(image, root, "", rootAt);
  return image;
}

// The same with `descriptors` descriptors of 20 zero bytes each.
inline BuiltImage buildImage(const std::vector<BuildEntry>& children,
                             std::uint32_t descriptors = 0) {
  return buildImage(children, std::vector<Bytes>(descriptors, Bytes(20, 0)));
}

// A whole WIM file: the header, the data, the images' metadata, the lookup
// table and the XML data, in the order wimcapture writes them. Data used
// twice is stored once, as in a real file.
inline Bytes assembleWim(const std::vector<BuiltImage>& images) {
  Bytes wim(wim::kHeaderSize, 0);
  for (std::size_t i = 0; i < wim::kSignature.size(); ++i) wim[i] = wim::kSignature[i];
  putLittleEndian(wim, 0x08, 4, wim::kHeaderSize);
  putLittleEndian(wim, 0x0C, 4, wim::kVersionDefault);
  putLittleEndian(wim, 0x28, 2, 1);
  putLittleEndian(wim, 0x2A, 2, 1);
  putLittleEndian(wim, 0x2C, 4, images.size());

  Bytes table;
  auto addEntry = [&table](std::size_t offset, std::size_t size, std::uint8_t flags,
                           const wim::Sha1Digest& digest) {
    const std::size_t at = table.size();
    table.resize(at + 50, 0);
    putLittleEndian(table, at + 0x00, 7, size);
    putLittleEndian(table, at + 0x07, 1, flags);
    putLittleEndian(table, at + 0x08, 8, offset);
    putLittleEndian(table, at + 0x10, 8, size);
    putLittleEndian(table, at + 0x18, 2, 1);
    putLittleEndian(table, at + 0x1A, 4, 1);
    putDigest(table, at + 0x1E, digest);
  };
  std::map<wim::Sha1Digest, bool> stored;
  for (const BuiltImage& image : images)
    for (const Bytes& blob : image.blobs) {
      const wim::Sha1Digest digest = digestOf(blob);
      if (stored[digest]) continue;
      stored[digest] = true;
      addEntry(wim.size(), blob.size(), 0, digest);
      wim.insert(wim.end(), blob.begin(), blob.end());
    }
  for (const BuiltImage& image : images) {
    addEntry(wim.size(), image.metadata.size(), wim::kResourceMetadata, digestOf(image.metadata));
    wim.insert(wim.end(), image.metadata.begin(), image.metadata.end());
  }
  setResource(wim, kLookupTableAt, table.size(), wim::kResourceMetadata, wim.size(), table.size());
  wim.insert(wim.end(), table.begin(), table.end());

  std::string xml = "<WIM><TOTALBYTES>0</TOTALBYTES>";
  for (std::size_t i = 0; i < images.size(); ++i)
    xml += "<IMAGE INDEX=\"" + std::to_string(i + 1) + "\"><NAME>Built " + std::to_string(i + 1) +
           "</NAME></IMAGE>";
  xml += "</WIM>";
  const Bytes xmlData = utf16le(xml);
  setResource(wim, kXmlAt, xmlData.size(), wim::kResourceMetadata, wim.size(), xmlData.size());
  wim.insert(wim.end(), xmlData.begin(), xmlData.end());
  return wim;
}

inline Bytes assembleWim(const BuiltImage& image) {
  return assembleWim(std::vector<BuiltImage>{image});
}

}  // namespace wimtest
