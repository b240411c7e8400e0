// The shipped 32-bit program, checked as a file: it cannot run here.
#include <gtest/gtest.h>

#include <string>

#include "tests/pe/pe_image.h"

namespace {

constexpr std::uint32_t kRtIcon = 3, kRtGroupIcon = 14, kRtVersion = 16, kRtManifest = 24;

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

}  // namespace
