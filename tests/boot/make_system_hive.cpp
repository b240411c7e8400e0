// Writes the SYSTEM hive of the test Windows with the project's own hive
// writer: the keys a Windows starts from (Select and the control set it
// names), small, so that the start chain check finds a hive where every
// applied Windows has one.
//   make_system_hive <file>
#include <cstdio>
#include <fstream>

#include "boot/store/hive.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_system_hive <file>\n");
    return 2;
  }
  using namespace boot;
  Key root;
  root.name = u"ROOT";
  Key& select = subkey(root, u"Select");
  for (const char16_t* name : {u"Current", u"Default", u"LastKnownGood"})
    setValue(select, name, kRegDword, regDwordData(1));
  Key& control = subkey(subkey(root, u"ControlSet001"), u"Control");
  setValue(subkey(subkey(control, u"ComputerName"), u"ComputerName"), u"ComputerName", kRegSz,
           regSzData(u"ROAMDECK-TEST"));
  subkey(subkey(root, u"ControlSet001"), u"Services");
  le::Bytes hive;
  std::string reason;
  if (!writeHive(root, hive, reason)) {
    std::fprintf(stderr, "make_system_hive: %s\n", reason.c_str());
    return 1;
  }
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(hive.data()), static_cast<std::streamsize>(hive.size()));
  return out.flush() ? 0 : 1;
}
