// Writes hives and boot stores into a folder, each beside the lines that
// hivexregedit's export of it must hold (check-with-hivex.sh compares them).
#include <cstdio>
#include <fstream>
#include <string>

#include "boot/store/bcd_store.h"
#include "boot/store/hive.h"

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
      std::snprintf(buffer, sizeof buffer, "=dword:%08x\n", le::u32(v.data, 0));
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
  le::Bytes hive;
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
  setValue(d, u"Cell", kRegBinary, le::Bytes(300, 0x5A));
  setValue(d, u"Full", kRegBinary, le::Bytes(kMaxCellData, 0x11));
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

Guid guid(const char* text) {
  Guid g;
  parseGuid(text, g);
  return g;
}

BcdBootRequest request(Firmware firmware) {
  BcdBootRequest r;
  r.firmware = firmware;
  if (firmware == Firmware::bios) {
    r.systemPartition.mbrSignature = r.windowsPartition.mbrSignature = 0x12345678;
    r.systemPartition.startBytes = 0x100000;
    r.windowsPartition.startBytes = 0x6500000;
  } else {
    for (PartitionDevice* d : {&r.systemPartition, &r.windowsPartition}) {
      d->style = PartitionStyle::Gpt;
      d->diskGuid = guid("{f1e2d3c4-b5a6-9788-6950-4a3b2c1d0e0f}");
    }
    r.systemPartition.partitionGuid = guid("{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}");
    r.windowsPartition.partitionGuid = guid("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}");
  }
  r.description = u"Windows 10";
  r.loader = guid("{0c7e5b1a-3f0e-4a8b-9c2d-1e2f3a4b5c6d}");
  r.resume = guid("{0c7e5b1a-3f0e-4a8b-9c2d-1e2f3a4b5c6e}");
  return r;
}

bool saveStore(const std::string& dir, const std::string& name, const BcdBootRequest& r,
               Key& store) {
  std::string reason;
  if (!buildStore(r, store, reason)) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), reason.c_str());
    return false;
  }
  return save(dir, name, store);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: boot_store_samples <folder>\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = save(dir, "plain", plainHive());
  Key bios, uefi, merged;
  ok = saveStore(dir, "bcd-bios", request(Firmware::bios), bios) && ok;
  ok = saveStore(dir, "bcd-uefi", request(Firmware::uefi), uefi) && ok;
  // A second Windows beside the first, then the first again.
  BcdBootRequest second = request(Firmware::bios);
  second.windowsPartition.startBytes = 0x20000000;
  second.description = u"Windows 7";
  second.loader = guid("{5a5a5a5a-0000-4000-8000-000000000001}");
  second.resume = guid("{5a5a5a5a-0000-4000-8000-000000000002}");
  second.existingStore = &bios;
  Key two;
  BcdBootRequest again = request(Firmware::bios);
  again.loader = guid("{5a5a5a5a-0000-4000-8000-000000000003}");
  again.existingStore = &two;
  ok = saveStore(dir, "bcd-two", second, two) && ok;
  ok = saveStore(dir, "bcd-merged", again, merged) && ok;
  return ok ? 0 : 1;
}
