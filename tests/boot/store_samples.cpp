// Writes hives and boot stores into a folder, each beside the lines that
// hivexregedit's export of it must hold (check-with-hivex.sh compares them).
#include <cstdio>
#include <fstream>
#include <string>

#include "boot/hive.h"

using namespace boot;

namespace {

// A name as hivexregedit prints it: UTF-8 when it holds characters beyond
// Latin-1, else one byte a character.
std::string printed(const std::u16string& name) {
  bool wide = false;
  for (char16_t c : name) wide = wide || c > 0xFF;
  std::string out;
  for (char16_t c : name) {
    if (!wide || c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

void exportKey(const Key& key, const std::string& path, std::string& out) {
  out += "[" + (path.empty() ? std::string("\\") : path) + "]\n";
  for (const Value& v : key.values) {
    out += v.name.empty() ? std::string("@") : "\"" + printed(v.name) + "\"";
    char buffer[32];
    if (v.type == kRegDword && v.data.size() == 4) {
      std::snprintf(buffer, sizeof buffer, "=dword:%08x\n", le32(v.data, 0));
      out += buffer;
      continue;
    }
    std::snprintf(buffer, sizeof buffer, "=hex(%x):", v.type);
    out += buffer;
    for (std::size_t i = 0; i < v.data.size(); ++i) {
      std::snprintf(buffer, sizeof buffer, i == 0 ? "%02x" : ",%02x", v.data[i]);
      out += buffer;
    }
    out += "\n";
  }
  for (const Key& k : key.subkeys) exportKey(k, path + "\\" + printed(k.name), out);
}

bool save(const std::string& dir, const std::string& name, const Key& root) {
  Bytes hive;
  std::string reason;
  if (!writeHive(root, hive, reason)) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), reason.c_str());
    return false;
  }
  std::ofstream(dir + "/" + name + ".hiv", std::ios::binary)
      .write(reinterpret_cast<const char*>(hive.data()), static_cast<std::streamsize>(hive.size()));
  std::string lines;
  exportKey(root, "", lines);
  std::ofstream(dir + "/" + name + ".expected", std::ios::binary) << lines;
  return true;
}

Key plainHive() {
  Key root{u"ROOT", {}, {}};
  Key& d = subkey(root, u"Values");
  setValue(d, u"", kRegSz, regSzData(u"default"));
  setValue(d, u"String", kRegSz, regSzData(u"text"));
  setValue(d, u"Dword", kRegDword, regDwordData(0x10200003));
  setValue(d, u"Empty", kRegBinary, {});
  setValue(d, u"Inline", kRegBinary, {1, 2, 3});
  setValue(d, u"Cell", kRegBinary, Bytes(300, 0x5A));
  setValue(d, u"Full", kRegBinary, Bytes(kMaxCellData, 0x11));
  setValue(d, u"List", kRegMultiSz, regMultiSzData({u"{a}", u"{b}"}));
  setValue(d, u"Qword", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  setValue(d, u"\u0416\u0436", kRegSz, regSzData(u"\u0416"));
  for (const char16_t* name : {u"a", u"B", u"_", u"\u043a\u043b\u044e\u0447"}) subkey(root, name);
  Key& many = subkey(root, u"Many");
  for (int i = 0; i < 1234; ++i) {
    Key& k = subkey(many, widen("Key" + std::to_string(i)));
    setValue(k, u"n", kRegDword, regDwordData(static_cast<std::uint32_t>(i)));
  }
  return root;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: boot_store_samples <folder>\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = save(dir, "plain", plainHive());
  return ok ? 0 : 1;
}
