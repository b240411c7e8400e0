#include "boot/store/pe_version.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "bytes/little_endian.h"
#include "tests/wim/host_folder.h"

namespace boot {
namespace {

void put(le::Bytes& b, std::size_t at, std::size_t width, std::uint64_t v) {
  ASSERT_TRUE(le::put(b, at, width, v)) << at;
}

// A small PE file: a .text section, then .rsrc at RVA 0x3000 (file 0x400)
// with an RT_RCDATA-like entry, a named one and RT_VERSION, whose first
// name and language lead to a VS_VERSIONINFO block.
le::Bytes makePe(std::uint16_t machine, bool plus, std::uint32_t versionHigh,
                 std::uint32_t versionLow) {
  le::Bytes b(0x600);
  b[0] = 'M';
  b[1] = 'Z';
  put(b, 0x3C, 4, 0x80);
  put(b, 0x80, 4, 0x00004550);
  put(b, 0x84, 2, machine);
  put(b, 0x86, 2, 2);  // sections
  const std::size_t optionalSize = plus ? 0xF0 : 0xE0;
  put(b, 0x94, 2, optionalSize);
  const std::size_t optional = 0x98;
  put(b, optional, 2, plus ? 0x20B : 0x10B);
  const std::size_t count = optional + (plus ? 0x6C : 0x5C);
  put(b, count, 4, 16);
  put(b, count + 4 + 16, 4, 0x3000);  // resources RVA
  put(b, count + 4 + 20, 4, 0x200);
  const std::size_t sections = optional + optionalSize;
  put(b, sections + 0x08, 4, 0x200);  // .text: virtual size, RVA, raw size, raw pointer
  put(b, sections + 0x0C, 4, 0x1000);
  put(b, sections + 0x10, 4, 0x200);
  put(b, sections + 0x14, 4, 0x200);
  put(b, sections + 40 + 0x08, 4, 0x200);  // .rsrc
  put(b, sections + 40 + 0x0C, 4, 0x3000);
  put(b, sections + 40 + 0x10, 4, 0x200);
  put(b, sections + 40 + 0x14, 4, 0x400);

  const std::size_t rsrc = 0x400;
  put(b, rsrc + 0x0C, 2, 1);  // one named entry, two with ids
  put(b, rsrc + 0x0E, 2, 2);
  put(b, rsrc + 0x10, 4, 0x80000100);  // named: string at 0x100, directory at 0x40
  put(b, rsrc + 0x14, 4, 0x80000040);
  put(b, rsrc + 0x18, 4, 10);  // id 10: directory at 0x40
  put(b, rsrc + 0x1C, 4, 0x80000040);
  put(b, rsrc + 0x20, 4, 16);  // RT_VERSION: directory at 0x58
  put(b, rsrc + 0x24, 4, 0x80000058);
  put(b, rsrc + 0x58 + 0x0E, 2, 1);  // name 1 -> directory at 0x70
  put(b, rsrc + 0x68, 4, 1);
  put(b, rsrc + 0x6C, 4, 0x80000070);
  put(b, rsrc + 0x70 + 0x0E, 2, 1);  // language 0x409 -> data entry at 0x88
  put(b, rsrc + 0x80, 4, 0x409);
  put(b, rsrc + 0x84, 4, 0x88);
  put(b, rsrc + 0x88, 4, 0x30A0);  // data RVA, size
  put(b, rsrc + 0x8C, 4, 92);
  const std::size_t block = rsrc + 0xA0;
  put(b, block, 2, 92);
  put(b, block + 2, 2, 52);
  const std::string key = "VS_VERSION_INFO";
  for (std::size_t i = 0; i < key.size(); ++i) put(b, block + 6 + 2 * i, 2, key[i]);
  put(b, block + 40, 4, 0xFEEF04BD);
  put(b, block + 44, 4, 0x10000);
  put(b, block + 48, 4, versionHigh);
  put(b, block + 52, 4, versionLow);
  return b;
}

bool read(const le::Bytes& b, PeInfo& info, std::string& reason) {
  return readPeInfo(b.data(), b.size(), info, reason);
}

TEST(PeVersion, ReadsMachineAndFileVersion) {
  PeInfo info;
  std::string reason;
  ASSERT_TRUE(read(makePe(kMachineAmd64, true, 0x000A0000, 0x58670B2D), info, reason)) << reason;
  EXPECT_EQ(info.machine, kMachineAmd64);
  ASSERT_TRUE(info.hasVersion) << info.versionProblem;
  EXPECT_EQ(info.version.major, 10);
  EXPECT_EQ(info.version.minor, 0);
  EXPECT_EQ(info.version.build, 22631);
  EXPECT_EQ(info.version.revision, 2861);

  ASSERT_TRUE(read(makePe(kMachineI386, false, 0x00060001, 0x1DB1446A), info, reason)) << reason;
  EXPECT_EQ(info.machine, kMachineI386);
  ASSERT_TRUE(info.hasVersion) << info.versionProblem;
  EXPECT_EQ(info.version.major, 6);
  EXPECT_EQ(info.version.minor, 1);
  EXPECT_EQ(info.version.build, 7601);
  EXPECT_EQ(info.version.revision, 17514);
}

TEST(PeVersion, MissingOrBrokenResourcesLeaveTheMachine) {
  PeInfo info;
  std::string reason;
  le::Bytes noVersion = makePe(kMachineArm64, true, 0x000A0000, 0);
  put(noVersion, 0x420, 4, 3);  // RT_VERSION becomes RT_ICON
  ASSERT_TRUE(read(noVersion, info, reason)) << reason;
  EXPECT_EQ(info.machine, kMachineArm64);
  EXPECT_FALSE(info.hasVersion);
  EXPECT_EQ(info.versionProblem, "no version resource");

  le::Bytes outside = makePe(kMachineAmd64, true, 0x000A0000, 0);
  put(outside, 0x488, 4, 0x31F0);  // the block would end past the section
  ASSERT_TRUE(read(outside, info, reason)) << reason;
  EXPECT_FALSE(info.hasVersion);

  le::Bytes loop = makePe(kMachineAmd64, true, 0x000A0000, 0);
  put(loop, 0x46C, 4, 0x80000000);  // the name level points back at the root
  ASSERT_TRUE(read(loop, info, reason)) << reason;
  EXPECT_FALSE(info.hasVersion);

  le::Bytes notPe = makePe(kMachineAmd64, true, 0, 0);
  put(notPe, 0x3C, 4, 0x5F0);
  EXPECT_FALSE(read(notPe, info, reason));
}

// Every truncation and every byte flipped: read or refused, never a read
// outside the bytes (the sanitizers watch).
TEST(PeVersion, SurvivesDamage) {
  const le::Bytes good = makePe(kMachineAmd64, true, 0x000A0000, 0x58670B2D);
  PeInfo info;
  std::string reason;
  int versions = 0;
  for (std::size_t n = 0; n <= good.size(); ++n) {
    const le::Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    versions += read(cut, info, reason) && info.hasVersion;
  }
  // A version once the file reaches the end of the block (0x4A0 + 92).
  EXPECT_EQ(versions, static_cast<int>(good.size() - 0x4FC + 1));
  for (std::size_t at = 0; at < 0x500; ++at) {
    le::Bytes bad = good;
    bad[at] ^= 0xA5;
    read(bad, info, reason);
  }
}

le::Bytes fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return le::Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Programs that MinGW's linker laid out, with the resource of version_sample.rc.
TEST(PeVersion, ReadsProgramsThatALinkerMade) {
  for (const auto& [name, machine] :
       {std::pair<const char*, std::uint16_t>{"version_sample_x64.exe", kMachineAmd64},
        {"version_sample_x86.exe", kMachineI386}}) {
    std::string path = wimtest::hostFolder(BOOT_SAMPLE_DIR "/") + name;
    const le::Bytes exe = fileBytes(path);
    ASSERT_GT(exe.size(), 1024u) << path;
    PeInfo info;
    std::string reason;
    ASSERT_TRUE(read(exe, info, reason)) << reason;
    EXPECT_EQ(info.machine, machine);
    ASSERT_TRUE(info.hasVersion) << info.versionProblem;
    EXPECT_EQ(info.version.major, 10);
    EXPECT_EQ(info.version.minor, 0);
    EXPECT_EQ(info.version.build, 22631);
    EXPECT_EQ(info.version.revision, 2861);
  }
}

TEST(PeVersion, WindowsNames) {
  EXPECT_EQ(windowsDescription(6, 1, 7601), "Windows 7");
  EXPECT_EQ(windowsDescription(6, 2, 9200), "Windows 8");
  EXPECT_EQ(windowsDescription(6, 3, 9600), "Windows 8.1");
  EXPECT_EQ(windowsDescription(10, 0, 19045), "Windows 10");
  EXPECT_EQ(windowsDescription(10, 0, 21999), "Windows 10");
  EXPECT_EQ(windowsDescription(10, 0, 22000), "Windows 11");
  EXPECT_EQ(windowsDescription(6, 0, 6002), "Windows");
  EXPECT_EQ(windowsDescription(11, 0, 30000), "Windows");
}

}  // namespace
}  // namespace boot
