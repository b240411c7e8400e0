// Registry hive files (regf): a key tree in memory, written to and read from
// the bytes of a hive file. The boot configuration store is such a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes/little_endian.h"

namespace boot {

// Value types the boot store uses (others pass through as numbers).
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

// Longest value data a plain data cell carries; longer data would need the
// "big data" form, which neither the store nor this writer uses.
constexpr std::size_t kMaxCellData = 16344;

struct Value {
  std::u16string name;  // empty: the key's default value
  std::uint32_t type = 0;
  le::Bytes data;
};

// Names are UTF-16 as the registry keeps them; letter case is kept, compared
// without regard to it.
struct Key {
  std::u16string name;
  std::vector<Value> values;
  std::vector<Key> subkeys;
};

// The registry's case folding of one UTF-16 unit, for the characters that
// names here can hold (ASCII, Latin-1, Greek, Cyrillic).
char16_t upcase(char16_t c);
bool sameName(const std::u16string& a, const std::u16string& b);

// The subkey or value of that name (any case), or null.
Key* findSubkey(Key& key, const std::u16string& name);
const Key* findSubkey(const Key& key, const std::u16string& name);
const Value* findValue(const Key& key, const std::u16string& name);
// The subkey of that name, made when missing.
Key& subkey(Key& key, const std::u16string& name);
// Replaces the value of that name, or adds it.
void setValue(Key& key, const std::u16string& name, std::uint32_t type, le::Bytes data);
bool removeSubkey(Key& key, const std::u16string& name);

// Text <-> registry string data (UTF-16LE with a terminating NUL; a string
// list ends with a second NUL).
le::Bytes regSzData(const std::u16string& text);
le::Bytes regMultiSzData(const std::vector<std::u16string>& texts);
le::Bytes regDwordData(std::uint32_t value);
// The text up to the first NUL; false when the data is no whole UTF-16 units.
bool regSzText(const le::Bytes& data, std::u16string& text);
bool regMultiSzTexts(const le::Bytes& data, std::vector<std::u16string>& texts);
std::u16string widen(const std::string& ascii);
// ASCII stays, everything else becomes '?': for messages and tests.
std::string narrow(const std::u16string& text);

// Subkeys per lh list: a key with more gets an ri index over several lists,
// each small enough for one bin.
constexpr std::size_t kMaxListEntries = 500;

// The hive file of a key tree, clean (sequence numbers equal) and stamped
// with `fileTime` (FILETIME). False with a reason when the tree cannot be a
// hive: empty or too long key names, names that differ only in case, data
// longer than kMaxCellData, a tree deeper than the registry allows.
bool writeHive(const Key& root, le::Bytes& hive, std::string& reason, std::uint64_t fileTime = 0);

// The key tree of a hive file. Every offset, size and count is checked
// against the file; a damaged or hostile file is refused with a reason and
// `root` left as it was. Security cells are not read.
bool readHive(const le::Bytes& hive, Key& root, std::string& reason);
bool readHive(const std::uint8_t* data, std::size_t size, Key& root, std::string& reason);

}  // namespace boot
