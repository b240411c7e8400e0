#include "wim/format/image_tree.h"

#include <algorithm>
#include <set>
#include <unordered_set>
#include <utility>

#include "wim/format/utf.h"

namespace wim {

namespace {

// Rounds up to a multiple of 8, or reports that the result would not fit.
bool alignUp8(std::uint64_t value, std::uint64_t& aligned) {
  if (value > UINT64_MAX - 7) return false;
  aligned = (value + 7) & ~std::uint64_t{7};
  return true;
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

char16_t upperAscii(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 32) : unit;
}

// Windows treats these as devices in every folder: a file named so would
// write to the device instead.
bool isDeviceName(const std::u16string& name) {
  std::u16string base;
  for (char16_t unit : name) {
    if (unit == u'.') break;
    base += upperAscii(unit);
  }
  while (!base.empty() && base.back() == u' ') base.pop_back();
  static const char16_t* const plain[] = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
  for (const char16_t* device : plain)
    if (base == device) return true;
  if (base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0))
    return base[3] >= u'1' && base[3] <= u'9';
  return false;
}

// Reads `byteLength` bytes of UTF-16LE at `offset` as code units.
bool readUtf16(le::ByteSpan bytes, std::size_t offset, std::size_t byteLength,
               std::u16string& text) {
  if (byteLength % 2 != 0 || !le::holds(bytes, offset, byteLength)) return false;
  std::u16string read;
  read.reserve(byteLength / 2);
  for (std::size_t i = 0; i < byteLength; i += 2) {
    std::uint16_t unit = 0;
    le::readU16(bytes, offset + i, unit);
    read += static_cast<char16_t>(unit);
  }
  text = std::move(read);
  return true;
}

Sha1Digest readDigest(le::ByteSpan bytes, std::size_t offset) {
  Sha1Digest digest{};
  if (le::holds(bytes, offset, kSha1Size))
    std::copy(bytes.data + offset, bytes.data + offset + kSha1Size, digest.begin());
  return digest;
}

struct Walk {
  le::ByteSpan metadata;
  std::size_t treeStart = 0;  // where the root's entry lies
  ImageTree tree;
  std::unordered_set<std::uint64_t> seen;  // entry offsets met so far

  Outcome damaged(const std::string& reason) const { return failure(Problem::Damaged, reason); }
  std::string where(std::uint64_t offset) const {
    return "the directory entry at offset " + decimal(offset) + " of the image's metadata";
  }
};

// Reads the stream entries that follow an entry, from `offset`; sets `next`
// to where the entry's next sibling starts.
Outcome readStreams(Walk& walk, std::uint64_t offset, std::uint16_t count, TreeEntry& entry,
                    std::uint64_t& next) {
  const le::ByteSpan bytes = walk.metadata;
  bool reparseDataTaken = !isZeroDigest(entry.reparseData) || !entry.isReparsePoint();
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint64_t length = 0;
    if (offset > bytes.size || !le::readU64(bytes, static_cast<std::size_t>(offset), length))
      return walk.damaged(walk.where(entry.offset) + " has stream entries that run past the end");
    const std::size_t at = static_cast<std::size_t>(offset);
    if (length < kStreamEntryFixedSize || length > bytes.size - at)
      return walk.damaged(walk.where(entry.offset) + " has a stream entry with the impossible " +
                          "length " + decimal(length));
    std::uint16_t nameBytes = 0;
    le::readU16(bytes, at + 0x24, nameBytes);
    const std::uint64_t needed =
        kStreamEntryFixedSize + std::uint64_t{nameBytes} + (nameBytes != 0 ? 2 : 0);
    NamedStream stream;
    stream.hash = readDigest(bytes, at + 0x10);
    if (needed > length || !readUtf16(bytes, at + kStreamEntryFixedSize, nameBytes, stream.name))
      return walk.damaged(walk.where(entry.offset) + " has a stream name that does not fit");
    if (!stream.name.empty()) {
      entry.namedStreams.push_back(std::move(stream));
    } else if (!reparseDataTaken) {
      entry.reparseData = stream.hash;
      reparseDataTaken = true;
    } else if (!isZeroDigest(stream.hash)) {
      if (!isZeroDigest(entry.data) && entry.data != stream.hash)
        return walk.damaged(walk.where(entry.offset) + " has two different unnamed data streams");
      entry.data = stream.hash;
    }
    std::uint64_t step = 0;
    if (!alignUp8(length, step) || step > UINT64_MAX - offset)
      return walk.damaged(walk.where(entry.offset) + " has a stream entry of absurd length");
    offset += step;
  }
  next = offset;
  return success();
}

// Reads the entry at `offset`. `next` becomes the offset of its next sibling;
// `isEnd` tells that the offset held the end of a list instead.
Outcome readEntry(Walk& walk, std::uint64_t offset, TreeEntry& entry, std::uint64_t& next,
                  bool& isEnd) {
  const le::ByteSpan bytes = walk.metadata;
  std::uint64_t length = 0;
  if (offset > bytes.size || !le::readU64(bytes, static_cast<std::size_t>(offset), length))
    return walk.damaged(
        "a folder's list of entries in the image's metadata runs past its end "
        "(at offset " +
        decimal(offset) + ")");
  isEnd = length <= 8;
  if (isEnd) return success();
  const std::size_t at = static_cast<std::size_t>(offset);
  if (length < kDentryFixedSize || length > bytes.size - at)
    return walk.damaged(walk.where(offset) + " gives the impossible length " + decimal(length));
  if (!walk.seen.insert(offset).second)
    return walk.damaged(walk.where(offset) + " is reached twice: the folders form a loop");

  TreeEntry read;
  read.offset = offset;
  std::uint32_t securityId = 0;
  std::uint16_t streamCount = 0, shortBytes = 0, nameBytes = 0;
  le::readU32(bytes, at + 0x08, read.attributes);
  le::readU32(bytes, at + 0x0C, securityId);
  read.securityId = static_cast<std::int32_t>(securityId);
  le::readU64(bytes, at + 0x28, read.creationTime);
  le::readU64(bytes, at + 0x30, read.lastAccessTime);
  le::readU64(bytes, at + 0x38, read.lastWriteTime);
  const Sha1Digest mainHash = readDigest(bytes, at + 0x40);
  if (read.isReparsePoint()) {
    le::readU32(bytes, at + 0x58, read.reparseTag);
    read.reparseData = mainHash;
  } else {
    le::readU64(bytes, at + 0x58, read.hardLinkGroup);
    read.data = mainHash;
  }
  le::readU16(bytes, at + 0x60, streamCount);
  le::readU16(bytes, at + 0x62, shortBytes);
  le::readU16(bytes, at + 0x64, nameBytes);

  const std::uint64_t nameEnd = kDentryFixedSize + std::uint64_t{nameBytes} + (nameBytes ? 2 : 0);
  const std::uint64_t shortEnd = nameEnd + shortBytes + (shortBytes ? 2 : 0);
  if (shortEnd > length || !readUtf16(bytes, at + kDentryFixedSize, nameBytes, read.name) ||
      !readUtf16(bytes, at + static_cast<std::size_t>(nameEnd), shortBytes, read.shortName))
    return walk.damaged(walk.where(offset) + " has names that do not fit in its " +
                        decimal(length) + " bytes");

  std::uint64_t streamsAt = 0;
  if (!alignUp8(length, streamsAt) || streamsAt > UINT64_MAX - offset)
    return walk.damaged(walk.where(offset) + " has an absurd length");
  Outcome streams = readStreams(walk, offset + streamsAt, streamCount, read, next);
  if (!streams.ok()) return streams;
  entry = std::move(read);
  return success();
}

std::u16string foldedName(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& unit : folded) unit = upperAscii(unit);
  return folded;
}

// Reads the list of a folder's entries and appends them to the tree.
Outcome readFolder(Walk& walk, std::size_t folder, std::vector<std::size_t>& folders) {
  // Copied, not referred to: the entries grow below.
  const std::uint64_t ownerAt = walk.tree.entries[folder].offset;
  const std::size_t depth = walk.tree.entries[folder].depth + 1;
  std::uint64_t offset = 0;
  le::readU64(walk.metadata, static_cast<std::size_t>(ownerAt) + 0x10, offset);
  if (offset == 0) return success();
  if (offset < walk.treeStart || offset >= walk.metadata.size)
    return walk.damaged("the folder \"" + entryPath(walk.tree, folder) +
                        "\" points to its entries at offset " + decimal(offset) +
                        ", outside the directory tree");
  std::set<std::u16string> names;
  for (;;) {
    TreeEntry entry;
    std::uint64_t next = 0;
    bool isEnd = false;
    Outcome read = readEntry(walk, offset, entry, next, isEnd);
    if (!read.ok()) return read;
    if (isEnd) break;
    if (depth > kMaxTreeDepth)
      return walk.damaged("the folders of the image nest deeper than " + decimal(kMaxTreeDepth) +
                          " levels");
    const std::string problem = checkEntryName(entry.name);
    if (!problem.empty())
      return walk.damaged("the folder \"" + entryPath(walk.tree, folder) +
                          "\" holds an entry whose name " + problem);
    if (!names.insert(foldedName(entry.name)).second)
      return walk.damaged("the folder \"" + entryPath(walk.tree, folder) +
                          "\" holds two entries named \"" + utf8Of(entry.name) + "\"");
    entry.parent = folder;
    entry.depth = depth;
    const bool isFolder = entry.isDirectory() && !entry.isReparsePoint();
    walk.tree.entries.push_back(std::move(entry));
    if (isFolder) folders.push_back(walk.tree.entries.size() - 1);
    offset = next;
  }
  return success();
}

}  // namespace

std::string utf8Of(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      appendUtf8(0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                     (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00),
                 out);
      ++i;
    } else {
      appendUtf8(unit, out);  // a lone surrogate comes out as U+FFFD
    }
  }
  return out;
}

std::string checkEntryName(const std::u16string& name) {
  if (name.empty()) return "is empty";
  if (name == u"." || name == u"..")
    return "is \"" + utf8Of(name) + "\", which names the folder itself or the one above it";
  if (name.size() > kMaxNameUnits)
    return "is " + decimal(name.size()) + " characters long, more than Windows allows";
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit == u'/' || unit == u'\\') return "\"" + utf8Of(name) + "\" holds a path separator";
    if (unit == u':')
      return "\"" + utf8Of(name) + "\" holds a colon, which would name a stream or a drive";
    if (unit < 0x20 || unit == u'*' || unit == u'?' || unit == u'"' || unit == u'<' ||
        unit == u'>' || unit == u'|')
      return "\"" + utf8Of(name) + "\" holds a character that Windows forbids in names";
    if (isHighSurrogate(unit) && i + 1 < name.size() && isLowSurrogate(name[i + 1])) {
      ++i;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      return "\"" + utf8Of(name) + "\" is not well-formed UTF-16";
    }
  }
  if (name.back() == u'.' || name.back() == u' ')
    return "\"" + utf8Of(name) + "\" ends in a dot or a space, which Windows drops";
  if (isDeviceName(name)) return "\"" + utf8Of(name) + "\" is a Windows device name";
  return "";
}

std::string entryPath(const ImageTree& tree, std::size_t index) {
  if (index >= tree.entries.size() || index == 0) return "\\";
  std::vector<std::size_t> chain;
  // Bounded by the depth: parents always come first, so this cannot loop.
  for (std::size_t at = index; at != 0 && chain.size() <= kMaxTreeDepth;
       at = tree.entries[at].parent)
    chain.push_back(at);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += utf8Of(tree.entries[*it].name);
  }
  return path;
}

Outcome parseImageMetadata(le::ByteSpan metadata, ImageTree& tree) {
  std::uint32_t securityLength = 0, descriptors = 0;
  if (!le::readU32(metadata, 0x00, securityLength) || !le::readU32(metadata, 0x04, descriptors))
    return failure(Problem::Damaged, "the image's metadata is too short to hold its security data");
  if (securityLength < kSecurityHeaderSize || securityLength > metadata.size ||
      descriptors > (securityLength - kSecurityHeaderSize) / 8)
    return failure(Problem::Damaged, "the image's security data gives the impossible length " +
                                         decimal(securityLength) + " for " + decimal(descriptors) +
                                         " descriptors");
  Walk walk;
  std::uint64_t described = kSecurityHeaderSize + 8ull * descriptors;
  walk.tree.descriptors.reserve(descriptors);
  for (std::uint32_t i = 0; i < descriptors; ++i) {
    std::uint64_t size = 0;
    le::readU64(metadata, kSecurityHeaderSize + 8ull * i, size);
    if (size > securityLength - described)
      return failure(Problem::Damaged, "the image's security descriptors do not fit in the " +
                                           decimal(securityLength) + " bytes of security data");
    const std::uint8_t* start = metadata.data + described;
    walk.tree.descriptors.emplace_back(start, start + size);
    described += size;
  }

  walk.metadata = metadata;
  walk.treeStart = (static_cast<std::size_t>(securityLength) + 7) & ~std::size_t{7};
  walk.tree.securityDescriptors = descriptors;

  TreeEntry root;
  std::uint64_t next = 0;
  bool isEnd = false;
  Outcome read = readEntry(walk, walk.treeStart, root, next, isEnd);
  if (!read.ok()) return read;
  if (isEnd) return failure(Problem::Damaged, "the image's metadata holds no root folder");
  if (!root.isDirectory() || root.isReparsePoint())
    return failure(Problem::Damaged, "the root of the image is not a plain folder");
  root.name.clear();  // the root is the target itself, whatever it was called
  walk.tree.entries.push_back(std::move(root));

  std::vector<std::size_t> folders = {0};
  while (!folders.empty()) {
    const std::size_t folder = folders.back();
    folders.pop_back();
    Outcome listed = readFolder(walk, folder, folders);
    if (!listed.ok()) return listed;
  }
  tree = std::move(walk.tree);
  return success();
}

}  // namespace wim
