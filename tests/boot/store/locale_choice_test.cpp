#include "boot/store/locale_choice.h"

#include <gtest/gtest.h>

namespace boot {
namespace {

TEST(LocaleChoice, NamesOfLocaleFolders) {
  for (const char* name : {"en-US", "zh-CN", "sr-Latn-RS", "haw-US", "ZH-cn"})
    EXPECT_TRUE(isLocaleName(name)) << name;
  for (const char* name : {"", "Fonts", "en", "en-USA", "e-US", "en_US", "sr-Latn-R", "qps-plocm",
                           "en-U1", "sr-Lat1-RS", "-US"})
    EXPECT_FALSE(isLocaleName(name)) << name;
}

TEST(LocaleChoice, SwitchThenTheImagesOwnThenEnglish) {
  EXPECT_EQ(chooseLocale("de-DE", {"en-US", "zh-CN"}), "de-DE");
  EXPECT_EQ(chooseLocale("", {"en-US", "zh-CN", "Fonts", "memtest.exe"}), "zh-CN");
  EXPECT_EQ(chooseLocale("", {"zh-cn", "EN-us"}), "zh-cn");
  EXPECT_EQ(chooseLocale("", {"zh-CN", "zh-CN"}), "zh-CN");
  EXPECT_EQ(chooseLocale("", {"en-US", "zh-CN", "zh-TW"}), "en-US");
  EXPECT_EQ(chooseLocale("", {"en-US"}), "en-US");
  EXPECT_EQ(chooseLocale("", {}), "en-US");
}

}  // namespace
}  // namespace boot
