// An installation from the first click to the final message, in a prefix
// whose drives are C: (fixed, the running system), D: (fixed, the empty
// target), E: (CD-ROM, the setup medium) and F: (removable).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/control_ids.h"
#include "tests/gui/gui_driver.h"

namespace {

const std::string kTitle = "Roamdeck - Lantrel";
const std::string kImage = "E:\\sources\\install.wim";
const std::string kEdition = "Windows 10 专业版";
const char* const kTools[] = {"BOOTICE.exe", "bootsect.exe", "bcdboot.exe", "Vondrimal.exe"};

std::string fixtures() {
  std::string path = "Z:" + std::string(ROAMDECK_GUI_IMAGES);
  for (char& c : path)
    if (c == '/') c = '\\';
  return path + "\\";
}

std::string systemFolder() {
  char buffer[MAX_PATH] = {};
  GetSystemDirectoryA(buffer, MAX_PATH);
  return std::string(buffer) + "\\";
}

std::string fileText(const std::string& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    std::fclose(file);
  }
  return text;
}

long long fileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Empties a folder tree (not the folder itself).
void emptyFolder(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    std::string path = folder + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      emptyFolder(path + "\\");
      RemoveDirectoryA(path.c_str());
    } else {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path.c_str());
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// The boot tools in the system folder: the program's own, or test tools that
// report success in place of some of them.
void prepareTools(const std::vector<std::string>& succeeding) {
  for (const char* name : kTools) {
    std::string path = systemFolder() + name;
    if (!DeleteFileA(path.c_str())) RemoveDirectoryA(path.c_str());
  }
  for (const std::string& name : succeeding)
    ASSERT_TRUE(CopyFileA((gui::exeFolder() + "succeeding_tool.exe").c_str(),
                          (systemFolder() + name).c_str(), FALSE));
}

class InstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CreateDirectoryA("E:\\sources", nullptr);
    ASSERT_TRUE(CopyFileA((fixtures() + "two.wim").c_str(), kImage.c_str(), FALSE));
  }

  void start() {
    program_ = std::make_unique<gui::Program>("roamdeck.exe");
    ASSERT_TRUE(program_->started());
    window_ = program_->waitForWindow(ids::kMainWindowClass, kTitle);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (program_) {
      PostMessageA(window_, WM_CLOSE, 0, 0);
      program_->waitForExit();
    }
  }

  HWND item(int id) const { return GetDlgItem(window_, id); }
  HWND log() const { return GetDlgItem(item(ids::分组框2), ids::编辑框3); }

  void browse(const std::string& path) {
    gui::click(item(ids::按钮1));
    HWND dialog = program_->waitForWindow("#32770", "请选择install.wim安装源");
    ASSERT_NE(dialog, nullptr);
    SendMessageA(GetDlgItem(dialog, 0x47C), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    // The path box answers once the query has begun (see the listing tests).
    ASSERT_TRUE(gui::waitUntil([&] { return gui::text(item(ids::编辑框1)) == path; }, 20000));
    ASSERT_TRUE(gui::waitUntil(
        [&] {
          int count = static_cast<int>(SendMessageA(item(ids::组合框1), CB_GETCOUNT, 0, 0));
          return count > 0 && IsWindowEnabled(item(ids::按钮1)) &&
                 gui::comboItem(item(ids::组合框1), count - 1) != "正在获取系统版本，请稍后....";
        },
        20000));
  }

  // Chooses the edition and the partitions by their texts.
  void choose(int editionIndex, const std::string& install, const std::string& boot) {
    SendMessageA(item(ids::组合框1), CB_SETCURSEL, editionIndex, 0);
    for (auto [id, text] :
         {std::pair<int, std::string>{ids::组合框2, install}, {ids::组合框3, boot}}) {
      HWND list = item(id);
      int count = static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));
      for (int i = 0; i < count; ++i)
        if (gui::comboItem(list, i) == text) SendMessageA(list, CB_SETCURSEL, i, 0);
      ASSERT_EQ(gui::text(list), text);
    }
  }

  // Presses install; returns the first message box that comes up.
  HWND pressInstall() {
    gui::click(item(ids::按钮3));
    return program_->waitForWindow("#32770", "提示");
  }

  void answer(HWND box, int button) {
    PostMessageA(box, WM_COMMAND, button, 0);
    gui::waitUntil([&] { return !IsWindow(box); });
  }

  // One message, and the window exactly as before.
  void expectRefusal(const std::string& text) {
    std::string logBefore = gui::text(log());
    HWND box = pressInstall();
    ASSERT_NE(box, nullptr) << "expected: " << text;
    EXPECT_EQ(gui::messageBoxText(box), text);
    answer(box, IDOK);
    Sleep(200);
    EXPECT_EQ(program_->waitForWindow("#32770", "提示", 200), nullptr) << "a second message";
    EXPECT_TRUE(IsWindowEnabled(item(ids::按钮3)));
    EXPECT_FALSE(IsWindowVisible(item(ids::透明标签11)));
    EXPECT_EQ(gui::text(log()), logBefore);
  }

  std::unique_ptr<gui::Program> program_;
  HWND window_ = nullptr;
};

struct Observed {
  std::vector<int> percents;
  bool disabledWhileInstalling = true;
  bool survivedClose = false;
};

// Follows the apply through the log box until the final message comes up.
HWND followInstallation(gui::Program& program, HWND window, HWND log, Observed& seen) {
  // The close box and Alt+F4 are ignored while installing.
  PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  PostMessageA(window, WM_SYSKEYDOWN, VK_F4, 1 | (1 << 29));
  Sleep(300);
  seen.survivedClose = IsWindow(window) && IsWindowVisible(window);
  for (int id : {ids::按钮1, ids::按钮2, ids::按钮3, ids::编辑框1, ids::选择框1, ids::组合框1,
                 ids::组合框2, ids::组合框3})
    if (IsWindowEnabled(GetDlgItem(window, id))) seen.disabledWhileInstalling = false;

  DWORD start = GetTickCount();
  while (GetTickCount() - start < 120000) {
    // The box only grows during the apply: the longest list of progress
    // lines read from it is the whole story so far.
    std::string text = gui::text(log);
    std::vector<int> percents;
    size_t pos = 0;
    while ((pos = text.find("% ] Applying progress", pos)) != std::string::npos) {
      size_t open = text.rfind("[ ", pos);
      if (open != std::string::npos)
        percents.push_back(std::atoi(text.substr(open + 2, pos - open - 2).c_str()));
      pos += 1;
    }
    if (percents.size() > seen.percents.size()) seen.percents = percents;
    if (HWND box = program.waitForWindow("#32770", "提示", 30)) return box;
  }
  return nullptr;
}

bool rising(const std::vector<int>& values) {
  if (values.size() < 2) return false;
  for (size_t i = 1; i < values.size(); ++i)
    if (values[i] < values[i - 1]) return false;
  return values.back() > values.front();
}

// The program's own boot tools, under Wine: C: maps a folder, so bootsect has
// no sectors to write, and the message says so in the tool's words.
TEST_F(InstallTest, WithItsOwnBootToolsUnderWineTheBootSetupFailureIsExplained) {
  prepareTools({});
  emptyFolder("D:\\");
  start();
  browse(kImage);
  choose(1, "D:\\", "C:\\");
  HWND confirm = pressInstall();
  ASSERT_NE(confirm, nullptr);
  EXPECT_EQ(gui::messageBoxText(confirm), "是否安装 " + kEdition + " 到 D:\\ ？");
  answer(confirm, IDYES);

  Observed seen;
  HWND final = followInstallation(*program_, window_, log(), seen);
  ASSERT_NE(final, nullptr) << "no final message; log:\n" << gui::text(log());
  EXPECT_TRUE(seen.survivedClose);
  EXPECT_TRUE(seen.disabledWhileInstalling);
  EXPECT_GE(seen.percents.size(), 2u);
  EXPECT_TRUE(rising(seen.percents)) << ::testing::PrintToString(seen.percents);
  const std::string message = gui::messageBoxText(final);
  const std::string head = "系统已释放到 D:\\，但引导设置失败：bootsect.exe /NT60 C:（";
  const std::string tail = "）。请修复引导后再重启！";
  EXPECT_EQ(message.substr(0, head.size()), head) << message;
  ASSERT_GT(message.size(), head.size() + tail.size()) << message;
  EXPECT_EQ(message.substr(message.size() - tail.size()), tail) << message;
  EXPECT_NE(message.find("raw access"), std::string::npos) << message;
  answer(final, IDOK);

  // Image 2, applied for real.
  EXPECT_EQ(fileText("D:\\Windows\\win.ini"), "[boot]\n");
  EXPECT_EQ(fileSize("D:\\Windows\\System32\\empty.dll"), 0);
  EXPECT_EQ(fileSize("D:\\数据\\part2.bin"), 20 * 1024 * 1024);
  // The file holds UTF-8 text, as the fixture wrote it.
  EXPECT_EQ(fileText("D:\\Users\\Public\\说明.txt"),
            "\xE4\xB8\xAD\xE6\x96\x87\xE5\x86\x85\xE5\xAE\xB9\n");
  EXPECT_NE(GetFileAttributesA("D:\\空目录"), INVALID_FILE_ATTRIBUTES);

  std::string text = gui::text(log());
  EXPECT_NE(text.find("bootsect.exe /NT60 C:"), std::string::npos);
  EXPECT_NE(text.find("BCDBOOT.EXE D:\\Windows /S C:\\"), std::string::npos);
  // BOOTICE is started through "start", which shows it under its full path.
  EXPECT_NE(text.find("BOOTICE.EXE\" /DEVICE=C:\\ /partitions /activate /quiet"), std::string::npos)
      << text;
  EXPECT_EQ(gui::text(item(ids::透明标签11)), "引导设置失败");
  EXPECT_EQ(gui::text(item(ids::透明标签10)), "剩余时间：00:00:00");
  for (int id : {ids::按钮1, ids::按钮2, ids::按钮3, ids::编辑框1, ids::选择框1, ids::组合框1})
    EXPECT_TRUE(IsWindowEnabled(item(id)));
}

TEST_F(InstallTest, SucceedingBootToolsGiveTheRestartMessage) {
  prepareTools({"bootsect.exe", "bcdboot.exe", "BOOTICE.exe"});
  emptyFolder("D:\\");
  start();
  browse(kImage);
  choose(1, "D:\\", "C:\\");
  answer(pressInstall(), IDYES);
  Observed seen;
  HWND final = followInstallation(*program_, window_, log(), seen);
  ASSERT_NE(final, nullptr) << gui::text(log());
  EXPECT_EQ(gui::messageBoxText(final), "安装 " + kEdition + " 完成，请重启计算机！");
  answer(final, IDOK);
  EXPECT_EQ(gui::text(item(ids::透明标签11)), "安装完成");
}

TEST_F(InstallTest, AFailingBcdbootIsQuotedExactly) {
  prepareTools({"bootsect.exe", "BOOTICE.exe"});  // bcdboot is the program's own
  emptyFolder("D:\\");
  start();
  browse(kImage);
  choose(1, "D:\\", "C:\\");
  answer(pressInstall(), IDYES);
  Observed seen;
  HWND final = followInstallation(*program_, window_, log(), seen);
  ASSERT_NE(final, nullptr) << gui::text(log());
  // Wine names no disk for C:, and bcdboot says so.
  EXPECT_EQ(
      gui::messageBoxText(final),
      "系统已释放到 D:\\，但引导设置失败：BCDBOOT.EXE D:\\Windows /S C:\\（the system drive "
      "C:\\ is not identifiable as a partition: the system names no disk for C:\\; nothing was "
      "written）。请修复引导后再重启！");
  answer(final, IDOK);
}

TEST_F(InstallTest, ADamagedImageFailsWithoutBootSetup) {
  prepareTools({"bootsect.exe", "bcdboot.exe", "BOOTICE.exe"});
  emptyFolder("D:\\");
  const std::string damaged = "E:\\sources\\damaged.wim";
  ASSERT_TRUE(CopyFileA((fixtures() + "damaged.wim").c_str(), damaged.c_str(), FALSE));
  start();
  browse(damaged);
  choose(1, "D:\\", "C:\\");
  answer(pressInstall(), IDYES);
  Observed seen;
  HWND final = followInstallation(*program_, window_, log(), seen);
  ASSERT_NE(final, nullptr) << gui::text(log());
  // The imaging tool's reason, after the place it names.
  const std::string shown = gui::messageBoxText(final);
  const std::string start = "安装 " + kEdition + " 失败：映像未能释放到 D:\\（";
  const std::string end =
      "D:\\ now holds a partial copy of the image: format it and apply again）"
      "，未设置引导。";
  EXPECT_EQ(shown.compare(0, start.size(), start), 0) << shown;
  EXPECT_NE(shown.find("fails its SHA-1 check"), std::string::npos) << shown;
  EXPECT_TRUE(shown.size() > end.size() &&
              shown.compare(shown.size() - end.size(), end.size(), end) == 0)
      << shown;
  answer(final, IDOK);
  EXPECT_EQ(gui::text(item(ids::透明标签11)), "安装失败");
  std::string text = gui::text(log());
  EXPECT_EQ(text.find("bootsect.exe"), std::string::npos);
  EXPECT_EQ(text.find("BCDBOOT.EXE"), std::string::npos);
}

TEST_F(InstallTest, RefusalsChangeNothing) {
  prepareTools({});
  emptyFolder("D:\\");
  start();
  expectRefusal("请选择install.wim安装源，一般位于\\sources\\install.wim");

  SendMessageA(item(ids::编辑框1), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("E:\\nothing.wim"));
  expectRefusal("Windows安装文件 E:\\nothing.wim 不存在！");

  browse(fixtures() + "notwim.wim");
  expectRefusal("错误的WIM映像，无法安装！");

  browse(kImage);
  choose(1, "C:\\", "C:\\");
  expectRefusal("无法安装在 C:\\ ，建议进入WindowsPE安装！");

  choose(1, "D:\\", "C:\\");
  const std::string other = fixtures() + "four.wim";
  SendMessageA(item(ids::编辑框1), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(other.c_str()));
  expectRefusal("安装源已更改，请点击浏览重新选择！");

  const std::string percent = fixtures() + "100%\\four.wim";
  SendMessageA(item(ids::编辑框1), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(percent.c_str()));
  expectRefusal("安装源路径中不能含有 % 字符：" + percent);

  // The image on the install partition itself, with 格式化 checked.
  ASSERT_TRUE(CopyFileA(kImage.c_str(), "D:\\install.wim", FALSE));
  browse("D:\\install.wim");
  choose(1, "D:\\", "C:\\");
  expectRefusal("安装源位于 D:\\ ，不能格式化该分区！");
  DeleteFileA("D:\\install.wim");

  // A partition whose only system folder is ProgramData, after the confirmation.
  browse(kImage);
  choose(1, "D:\\", "C:\\");
  CreateDirectoryA("D:\\ProgramData", nullptr);
  HWND confirm = pressInstall();
  ASSERT_NE(confirm, nullptr);
  answer(confirm, IDYES);
  HWND refusal = program_->waitForWindow("#32770", "提示");
  ASSERT_NE(refusal, nullptr);
  EXPECT_EQ(gui::messageBoxText(refusal), "D:\\ 存在Windows，请先格式化！");
  answer(refusal, IDOK);
  EXPECT_TRUE(IsWindowEnabled(item(ids::按钮3)));
  RemoveDirectoryA("D:\\ProgramData");

  // Answering No.
  confirm = pressInstall();
  ASSERT_NE(confirm, nullptr);
  answer(confirm, IDNO);
  Sleep(300);
  EXPECT_EQ(program_->waitForWindow("#32770", "提示", 200), nullptr);
  EXPECT_TRUE(IsWindowEnabled(item(ids::按钮3)));
  EXPECT_FALSE(IsWindowVisible(item(ids::透明标签11)));
}

}  // namespace
