// The real program, started under Wine and checked from outside.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include "app/control_ids.h"
#include "tests/gui/gui_driver.h"

namespace {

const std::string kTitle = "Roamdeck - Lantrel";

struct ExpectedControl {
  int id;
  int parentId;  // 0: the main window
  const char* className;
  RECT rect;  // left, top, right, bottom in the parent's client area
  const char* text;
  bool visible;
  bool enabled;
  bool tabStop;
};

// Every control of the form, with its place, caption and initial state.
// Combo boxes are checked on their selection field.
const ExpectedControl kExpected[] = {
    {ids::透明标签11, 0, "Static", {152, 144, 240, 168}, "已安装：0%", false, true, false},
    {ids::进度条1, 0, "msctls_progress32", {8, 144, 376, 168}, "", true, true, false},
    {ids::透明标签10, 0, "Static", {240, 120, 368, 144}, "剩余时间：00:00:00", false, true, false},
    {ids::透明标签9, 0, "Static", {88, 120, 216, 144}, "已用时间：", false, true, false},
    {ids::透明标签8, 0, "Static", {8, 120, 72, 144}, "安装进度：", true, true, false},
    {ids::分组框2, 0, "Button", {8, 424, 376, 648}, "", true, true, false},
    {ids::编辑框3, ids::分组框2, "Edit", {4, 10, 360, 218}, "", true, true, true},
    {ids::编辑框2, 0, "Edit", {16, 696, 416, 904}, "", true, false, true},
    {ids::按钮3, 0, "Button", {216, 184, 288, 208}, "安  装", true, true, true},
    {ids::按钮2, 0, "Button", {304, 184, 376, 208}, "退  出", true, true, true},
    {ids::选择框1, 0, "Button", {304, 96, 368, 120}, "格式化", true, true, true},
    // The partition lists show their first drive, the bench's C:.
    {ids::组合框3, 0, "ComboBox", {216, 96, 288, 116}, "C:\\", true, true, true},
    {ids::透明标签4, 0, "Static", {152, 96, 208, 120}, "引导分区：", true, true, false},
    {ids::组合框2, 0, "ComboBox", {72, 96, 144, 116}, "C:\\", true, true, true},
    {ids::透明标签3, 0, "Static", {8, 96, 64, 120}, "安装分区：", true, true, false},
    {ids::组合框1, 0, "ComboBox", {104, 64, 376, 84}, "", true, true, true},
    {ids::透明标签2, 0, "Static", {8, 64, 112, 88}, "请选择系统版本：", true, true, false},
    {ids::按钮1, 0, "Button", {320, 32, 376, 56}, "浏  览", true, true, true},
    {ids::编辑框1, 0, "Edit", {8, 32, 312, 56}, "", true, true, true},
    {ids::透明标签1,
     0,
     "Static",
     {8, 8, 312, 32},
     "请选择install.wim安装源：位于\\sources\\install.wim",
     true,
     true,
     false},
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(program_.started());
    window_ = program_.waitForWindow(ids::kMainWindowClass, kTitle);
    ASSERT_NE(window_, nullptr) << "main window did not appear";
  }

  HWND control(int id) const {
    for (const ExpectedControl& expected : kExpected)
      if (expected.id == id && expected.parentId != 0)
        return GetDlgItem(GetDlgItem(window_, expected.parentId), id);
    return GetDlgItem(window_, id);
  }

  gui::Program program_{"roamdeck.exe"};
  HWND window_ = nullptr;
};

TEST_F(MainWindowTest, WindowHasItsTitleSizeAndPlace) {
  // The title arrives as GBK bytes; FindWindowA finds it by them too.
  EXPECT_EQ(FindWindowA(ids::kMainWindowClass, "Roamdeck - Lantrel"), window_);

  RECT rect;
  GetWindowRect(window_, &rect);
  EXPECT_EQ(rect.right - rect.left, 391);
  EXPECT_EQ(rect.bottom - rect.top, 249);
  EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - 391) / 2);
  EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - 249) / 2);

  LONG_PTR style = GetWindowLongPtrA(window_, GWL_STYLE);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME) << "the border must not be draggable";
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(GetWindowLongPtrA(window_, GWL_EXSTYLE) & WS_EX_TOPMOST);
}

TEST_F(MainWindowTest, EveryControlHasItsKindPlaceCaptionAndState) {
  for (const ExpectedControl& expected : kExpected) {
    SCOPED_TRACE(expected.id);
    HWND child = control(expected.id);
    ASSERT_NE(child, nullptr);
    EXPECT_STREQ(gui::className(child).c_str(), expected.className);
    RECT rect = gui::rectInParent(child);
    EXPECT_EQ(rect.left, expected.rect.left);
    EXPECT_EQ(rect.top, expected.rect.top);
    EXPECT_EQ(rect.right, expected.rect.right);
    EXPECT_EQ(rect.bottom, expected.rect.bottom);
    EXPECT_EQ(gui::text(child), expected.text);
    EXPECT_EQ(IsWindowVisible(child) != FALSE, expected.visible);
    EXPECT_EQ(IsWindowEnabled(child) != FALSE, expected.enabled);
    EXPECT_EQ((GetWindowLongPtrA(child, GWL_STYLE) & WS_TABSTOP) != 0, expected.tabStop);
  }

  // Console boxes: read-only, multi-line, out of sight.
  RECT client;
  GetClientRect(window_, &client);
  for (int id : {ids::编辑框3, ids::编辑框2}) {
    LONG_PTR style = GetWindowLongPtrA(control(id), GWL_STYLE);
    EXPECT_TRUE(style & ES_MULTILINE);
    EXPECT_TRUE(style & ES_READONLY);
    EXPECT_TRUE(style & WS_VSCROLL);
    RECT rect;
    GetWindowRect(control(id), &rect);
    MapWindowPoints(HWND_DESKTOP, window_, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_GE(rect.top, client.bottom) << "console box " << id << " must not be visible";
  }

  EXPECT_EQ(SendMessageA(control(ids::选择框1), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(SendMessageA(control(ids::进度条1), PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(SendMessageA(control(ids::进度条1), PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(SendMessageA(control(ids::进度条1), PBM_GETRANGE, TRUE, 0), 0);

  for (int id : {ids::组合框1, ids::组合框2, ids::组合框3}) {
    HWND combo = control(id);
    EXPECT_EQ(GetWindowLongPtrA(combo, GWL_STYLE) & 3, CBS_DROPDOWNLIST);
    EXPECT_FALSE(GetWindowLongPtrA(combo, GWL_STYLE) & CBS_SORT);
    RECT dropped = {};
    SendMessageA(combo, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
    RECT field;
    GetWindowRect(combo, &field);
    EXPECT_GE((dropped.bottom - dropped.top) - (field.bottom - field.top), 160);
  }
}

TEST_F(MainWindowTest, EnterLeavesTheFocusInThePathBox) {
  HWND pathBox = control(ids::编辑框1);
  PostMessageA(pathBox, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  PostMessageA(pathBox, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  ASSERT_TRUE(gui::waitUntil([&] { return gui::focusOf(window_) == pathBox; }));
  gui::pressKey(pathBox, VK_RETURN);
  gui::pressKey(pathBox, VK_F1);
  Sleep(300);
  EXPECT_EQ(gui::focusOf(window_), pathBox);
  EXPECT_TRUE(IsWindow(window_));
  // Tab, by contrast, does move it.
  gui::pressKey(pathBox, VK_TAB);
  EXPECT_TRUE(gui::waitUntil([&] { return gui::focusOf(window_) != pathBox; }));
}

TEST_F(MainWindowTest, ExitButtonEndsWithCodeZero) {
  gui::click(control(ids::按钮2));
  EXPECT_EQ(program_.waitForExit(), 0u);
}

TEST_F(MainWindowTest, EscEndsWithCodeZero) {
  HWND pathBox = control(ids::编辑框1);
  PostMessageA(pathBox, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  PostMessageA(pathBox, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  gui::waitUntil([&] { return gui::focusOf(window_) == pathBox; });
  HWND focus = gui::focusOf(window_);
  gui::pressKey(focus ? focus : window_, VK_ESCAPE);
  EXPECT_EQ(program_.waitForExit(), 0u);
}

TEST_F(MainWindowTest, CloseBoxEndsWithCodeZero) {
  PostMessageA(window_, WM_CLOSE, 0, 0);
  EXPECT_EQ(program_.waitForExit(), 0u);
}

TEST(StartupFailure, WindowThatCannotBeCreatedIsReportedWithExitCodeMinusOne) {
  gui::Program program("roamdeck_failcreate.exe");
  ASSERT_TRUE(program.started());
  HWND box = program.waitForWindow("#32770", "提示");
  ASSERT_NE(box, nullptr) << "no message box";
  EXPECT_EQ(gui::messageBoxText(box), "运行时出错!\r\n\r\n错误信息：载入启动窗口失败");
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(program.waitForExit(), static_cast<DWORD>(-1));
}

}  // namespace
