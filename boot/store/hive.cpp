#include "boot/store/hive.h"

#include <algorithm>
#include <utility>

namespace boot {

namespace {

// Base block (the first 4096 bytes of the file):
//   +0x000 "regf"
//   +0x004 u32 primary sequence number
//   +0x008 u32 secondary sequence number (equal to the primary: clean)
//   +0x00C u64 last written (FILETIME)
//   +0x014 u32 major version (1)
//   +0x018 u32 minor version (3)
//   +0x01C u32 file type (0 primary)
//   +0x020 u32 file format (1 direct memory load)
//   +0x024 u32 root key cell offset
//   +0x028 u32 size of all bins
//   +0x02C u32 clustering factor (1)
//   +0x030 64 bytes file name (UTF-16LE, optional)
//   +0x1FC u32 checksum: XOR of the 127 u32 before it
constexpr std::size_t kBaseBlockSize = 0x1000;
constexpr std::size_t kChecksumOffset = 0x1FC;
constexpr std::uint32_t kMajorVersion = 1;
constexpr std::uint32_t kMinorVersion = 3;

// Bin header (the bins follow the base block; cell offsets count from the
// first bin):
//   +0x00 "hbin"
//   +0x04 u32 offset of this bin
//   +0x08 u32 size of this bin (a multiple of 4096)
//   +0x0C 8 bytes reserved
//   +0x14 u64 timestamp (FILETIME, first bin only)
//   +0x1C u32 spare
// Cells tile the rest: +0 i32 size (negative: in use), 8-byte aligned.
constexpr std::size_t kBinUnit = 0x1000;
constexpr std::size_t kBinHeaderSize = 0x20;
constexpr std::uint32_t kNoCell = 0xFFFFFFFF;

// Key node (nk), after the cell size:
//   +0x00 "nk"
//   +0x02 u16 flags
//   +0x04 u64 last written (FILETIME)
//   +0x0C u32 access bits
//   +0x10 u32 parent key offset
//   +0x14 u32 subkey count
//   +0x18 u32 volatile subkey count
//   +0x1C u32 subkey list offset
//   +0x20 u32 volatile subkey list offset
//   +0x24 u32 value count
//   +0x28 u32 value list offset
//   +0x2C u32 security cell offset
//   +0x30 u32 class name offset
//   +0x34 u32 longest subkey name (bytes as UTF-16)
//   +0x38 u32 longest subkey class name
//   +0x3C u32 longest value name (bytes as UTF-16)
//   +0x40 u32 largest value data
//   +0x44 u32 work variable
//   +0x48 u16 name length in bytes
//   +0x4A u16 class name length
//   +0x4C name
constexpr std::size_t kNkHeaderSize = 0x4C;
constexpr std::uint16_t kKeyHiveEntry = 0x0004;
constexpr std::uint16_t kKeyNoDelete = 0x0008;
constexpr std::uint16_t kKeyCompressedName = 0x0020;

// Value (vk):
//   +0x00 "vk"
//   +0x02 u16 name length in bytes
//   +0x04 u32 data size; high bit: the data sits in the next field
//   +0x08 u32 data cell offset, or up to 4 bytes of data
//   +0x0C u32 type
//   +0x10 u16 flags (1: name in Latin-1)
//   +0x12 u16 spare
//   +0x14 name
constexpr std::size_t kVkHeaderSize = 0x14;
constexpr std::uint32_t kDataInline = 0x80000000;
constexpr std::uint16_t kValueCompressedName = 0x0001;

// Subkey lists: +0x00 "lf"/"lh"/"li"/"ri", +0x02 u16 count, +0x04 entries:
// lf/lh (u32 key offset, u32 hint or name hash), li (u32 key offset), ri (u32
// offset of an lf/lh/li list).
// Security (sk):
//   +0x00 "sk"
//   +0x02 u16 reserved
//   +0x04 u32 next sk (circular list)
//   +0x08 u32 previous sk
//   +0x0C u32 reference count (keys that use it)
//   +0x10 u32 descriptor size
//   +0x14 self-relative security descriptor
constexpr std::size_t kSkHeaderSize = 0x14;

// Deepest key path the registry accepts.
constexpr int kMaxDepth = 512;
constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxValueNameChars = 16383;

bool put16(le::Bytes& b, std::size_t at, std::uint32_t v) { return le::put(b, at, 2, v); }
bool put32(le::Bytes& b, std::size_t at, std::uint32_t v) { return le::put(b, at, 4, v); }
void putTag(le::Bytes& b, std::size_t at, const char* tag) {
  for (std::size_t i = 0; tag[i] != 0; ++i) b[at + i] = static_cast<std::uint8_t>(tag[i]);
}

// Latin-1 names are stored a byte a character, others as UTF-16LE.
bool fitsLatin1(const std::u16string& name) {
  return std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= 0xFF; });
}
std::size_t storedNameBytes(const std::u16string& name) {
  return fitsLatin1(name) ? name.size() : name.size() * 2;
}
void putName(le::Bytes& b, std::size_t at, const std::u16string& name) {
  const bool latin1 = fitsLatin1(name);
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (latin1) {
      b[at + i] = static_cast<std::uint8_t>(name[i]);
    } else {
      put16(b, at + 2 * i, name[i]);
    }
  }
}

// The lh hash: name units folded to upper case, multiplied in by 37.
std::uint32_t nameHash(const std::u16string& name) {
  std::uint32_t hash = 0;
  for (char16_t c : name) hash = hash * 37 + upcase(c);
  return hash;
}

bool lessByUpcase(const std::u16string& a, const std::u16string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = upcase(a[i]), y = upcase(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// A security descriptor shared by every key: owner Administrators, group
// SYSTEM, full control for SYSTEM and Administrators, inherited by subkeys.
le::Bytes keySecurity() {
  const std::uint8_t system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
  const std::uint8_t admins[] = {1,  2, 0, 0, 0,    0,    0, 5,
                                 32, 0, 0, 0, 0x20, 0x02, 0, 0};  // S-1-5-32-544
  constexpr std::uint32_t kKeyAllAccess = 0xF003F;
  constexpr std::uint8_t kContainerInherit = 0x02;
  le::Bytes acl(8);
  auto addAce = [&](const std::uint8_t* sid, std::size_t sidSize) {
    // ACE: +0 type (0 allowed), +1 flags, +2 u16 size, +4 u32 mask, +8 SID.
    const std::size_t at = acl.size();
    acl.resize(at + 8 + sidSize);
    acl[at] = 0;
    acl[at + 1] = kContainerInherit;
    put16(acl, at + 2, static_cast<std::uint32_t>(8 + sidSize));
    put32(acl, at + 4, kKeyAllAccess);
    std::copy(sid, sid + sidSize, acl.begin() + static_cast<std::ptrdiff_t>(at + 8));
  };
  addAce(system, sizeof system);
  addAce(admins, sizeof admins);
  // ACL header: +0 revision 2, +1 pad, +2 u16 size, +4 u16 ACE count, +6 pad.
  acl[0] = 2;
  put16(acl, 2, static_cast<std::uint32_t>(acl.size()));
  put16(acl, 4, 2);

  // Descriptor: +0 revision 1, +1 pad, +2 u16 control (self-relative, DACL
  // present), +4 owner, +8 group, +0xC SACL (none), +0x10 DACL offsets.
  constexpr std::size_t kHeader = 20;
  le::Bytes sd(kHeader);
  sd[0] = 1;
  put16(sd, 2, 0x8004);
  put32(sd, 4, kHeader);
  sd.insert(sd.end(), admins, admins + sizeof admins);
  put32(sd, 8, static_cast<std::uint32_t>(sd.size()));
  sd.insert(sd.end(), system, system + sizeof system);
  put32(sd, 0x10, static_cast<std::uint32_t>(sd.size()));
  sd.insert(sd.end(), acl.begin(), acl.end());
  return sd;
}

// Cells laid into bins one after the other. A cell that does not fit the
// rest of a bin starts a new one; the rest becomes a free cell.
struct BinWriter {
  le::Bytes bins;
  std::size_t binStart = 0;
  std::size_t binEnd = 0;
  std::uint64_t fileTime = 0;

  void closeBin() {
    if (binEnd > binStart && binEnd > cursor)
      put32(bins, cursor, static_cast<std::uint32_t>(binEnd - cursor));
  }
  // A used cell with room for `payload` bytes; its offset.
  std::uint32_t allocate(std::size_t payload) {
    const std::size_t total = (4 + payload + 7) / 8 * 8;
    if (bins.empty() || total > binEnd - cursor) {
      closeBin();
      binStart = bins.size();
      const std::size_t size = (kBinHeaderSize + total + kBinUnit - 1) / kBinUnit * kBinUnit;
      binEnd = binStart + size;
      bins.resize(binEnd);
      putTag(bins, binStart, "hbin");
      put32(bins, binStart + 4, static_cast<std::uint32_t>(binStart));
      put32(bins, binStart + 8, static_cast<std::uint32_t>(size));
      if (binStart == 0) le::put(bins, binStart + 0x14, 8, fileTime);
      cursor = binStart + kBinHeaderSize;
    }
    const std::size_t at = cursor;
    put32(bins, at, static_cast<std::uint32_t>(-static_cast<std::int64_t>(total)));
    cursor += total;
    return static_cast<std::uint32_t>(at);
  }

 private:
  std::size_t cursor = 0;
};

// Where each cell of one key goes; filled in before anything is written,
// since cells point at each other both ways.
struct KeyLayout {
  const Key* key = nullptr;
  std::uint32_t nk = kNoCell;
  std::uint32_t parent = kNoCell;
  std::uint32_t valueList = kNoCell;
  std::vector<std::uint32_t> vk;
  std::vector<std::uint32_t> data;     // kNoCell: stored in the vk
  std::uint32_t subkeyList = kNoCell;  // the ri index or the one lh list
  std::vector<std::uint32_t> lists;
  std::vector<KeyLayout> children;  // in the order of the lists
};

// A name that occurs twice (in any case), or null; sorts `names`.
const std::u16string* nameTwice(std::vector<std::u16string>& names) {
  std::sort(names.begin(), names.end(), lessByUpcase);
  for (std::size_t i = 1; i < names.size(); ++i)
    if (sameName(names[i - 1], names[i])) return &names[i];
  return nullptr;
}

bool checkTree(const Key& key, int depth, bool isRoot, std::size_t& keyCount, std::string& reason) {
  const std::string name = "key \"" + narrow(key.name) + "\"";
  if (depth > kMaxDepth) return reason = "the key tree is deeper than a hive allows", false;
  if (key.name.empty() && !isRoot) return reason = "a key has no name", false;
  if (key.name.size() > kMaxKeyNameChars) return reason = name + " has too long a name", false;
  if (key.name.find(u'\\') != std::u16string::npos)
    return reason = name + " has a backslash in its name", false;
  ++keyCount;
  std::vector<std::u16string> names;
  for (const Value& v : key.values) {
    const std::string valueName = "value \"" + narrow(v.name) + "\" of " + name;
    if (v.name.size() > kMaxValueNameChars)
      return reason = valueName + " has too long a name", false;
    if (v.data.size() > kMaxCellData)
      return reason = valueName + " holds more data than a data cell carries", false;
    names.push_back(v.name);
  }
  if (const std::u16string* twice = nameTwice(names))
    return reason = "value \"" + narrow(*twice) + "\" of " + name + " is there twice", false;
  names.clear();
  for (const Key& k : key.subkeys) names.push_back(k.name);
  if (const std::u16string* twice = nameTwice(names))
    return reason = "subkey \"" + narrow(*twice) + "\" of " + name + " is there twice", false;
  for (const Key& k : key.subkeys)
    if (!checkTree(k, depth + 1, false, keyCount, reason)) return false;
  return true;
}

void planKey(const Key& key, std::uint32_t parent, BinWriter& out, KeyLayout& layout) {
  layout.key = &key;
  layout.parent = parent;
  layout.nk = out.allocate(kNkHeaderSize + storedNameBytes(key.name));
  if (!key.values.empty()) layout.valueList = out.allocate(4 * key.values.size());
  for (const Value& v : key.values) {
    layout.vk.push_back(out.allocate(kVkHeaderSize + storedNameBytes(v.name)));
    layout.data.push_back(v.data.size() > 4 ? out.allocate(v.data.size()) : kNoCell);
  }
  const std::size_t count = key.subkeys.size();
  if (count > 0) {
    const std::size_t listCount = (count + kMaxListEntries - 1) / kMaxListEntries;
    if (listCount > 1) layout.subkeyList = out.allocate(4 + 4 * listCount);
    for (std::size_t i = 0; i < listCount; ++i) {
      const std::size_t entries = std::min(kMaxListEntries, count - i * kMaxListEntries);
      layout.lists.push_back(out.allocate(4 + 8 * entries));
    }
    if (listCount == 1) layout.subkeyList = layout.lists[0];
  }
  std::vector<const Key*> sorted;
  for (const Key& k : key.subkeys) sorted.push_back(&k);
  std::sort(sorted.begin(), sorted.end(),
            [](const Key* a, const Key* b) { return lessByUpcase(a->name, b->name); });
  layout.children.resize(count);
  for (std::size_t i = 0; i < count; ++i) planKey(*sorted[i], layout.nk, out, layout.children[i]);
}

void writeKey(const KeyLayout& layout, std::uint32_t security, bool isRoot, BinWriter& out) {
  le::Bytes& b = out.bins;
  const Key& key = *layout.key;
  std::uint32_t maxSubkeyName = 0, maxValueName = 0, maxData = 0;
  for (const Key& k : key.subkeys)
    maxSubkeyName =
        std::max<std::uint32_t>(maxSubkeyName, 2 * static_cast<std::uint32_t>(k.name.size()));
  for (const Value& v : key.values) {
    maxValueName =
        std::max<std::uint32_t>(maxValueName, 2 * static_cast<std::uint32_t>(v.name.size()));
    maxData = std::max<std::uint32_t>(maxData, static_cast<std::uint32_t>(v.data.size()));
  }

  const std::size_t nk = layout.nk + 4;
  putTag(b, nk, "nk");
  std::uint16_t flags = fitsLatin1(key.name) ? kKeyCompressedName : 0;
  if (isRoot) flags |= kKeyHiveEntry | kKeyNoDelete;
  put16(b, nk + 0x02, flags);
  le::put(b, nk + 0x04, 8, out.fileTime);
  put32(b, nk + 0x10, layout.parent);
  put32(b, nk + 0x14, static_cast<std::uint32_t>(key.subkeys.size()));
  put32(b, nk + 0x1C, layout.subkeyList);
  put32(b, nk + 0x20, kNoCell);
  put32(b, nk + 0x24, static_cast<std::uint32_t>(key.values.size()));
  put32(b, nk + 0x28, layout.valueList);
  put32(b, nk + 0x2C, security);
  put32(b, nk + 0x30, kNoCell);
  put32(b, nk + 0x34, maxSubkeyName);
  put32(b, nk + 0x3C, maxValueName);
  put32(b, nk + 0x40, maxData);
  put16(b, nk + 0x48, static_cast<std::uint32_t>(storedNameBytes(key.name)));
  putName(b, nk + kNkHeaderSize, key.name);

  for (std::size_t i = 0; i < key.values.size(); ++i) {
    const Value& v = key.values[i];
    put32(b, layout.valueList + 4 + 4 * i, layout.vk[i]);
    const std::size_t vk = layout.vk[i] + 4;
    putTag(b, vk, "vk");
    put16(b, vk + 0x02, static_cast<std::uint32_t>(storedNameBytes(v.name)));
    const auto size = static_cast<std::uint32_t>(v.data.size());
    if (layout.data[i] == kNoCell) {
      put32(b, vk + 0x04, size | kDataInline);
      std::copy(v.data.begin(), v.data.end(), b.begin() + static_cast<std::ptrdiff_t>(vk + 0x08));
    } else {
      put32(b, vk + 0x04, size);
      put32(b, vk + 0x08, layout.data[i]);
      std::copy(v.data.begin(), v.data.end(),
                b.begin() + static_cast<std::ptrdiff_t>(layout.data[i] + 4));
    }
    put32(b, vk + 0x0C, v.type);
    put16(b, vk + 0x10, fitsLatin1(v.name) ? kValueCompressedName : 0);
    putName(b, vk + kVkHeaderSize, v.name);
  }

  if (layout.lists.size() > 1) {
    const std::size_t ri = layout.subkeyList + 4;
    putTag(b, ri, "ri");
    put16(b, ri + 2, static_cast<std::uint32_t>(layout.lists.size()));
    for (std::size_t i = 0; i < layout.lists.size(); ++i) put32(b, ri + 4 + 4 * i, layout.lists[i]);
  }
  for (std::size_t i = 0; i < layout.lists.size(); ++i) {
    const std::size_t lh = layout.lists[i] + 4;
    const std::size_t first = i * kMaxListEntries;
    const std::size_t entries = std::min(kMaxListEntries, layout.children.size() - first);
    putTag(b, lh, "lh");
    put16(b, lh + 2, static_cast<std::uint32_t>(entries));
    for (std::size_t j = 0; j < entries; ++j) {
      const KeyLayout& child = layout.children[first + j];
      put32(b, lh + 4 + 8 * j, child.nk);
      put32(b, lh + 8 + 8 * j, nameHash(child.key->name));
    }
  }
  for (const KeyLayout& child : layout.children) writeKey(child, security, false, out);
}

// --- reading ---

struct HiveReader {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t binsSize = 0;
  // Per 8-byte slot of the bins: 1 where a used cell starts, 2 once a
  // structure has taken it. No cell serves twice, so no list can loop and no
  // value can be counted twice.
  std::vector<std::uint8_t> cells;
  std::string reason;

  bool fail(const std::string& why) {
    reason = why;
    return false;
  }
  std::uint32_t u16at(std::size_t at) const {
    return static_cast<std::uint32_t>(le::value(le::ByteSpan{data, size}, at, 2));
  }
  std::uint32_t u32at(std::size_t at) const {
    return static_cast<std::uint32_t>(le::value(le::ByteSpan{data, size}, at, 4));
  }

  bool walkBins() {
    cells.assign(binsSize / 8, 0);
    std::size_t bin = 0;
    while (bin < binsSize) {
      const std::size_t at = kBaseBlockSize + bin;
      if (std::string(reinterpret_cast<const char*>(data + at), 4) != "hbin")
        return fail("no bin header at bin offset " + std::to_string(bin));
      const std::uint32_t binSize = u32at(at + 8);
      if (u32at(at + 4) != bin) return fail("a bin gives the wrong offset for itself");
      if (binSize < kBinUnit || binSize % kBinUnit != 0 || binSize > binsSize - bin)
        return fail("a bin has an impossible size");
      std::size_t cell = bin + kBinHeaderSize;
      const std::size_t end = bin + binSize;
      while (cell < end) {
        const std::uint32_t raw = u32at(kBaseBlockSize + cell);
        const bool used = (raw & 0x80000000u) != 0;
        const std::uint64_t length = used ? 0x100000000ull - raw : raw;
        if (length < 8 || length % 8 != 0 || length > end - cell)
          return fail("a cell at offset " + std::to_string(cell) + " does not fit its bin");
        if (used) cells[cell / 8] = 1;
        cell += static_cast<std::size_t>(length);
      }
      bin = end;
    }
    return true;
  }

  // The payload of the used cell at `offset`, taken for one structure.
  bool takeCell(std::uint32_t offset, std::size_t& begin, std::size_t& length, const char* what) {
    if (offset % 8 != 0 || offset >= binsSize || cells[offset / 8] == 0)
      return fail(std::string("the ") + what + " points at no cell");
    if (cells[offset / 8] == 2) return fail(std::string("the ") + what + " is used twice");
    cells[offset / 8] = 2;
    begin = kBaseBlockSize + offset + 4;
    length = static_cast<std::size_t>(0x100000000ull - u32at(kBaseBlockSize + offset)) - 4;
    return true;
  }

  bool tagIs(std::size_t at, const char* tag) const {
    return data[at] == static_cast<std::uint8_t>(tag[0]) &&
           data[at + 1] == static_cast<std::uint8_t>(tag[1]);
  }

  bool readName(std::size_t at, std::size_t bytes, bool latin1, std::u16string& name) {
    name.clear();
    if (latin1) {
      for (std::size_t i = 0; i < bytes; ++i) name.push_back(data[at + i]);
      return true;
    }
    if (bytes % 2 != 0) return fail("a UTF-16 name has an odd length");
    for (std::size_t i = 0; i < bytes; i += 2) name.push_back(static_cast<char16_t>(u16at(at + i)));
    return true;
  }

  // Adds the key offsets of a subkey list; an ri index may hold other lists
  // but no further index.
  bool readList(std::uint32_t offset, bool indexAllowed, std::vector<std::uint32_t>& keys) {
    std::size_t at = 0, length = 0;
    if (!takeCell(offset, at, length, "subkey list")) return false;
    if (length < 4) return fail("a subkey list is too short");
    const std::size_t count = u16at(at + 2);
    std::size_t stride = 0;
    if (tagIs(at, "lf") || tagIs(at, "lh")) {
      stride = 8;
    } else if (tagIs(at, "li")) {
      stride = 4;
    } else if (tagIs(at, "ri") && indexAllowed) {
      if (4 + 4 * count > length) return fail("a subkey index runs past its cell");
      for (std::size_t i = 0; i < count; ++i)
        if (!readList(u32at(at + 4 + 4 * i), false, keys)) return false;
      return true;
    } else {
      return fail("a subkey list has an unknown kind");
    }
    if (4 + stride * count > length) return fail("a subkey list runs past its cell");
    for (std::size_t i = 0; i < count; ++i) keys.push_back(u32at(at + 4 + stride * i));
    return true;
  }

  bool readValue(std::uint32_t offset, Value& value) {
    std::size_t at = 0, length = 0;
    if (!takeCell(offset, at, length, "value")) return false;
    if (length < kVkHeaderSize || !tagIs(at, "vk")) return fail("a value cell is no vk cell");
    const std::size_t nameBytes = u16at(at + 0x02);
    if (nameBytes > length - kVkHeaderSize) return fail("a value name runs past its cell");
    const std::uint16_t flags = static_cast<std::uint16_t>(u16at(at + 0x10));
    if (!readName(at + kVkHeaderSize, nameBytes, (flags & kValueCompressedName) != 0, value.name))
      return false;
    value.type = u32at(at + 0x0C);
    const std::uint32_t dataSize = u32at(at + 0x04);
    value.data.clear();
    if ((dataSize & kDataInline) != 0) {
      const std::size_t n = dataSize & ~kDataInline;
      if (n > 4) return fail("a value claims more inline data than fits");
      value.data.assign(data + at + 0x08, data + at + 0x08 + n);
      return true;
    }
    if (dataSize == 0) return true;
    if (dataSize > kMaxCellData) return fail("big data values are not supported");
    std::size_t dataAt = 0, dataLength = 0;
    if (!takeCell(u32at(at + 0x08), dataAt, dataLength, "value data")) return false;
    if (dataSize > dataLength) return fail("value data runs past its cell");
    value.data.assign(data + dataAt, data + dataAt + dataSize);
    return true;
  }

  bool readKey(std::uint32_t offset, int depth, Key& key) {
    if (depth > kMaxDepth) return fail("keys nest deeper than a hive allows");
    std::size_t at = 0, length = 0;
    if (!takeCell(offset, at, length, "key")) return false;
    if (length < kNkHeaderSize || !tagIs(at, "nk")) return fail("a key cell is no nk cell");
    const std::size_t nameBytes = u16at(at + 0x48);
    if (nameBytes > length - kNkHeaderSize) return fail("a key name runs past its cell");
    const std::uint16_t flags = static_cast<std::uint16_t>(u16at(at + 0x02));
    if (!readName(at + kNkHeaderSize, nameBytes, (flags & kKeyCompressedName) != 0, key.name))
      return false;

    const std::size_t valueCount = u32at(at + 0x24);
    if (valueCount > 0) {
      std::size_t list = 0, listLength = 0;
      if (!takeCell(u32at(at + 0x28), list, listLength, "value list")) return false;
      if (valueCount > listLength / 4) return fail("a value list is shorter than its count");
      key.values.resize(valueCount);
      for (std::size_t i = 0; i < valueCount; ++i)
        if (!readValue(u32at(list + 4 * i), key.values[i])) return false;
    }

    const std::size_t subkeyCount = u32at(at + 0x14);
    if (subkeyCount > 0) {
      std::vector<std::uint32_t> offsets;
      if (!readList(u32at(at + 0x1C), true, offsets)) return false;
      if (offsets.size() != subkeyCount)
        return fail("a key's subkey count disagrees with its list");
      key.subkeys.resize(subkeyCount);
      for (std::size_t i = 0; i < subkeyCount; ++i)
        if (!readKey(offsets[i], depth + 1, key.subkeys[i])) return false;
    }
    return true;
  }
};

std::uint32_t baseBlockChecksum(const std::uint8_t* data) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kChecksumOffset; i += 4)
    sum ^= static_cast<std::uint32_t>(le::value(le::ByteSpan{data, kChecksumOffset}, i, 4));
  if (sum == 0) return 1;
  if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
  return sum;
}

}  // namespace

char16_t upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);  // Latin-1
  if (c == 0xFF) return 0x178;
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<char16_t>(c - 0x20);  // Greek
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);                // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

bool sameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upcase(a[i]) != upcase(b[i])) return false;
  return true;
}

Key* findSubkey(Key& key, const std::u16string& name) {
  for (Key& k : key.subkeys)
    if (sameName(k.name, name)) return &k;
  return nullptr;
}

const Key* findSubkey(const Key& key, const std::u16string& name) {
  for (const Key& k : key.subkeys)
    if (sameName(k.name, name)) return &k;
  return nullptr;
}

const Value* findValue(const Key& key, const std::u16string& name) {
  for (const Value& v : key.values)
    if (sameName(v.name, name)) return &v;
  return nullptr;
}

Key& subkey(Key& key, const std::u16string& name) {
  if (Key* found = findSubkey(key, name)) return *found;
  key.subkeys.push_back(Key{name, {}, {}});
  return key.subkeys.back();
}

void setValue(Key& key, const std::u16string& name, std::uint32_t type, le::Bytes data) {
  for (Value& v : key.values) {
    if (sameName(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  key.values.push_back(Value{name, type, std::move(data)});
}

bool removeSubkey(Key& key, const std::u16string& name) {
  for (auto it = key.subkeys.begin(); it != key.subkeys.end(); ++it) {
    if (sameName(it->name, name)) {
      key.subkeys.erase(it);
      return true;
    }
  }
  return false;
}

le::Bytes regSzData(const std::u16string& text) {
  le::Bytes data(2 * (text.size() + 1));
  for (std::size_t i = 0; i < text.size(); ++i) put16(data, 2 * i, text[i]);
  return data;
}

le::Bytes regMultiSzData(const std::vector<std::u16string>& texts) {
  le::Bytes data;
  for (const std::u16string& t : texts) {
    const le::Bytes one = regSzData(t);
    data.insert(data.end(), one.begin(), one.end());
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

le::Bytes regDwordData(std::uint32_t value) {
  le::Bytes data(4);
  put32(data, 0, value);
  return data;
}

bool regSzText(const le::Bytes& data, std::u16string& text) {
  if (data.size() % 2 != 0) return false;
  text.clear();
  for (std::size_t i = 0; i < data.size(); i += 2) {
    const char16_t c = le::u16(data, i);
    if (c == 0) break;
    text.push_back(c);
  }
  return true;
}

bool regMultiSzTexts(const le::Bytes& data, std::vector<std::u16string>& texts) {
  if (data.size() % 2 != 0) return false;
  texts.clear();
  std::u16string current;
  for (std::size_t i = 0; i < data.size(); i += 2) {
    const char16_t c = le::u16(data, i);
    if (c != 0) {
      current.push_back(c);
    } else if (current.empty()) {
      break;  // the empty string that ends the list
    } else {
      texts.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) texts.push_back(current);
  return true;
}

std::u16string widen(const std::string& ascii) {
  std::u16string text;
  for (char c : ascii) text.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return text;
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

bool writeHive(const Key& root, le::Bytes& hive, std::string& reason, std::uint64_t fileTime) {
  std::size_t keyCount = 0;
  if (!checkTree(root, 0, true, keyCount, reason)) return false;

  BinWriter out;
  out.fileTime = fileTime;
  KeyLayout layout;
  planKey(root, kNoCell, out, layout);
  const le::Bytes security = keySecurity();
  const std::uint32_t sk = out.allocate(kSkHeaderSize + security.size());
  out.closeBin();
  writeKey(layout, sk, true, out);

  le::Bytes& b = out.bins;
  putTag(b, sk + 4, "sk");
  put32(b, sk + 4 + 0x04, sk);
  put32(b, sk + 4 + 0x08, sk);
  put32(b, sk + 4 + 0x0C, static_cast<std::uint32_t>(keyCount));
  put32(b, sk + 4 + 0x10, static_cast<std::uint32_t>(security.size()));
  std::copy(security.begin(), security.end(),
            b.begin() + static_cast<std::ptrdiff_t>(sk + 4 + kSkHeaderSize));

  le::Bytes file(kBaseBlockSize);
  putTag(file, 0, "regf");
  put32(file, 0x04, 1);
  put32(file, 0x08, 1);
  le::put(file, 0x0C, 8, fileTime);
  put32(file, 0x14, kMajorVersion);
  put32(file, 0x18, kMinorVersion);
  put32(file, 0x1C, 0);
  put32(file, 0x20, 1);
  put32(file, 0x24, layout.nk);
  put32(file, 0x28, static_cast<std::uint32_t>(b.size()));
  put32(file, 0x2C, 1);
  put32(file, kChecksumOffset, baseBlockChecksum(file.data()));
  file.insert(file.end(), b.begin(), b.end());
  hive = std::move(file);
  return true;
}

bool readHive(const le::Bytes& hive, Key& root, std::string& reason) {
  return readHive(hive.data(), hive.size(), root, reason);
}

bool readHive(const std::uint8_t* data, std::size_t size, Key& root, std::string& reason) {
  HiveReader r;
  r.data = data;
  r.size = size;
  if (size < kBaseBlockSize + kBinUnit) return reason = "the file is too short for a hive", false;
  if (std::string(reinterpret_cast<const char*>(data), 4) != "regf")
    return reason = "the file is no registry hive", false;
  if (r.u32at(kChecksumOffset) != baseBlockChecksum(data))
    return reason = "the hive's header checksum is wrong", false;
  const std::uint32_t minor = r.u32at(0x18);
  if (r.u32at(0x14) != kMajorVersion || minor < 2 || minor > 6)
    return reason = "the hive has an unknown version", false;
  r.binsSize = r.u32at(0x28);
  if (r.binsSize == 0 || r.binsSize % kBinUnit != 0 || r.binsSize > size - kBaseBlockSize)
    return reason = "the hive's size of bins does not match the file", false;
  if (!r.walkBins()) return reason = r.reason, false;
  Key tree;
  if (!r.readKey(r.u32at(0x24), 0, tree)) return reason = r.reason, false;
  root = std::move(tree);
  return true;
}

}  // namespace boot
