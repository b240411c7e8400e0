// Identifiers of the main window and its controls. Shared with the GUI tests,
// which find the controls of a running program by these ids.
#pragma once

namespace ids {

inline constexpr char kMainWindowClass[] = "RoamdeckMainWindow";

// Child control ids, in the order in which the form lists the controls.
// They start above IDOK/IDCANCEL so that the dialog manager's Enter and Esc
// commands can never be mistaken for a control's notification.
enum Control : int {
  透明标签11 = 1001,
  进度条1,
  透明标签10,
  透明标签9,
  透明标签8,
  分组框2,
  编辑框3,
  编辑框2,
  透明标签5,
  按钮3,
  按钮2,
  选择框1,
  组合框3,
  透明标签4,
  组合框2,
  透明标签3,
  组合框1,
  透明标签2,
  按钮1,
  编辑框1,
  透明标签1,
};

// Timer ids (SetTimer on the main window).
enum Timer : unsigned {
  时钟1 = 1,
  时钟2 = 2,
  时钟3 = 3,
};

}  // namespace ids
