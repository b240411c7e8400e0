// The window's whole installation onto a disk that the test driver presents:
// the program's own staged tools, an image on the setup medium E:, its second
// edition onto the disk's NTFS partition W:, the boot files onto its FAT32
// system partition S:. wine-install-test.sh attaches the disk before and
// boots it afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/control_ids.h"
#include "tests/gui/gui_driver.h"

namespace {

const std::string kEdition = "Windows 10 专业版";

std::string systemFolder() {
  char buffer[MAX_PATH] = {};
  GetSystemDirectoryA(buffer, MAX_PATH);
  return std::string(buffer) + "\\";
}

TEST(DiskInstall, TheWholeInstallationEndsDoneOnADiskThatStarts) {
  // No stand-ins: the program writes its own tools at start.
  for (const char* name : {"BOOTICE.exe", "bootsect.exe", "bcdboot.exe", "Vondrimal.exe"})
    DeleteFileA((systemFolder() + name).c_str());
  gui::Program program("roamdeck.exe");
  ASSERT_TRUE(program.started());
  HWND window = program.waitForWindow(ids::kMainWindowClass, "Roamdeck - Lantrel");
  ASSERT_NE(window, nullptr);
  auto item = [&](int id) { return GetDlgItem(window, id); };
  for (const char* name : {"BOOTICE.exe", "bootsect.exe", "bcdboot.exe", "Vondrimal.exe"})
    EXPECT_NE(GetFileAttributesA((systemFolder() + name).c_str()), INVALID_FILE_ATTRIBUTES) << name;

  gui::click(item(ids::按钮1));
  HWND dialog = program.waitForWindow("#32770", "请选择install.wim安装源");
  ASSERT_NE(dialog, nullptr);
  const std::string image = "E:\\sources\\install.wim";
  SendMessageA(GetDlgItem(dialog, 0x47C), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(image.c_str()));
  PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  ASSERT_TRUE(gui::waitUntil(
      [&] {
        return SendMessageA(item(ids::组合框1), CB_GETCOUNT, 0, 0) == 2 &&
               gui::comboItem(item(ids::组合框1), 1) == kEdition;
      },
      30000));

  SendMessageA(item(ids::组合框1), CB_SETCURSEL, 1, 0);
  for (auto [id, text] :
       {std::pair<int, std::string>{ids::组合框2, "W:\\"}, {ids::组合框3, "S:\\"}}) {
    HWND list = item(id);
    const int count = static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
      if (gui::comboItem(list, i) == text) SendMessageA(list, CB_SETCURSEL, i, 0);
    ASSERT_EQ(gui::text(list), text) << "the disk's partition is not listed";
  }

  gui::click(item(ids::按钮3));
  HWND confirm = program.waitForWindow("#32770", "提示");
  ASSERT_NE(confirm, nullptr);
  EXPECT_EQ(gui::messageBoxText(confirm), "是否安装 " + kEdition + " 到 W:\\ ？");
  PostMessageA(confirm, WM_COMMAND, IDYES, 0);
  gui::waitUntil([&] { return !IsWindow(confirm); });

  HWND final = nullptr;
  gui::waitUntil([&] { return (final = program.waitForWindow("#32770", "提示", 50)) != nullptr; },
                 600000);
  HWND log = GetDlgItem(item(ids::分组框2), ids::编辑框3);
  ASSERT_NE(final, nullptr) << gui::text(log);
  EXPECT_EQ(gui::messageBoxText(final), "安装 " + kEdition + " 完成，请重启计算机！")
      << gui::text(log);
  PostMessageA(final, WM_COMMAND, IDOK, 0);
  gui::waitUntil([&] { return !IsWindow(final); });
  EXPECT_EQ(gui::text(item(ids::透明标签11)), "安装完成");
  const std::string text = gui::text(log);
  EXPECT_NE(text.find("bootsect.exe /NT60 S:"), std::string::npos) << text;
  EXPECT_NE(text.find("BCDBOOT.EXE W:\\Windows /S S:\\"), std::string::npos) << text;
  EXPECT_NE(text.find("is now the active partition"), std::string::npos) << text;
  // BOOTICE's read-back of the disk it set up, the Windows reached through W:.
  EXPECT_NE(text.find("BIOS: MBR -> partition 1 (active, FAT32) -> bootmgr -> \\Boot\\BCD -> "),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("BOOTICE: error"), std::string::npos) << text;
  PostMessageA(window, WM_CLOSE, 0, 0);
  program.waitForExit();
}

}  // namespace
