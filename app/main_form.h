// The main window and its controls, by the names the rest of the program
// uses. The window is the program's only store of user-visible state: the
// handlers read the user's choices from these controls and write results
// into them through the control-property layer.
#pragma once

#include <windows.h>

#include "app/controls.h"

struct MainForm {
  HWND window = nullptr;

  HWND 透明标签11 = nullptr;
  HWND 进度条1 = nullptr;
  HWND 透明标签10 = nullptr;
  HWND 透明标签9 = nullptr;
  HWND 透明标签8 = nullptr;
  HWND 分组框2 = nullptr;
  HWND 编辑框3 = nullptr;
  HWND 编辑框2 = nullptr;
  HWND 透明标签5 = nullptr;
  HWND 按钮3 = nullptr;
  HWND 按钮2 = nullptr;
  HWND 选择框1 = nullptr;
  HWND 组合框3 = nullptr;
  HWND 透明标签4 = nullptr;
  HWND 组合框2 = nullptr;
  HWND 透明标签3 = nullptr;
  HWND 组合框1 = nullptr;
  HWND 透明标签2 = nullptr;
  HWND 按钮1 = nullptr;
  HWND 编辑框1 = nullptr;
  HWND 透明标签1 = nullptr;

  control::Timer 时钟1;
  control::Timer 时钟2;
  control::Timer 时钟3;

  control::FileOpenDialog 通用对话框1;
};

// Disables (or enables again) the eight controls that take the user's input:
// 按钮1, 按钮2, 按钮3, 编辑框1, 选择框1, 组合框1, 组合框2, 组合框3, in this order.
void setInputsDisabled(MainForm& form, bool disabled);

// The one main window of the program; valid once createMainWindow succeeded.
MainForm& mainForm();

// Creates the main window, centred on the primary screen, with all its
// controls; the window's "created" handler has run when this returns.
// Returns nullptr when the window could not be created.
HWND createMainWindow(HINSTANCE instance);
