// The shipped 32-bit program, checked as a file: it cannot run here.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "tests/pe/pe_image.h"

namespace {

constexpr std::uint32_t kRtIcon = 3, kRtRcData = 10, kRtGroupIcon = 14, kRtVersion = 16,
                        kRtManifest = 24;

struct Payload {
  const char* id;  // IDR_TOOL_* of resources/resource_ids.h
  const char* fileName;
};
constexpr Payload kPayloads[] = {
    {"101", "BOOTICE.exe"},
    {"102", "bootsect.exe"},
    {"103", "bcdboot.exe"},
    {"104", "Vondrimal.exe"},
};

const pe::Resource* find(const pe::Image& image, std::uint32_t type, const std::string& name) {
  for (const pe::Resource& resource : image.resources)
    if (resource.type == type && resource.name == name) return &resource;
  return nullptr;
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

// The build that made the program: <build>/ above <build>/bin/roamdeck.exe.
std::string builtFolder() {
  std::string path = ROAMDECK_SHIPPED_EXE;
  for (int level = 0; level < 2; ++level) path = path.substr(0, path.find_last_of('/'));
  return path + "/";
}

bool needsMinGwDll(const pe::Image& image) {
  for (const std::string& dll : image.importedDlls)
    if (dll.find("libstdc++") != std::string::npos || dll.find("libgcc") != std::string::npos ||
        dll.find("libwinpthread") != std::string::npos)
      return true;
  return false;
}

const pe::Resource* find(const pe::Image& image, std::uint32_t type) {
  for (const pe::Resource& resource : image.resources)
    if (resource.type == type) return &resource;
  return nullptr;
}

class ShippedProgram : public ::testing::Test {
 protected:
  pe::Image image_ = pe::readFile(ROAMDECK_SHIPPED_EXE);
};

TEST_F(ShippedProgram, IsA32BitGuiProgramThatNeedsNoMinGwDlls) {
  ASSERT_TRUE(image_.valid) << image_.error;
  EXPECT_EQ(image_.machine, 0x14C);        // i386
  EXPECT_EQ(image_.optionalMagic, 0x10B);  // PE32
  EXPECT_EQ(image_.subsystem, 2);          // Windows GUI
  ASSERT_FALSE(image_.importedDlls.empty());
  for (const std::string& dll : image_.importedDlls) {
    EXPECT_EQ(dll.find("libstdc++"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libgcc"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libwinpthread"), std::string::npos) << dll;
  }
}

TEST_F(ShippedProgram, CarriesManifestVersionAndIcon) {
  ASSERT_TRUE(image_.valid) << image_.error;
  const pe::Resource* manifest = find(image_, kRtManifest);
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(manifest->name, "1");
  std::string text(manifest->data.begin(), manifest->data.end());
  EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);

  const pe::Resource* version = find(image_, kRtVersion);
  ASSERT_NE(version, nullptr);
  const std::vector<std::uint8_t>& data = version->data;
  // VS_FIXEDFILEINFO follows the "VS_VERSION_INFO" key: file and product
  // versions 1.4.0.0 are 0x00010004, 0x00000000 in both pairs.
  auto key = pe::utf16("VS_VERSION_INFO");
  auto at = std::search(data.begin(), data.end(), key.begin(), key.end());
  ASSERT_NE(at, data.end());
  std::size_t fixed = static_cast<std::size_t>(at - data.begin()) + key.size() + 2;
  fixed = (fixed + 3) & ~std::size_t{3};
  ASSERT_LE(fixed + 24, data.size());
  auto u32 = [&](std::size_t offset) {
    return data[offset] | data[offset + 1] << 8 | data[offset + 2] << 16 |
           static_cast<std::uint32_t>(data[offset + 3]) << 24;
  };
  EXPECT_EQ(u32(fixed), 0xFEEF04BDu);
  EXPECT_EQ(u32(fixed + 8), 0x00010004u);
  EXPECT_EQ(u32(fixed + 12), 0u);
  EXPECT_EQ(u32(fixed + 16), 0x00010004u);
  EXPECT_EQ(u32(fixed + 20), 0u);
  for (const char* field : {"ProductName", "FileDescription"}) {
    auto expected = pe::utf16(field);
    expected.insert(expected.end(), {0, 0});
    auto value = pe::utf16("Roamdeck - Lantrel");
    EXPECT_TRUE(pe::contains(data, expected)) << field;
    EXPECT_TRUE(pe::contains(data, value));
  }
  EXPECT_TRUE(pe::contains(data, pe::utf16("1.4.0.0")));

  EXPECT_NE(find(image_, kRtGroupIcon), nullptr);
  EXPECT_NE(find(image_, kRtIcon), nullptr);
}

// Whatever the build embeds, its own tools or a packager's, is a 32-bit program.
TEST_F(ShippedProgram, CarriesTheFourToolsAs32BitPrograms) {
  ASSERT_TRUE(image_.valid) << image_.error;
  for (const Payload& payload : kPayloads) {
    const pe::Resource* resource = find(image_, kRtRcData, payload.id);
    ASSERT_NE(resource, nullptr) << payload.fileName;
    pe::Image tool = pe::read(resource->data);
    ASSERT_TRUE(tool.valid) << payload.fileName << ": " << tool.error;
    EXPECT_EQ(tool.machine, 0x14C) << payload.fileName;               // i386
    EXPECT_EQ(tool.optionalMagic, 0x10B) << payload.fileName;         // PE32
    EXPECT_TRUE(tool.characteristics & 0x0002) << payload.fileName;   // an executable image
    EXPECT_FALSE(tool.characteristics & 0x2000) << payload.fileName;  // not a DLL
  }
}

// The payloads are the files the build named in its generated resource script
// (its own tools, or a packager's): byte for byte, so that a stale copy means
// the program was not relinked, and console programs that run alone in the
// system folder.
TEST_F(ShippedProgram, EmbeddedToolsAreTheFilesTheBuildNamed) {
  ASSERT_TRUE(image_.valid) << image_.error;
  std::ifstream script(builtFolder() + "resources/roamdeck_tools.rc");
  ASSERT_TRUE(script) << "no generated resource script beside the program";
  std::map<std::string, std::string> named;  // resource id → file
  for (std::string line; std::getline(script, line);) {
    const std::size_t open = line.find(" RCDATA \"");
    if (open == std::string::npos) continue;
    named[line.substr(0, open)] = line.substr(open + 9, line.size() - open - 10);
  }
  const char* const ids[] = {"IDR_TOOL_BOOTICE", "IDR_TOOL_BOOTSECT", "IDR_TOOL_BCDBOOT",
                             "IDR_TOOL_VONDRIMAL"};
  for (std::size_t i = 0; i < std::size(kPayloads); ++i) {
    const Payload& payload = kPayloads[i];
    const pe::Resource* resource = find(image_, kRtRcData, payload.id);
    ASSERT_NE(resource, nullptr) << payload.fileName;
    ASSERT_EQ(named.count(ids[i]), 1u) << ids[i];
    const std::string& file = named[ids[i]];
    EXPECT_EQ(file.substr(file.find_last_of('/') + 1), payload.fileName);
    EXPECT_TRUE(resource->data == readBytes(file)) << payload.fileName << " is stale: " << file;
    pe::Image tool = pe::read(resource->data);
    EXPECT_EQ(tool.subsystem, 3) << payload.fileName;  // Windows console
    ASSERT_FALSE(tool.importedDlls.empty()) << payload.fileName;
    EXPECT_FALSE(needsMinGwDll(tool)) << payload.fileName;
  }
}

}  // namespace
