// Browsing to an image: the real file-open dialog, the real query through
// WIM.CMD and the imaging stand-in, the names in the edition list.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/control_ids.h"
#include "tests/gui/gui_driver.h"

namespace {

const std::string kTitle = "Roamdeck - Lantrel";
const std::string kDialogTitle = "请选择install.wim安装源";
const std::string kFailureItem = "获取失败，错误的WIM映像";

// The folder the fixture filled, as Wine sees it.
std::string images() {
  std::string path = "Z:" + std::string(ROAMDECK_GUI_IMAGES);
  for (char& c : path)
    if (c == '/') c = '\\';
  return path + "\\";
}

class EditionListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(program_.started());
    window_ = program_.waitForWindow(ids::kMainWindowClass, kTitle);
    ASSERT_NE(window_, nullptr);
    editions_ = GetDlgItem(window_, ids::组合框1);
    pathBox_ = GetDlgItem(window_, ids::编辑框1);
  }
  void TearDown() override {
    PostMessageA(window_, WM_CLOSE, 0, 0);
    program_.waitForExit();
  }

  HWND openDialog() {
    gui::click(GetDlgItem(window_, ids::按钮1));
    return program_.waitForWindow("#32770", kDialogTitle);
  }

  // Browses to a file; returns the milliseconds from Open to a filled list.
  DWORD browse(const std::string& path) {
    HWND dialog = openDialog();
    EXPECT_NE(dialog, nullptr) << "no file-open dialog";
    if (!dialog) return 0;
    HWND name = GetDlgItem(dialog, 0x47C);
    EXPECT_EQ(gui::text(name), "install.wim");  // preset before every opening
    SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    DWORD start = GetTickCount();
    PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(waitForListing(path));
    return GetTickCount() - start;
  }

  // The program takes the path and starts the query without handling a
  // message in between: once the path box answers with the new path, the
  // query has begun, and it is over when the browse button is back and the
  // wait item has gone.
  bool waitForListing(const std::string& path) {
    return gui::waitUntil([&] { return gui::text(pathBox_) == path; }, 20000) &&
           gui::waitUntil(
               [&] {
                 int count = itemCount();
                 return IsWindowEnabled(GetDlgItem(window_, ids::按钮1)) && count > 0 &&
                        gui::comboItem(editions_, count - 1) != "正在获取系统版本，请稍后....";
               },
               70000);
  }

  int itemCount() { return static_cast<int>(SendMessageA(editions_, CB_GETCOUNT, 0, 0)); }
  int selection() { return static_cast<int>(SendMessageA(editions_, CB_GETCURSEL, 0, 0)); }
  std::vector<std::string> items() {
    std::vector<std::string> result;
    for (int i = 0; i < itemCount(); ++i) result.push_back(gui::comboItem(editions_, i));
    return result;
  }

  gui::Program program_{"roamdeck.exe"};
  HWND window_ = nullptr;
  HWND editions_ = nullptr;
  HWND pathBox_ = nullptr;
};

// The names as the tool writes them in its XML: the list shows the text
// between the name tags as it stands, entities included.
const std::vector<std::string> kFourNames = {"Windows 7 HOMEBASIC", "Windows 7 旗舰版",
                                             "Windows 7 PROFESSIONAL",
                                             "Windows 7 A&amp;B &lt;x&gt;"};

TEST_F(EditionListingTest, AFourImageWimListsItsNamesInOrder) {
  DWORD ms = browse(images() + "four.wim");
  EXPECT_EQ(gui::text(pathBox_), images() + "four.wim");
  EXPECT_EQ(items(), kFourNames);
  EXPECT_EQ(selection(), 0);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window_, ids::按钮1)));
  std::printf("listing of four.wim took %lu ms after the dialog closed\n", ms);
  RecordProperty("listing_ms", static_cast<int>(ms));
}

TEST_F(EditionListingTest, PathsWithSpaceOrAmpersandListAndRunNothingElse) {
  browse(images() + "with space\\four.wim");
  EXPECT_EQ(items(), kFourNames);
  browse(images() + "p&mkdir pwned\\four.wim");
  EXPECT_EQ(items(), kFourNames);
  for (const std::string& folder : {images() + "p&mkdir pwned\\pwned", images() + "pwned"})
    EXPECT_EQ(GetFileAttributesA(folder.c_str()), INVALID_FILE_ATTRIBUTES) << folder << " was made";
}

TEST_F(EditionListingTest, APathWithPercentIsRefused) {
  const std::string path = images() + "100%\\four.wim";
  HWND dialog = openDialog();
  ASSERT_NE(dialog, nullptr);
  SendMessageA(GetDlgItem(dialog, 0x47C), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  HWND box = program_.waitForWindow("#32770", "提示");
  ASSERT_NE(box, nullptr) << "no refusal message";
  EXPECT_EQ(gui::messageBoxText(box), "安装源路径中不能含有 % 字符：" + path);
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  waitForListing(path);
  EXPECT_EQ(items(), std::vector<std::string>{kFailureItem});
  EXPECT_EQ(selection(), 0);
}

TEST_F(EditionListingTest, ANonWimFileGivesOnlyTheFailureItem) {
  browse(images() + "notwim.wim");
  EXPECT_EQ(items(), std::vector<std::string>{kFailureItem});
  EXPECT_EQ(selection(), 0);
}

TEST_F(EditionListingTest, CancellingChangesNothingAndASecondBrowseReplacesTheList) {
  browse(images() + "four.wim");
  ASSERT_EQ(items(), kFourNames);
  HWND dialog = openDialog();
  ASSERT_NE(dialog, nullptr);
  PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
  ASSERT_TRUE(gui::waitUntil([&] { return !IsWindow(dialog); }));
  Sleep(300);
  EXPECT_EQ(items(), kFourNames);
  EXPECT_EQ(gui::text(pathBox_), images() + "four.wim");

  browse(images() + "two.wim");
  EXPECT_EQ(items(), (std::vector<std::string>{"Windows 10 Home", "Windows 10 专业版"}));
  EXPECT_EQ(selection(), 0);
}

}  // namespace
