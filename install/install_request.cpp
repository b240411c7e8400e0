#include "install/install_request.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <string>

#include "app/main_form.h"
#include "image/edition_listing.h"
#include "image/query_command.h"
#include "install/completion.h"
#include "install/console.h"
#include "install/install_text.h"
#include "install/progress.h"
#include "tools/special_folder.h"

namespace {

constexpr char kCaption[] = "提示";
constexpr char kNoImagePath[] = "请选择install.wim安装源，一般位于\\sources\\install.wim";
constexpr char kBadImage[] = "错误的WIM映像，无法安装！";
constexpr char kImageChanged[] = "安装源已更改，请点击浏览重新选择！";

void warn(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONEXCLAMATION | MB_TASKMODAL);
}

void refuse(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONHAND | MB_TASKMODAL);
}

bool confirm(const std::string& text) {
  return MessageBoxA(nullptr, text.c_str(), kCaption,
                     MB_YESNO | MB_ICONINFORMATION | MB_TASKMODAL) == IDYES;
}

std::string firstThree(const std::string& text) { return text.substr(0, 3); }

std::string systemFolderWithBackslash() {
  char buffer[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer) + "\\";
}

// The drive an image lies on, as a drive root ("E:\"); empty for other kinds
// of path (a share, say), which no partition of the lists can hold.
std::string driveRootOf(const std::string& path) {
  char full[MAX_PATH * 2] = {};
  DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string absolute = (length > 0 && length < sizeof full) ? std::string(full) : path;
  if (absolute.size() >= 3 && absolute[1] == ':' && absolute[2] == '\\') {
    std::string root = absolute.substr(0, 3);
    if (root[0] >= 'a' && root[0] <= 'z') root[0] = static_cast<char>(root[0] - 'a' + 'A');
    return root;
  }
  return std::string();
}

}  // namespace

bool isCloseEnabled(HWND window) {
  HMENU menu = GetSystemMenu(window, FALSE);
  if (!menu) return true;
  UINT state = GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND);
  return state == static_cast<UINT>(-1) || !(state & (MF_GRAYED | MF_DISABLED));
}

bool SetCloseEnabled(HWND window, bool enable) {
  HMENU menu = GetSystemMenu(window, FALSE);
  if (!menu) return false;
  EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
  RECT rect;
  if (!GetWindowRect(window, &rect)) return false;
  return RedrawWindow(nullptr, &rect, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW) !=
         FALSE;
}

void FormatPartition(MainForm& form) {
  std::string partition = control::content(form.组合框2);
  if (partition.empty()) return;
  UINT drive = static_cast<UINT>(static_cast<unsigned char>(partition[0]) - 65);
  SHFormatDrive(form.window, drive, SHFMT_ID_DEFAULT, 0);
}

void onInstallClicked(MainForm& form) {
  const std::string imagePath = control::content(form.编辑框1);
  const std::string edition = control::content(form.组合框1);
  const std::string installPartition = control::content(form.组合框2);
  const bool formatFirst = control::checked(form.选择框1);

  if (imagePath.empty()) return warn(kNoImagePath);
  if (!PathFileExistsA(imagePath.c_str()))
    return warn("Windows安装文件 " + imagePath + " 不存在！");
  if (edition == kFailureItem) return warn(kBadImage);
  // The path goes into a command line: refused before anything is asked.
  if (!isSafeImagePath(imagePath)) return warn(kPercentRefusal + imagePath);
  // The list's positions are image indexes of the image it was made for.
  if (imagePath != listedImagePath()) return warn(kImageChanged);

  const std::string windowsDrive = firstThree(specialFolderPath(CSIDL_WINDOWS));
  if (windowsDrive == installPartition)
    return warn("无法安装在 " + windowsDrive + " ，建议进入WindowsPE安装！");
  // Formatting the partition the image lies on would destroy the source.
  if (formatFirst && !installPartition.empty() && driveRootOf(imagePath) == installPartition)
    return warn("安装源位于 " + installPartition + " ，不能格式化该分区！");

  if (!confirm("是否安装 " + edition + " 到 " + installPartition + " ？")) return;
  if (formatFirst) FormatPartition(form);

  if (firstThree(systemFolderWithBackslash()) == installPartition)
    return refuse("选择的分区 " + installPartition + " 正在使用....");
  for (const std::string& name : install_text::systemFolderNames())
    if (PathIsDirectoryA((installPartition + name).c_str()))
      return refuse(installPartition + " 存在Windows，请先格式化！");

  followLogBox(form.编辑框3);
  control::setContent(form.编辑框3, "");
  int index = control::currentSelection(form.组合框1) + 1;
  std::string applyLine = install_text::withResultLine(
      install_text::applyCommandLine(imagePath, index, installPartition),
      install_text::kApplyResult);
  beginCompletionWatch(SendConsoleCommand(applyLine) > 0);
  StartConsoleReader(form.编辑框3);
  control::setCaption(form.透明标签10, "剩余时间：正在计算");
  control::setInterval(form.时钟1, 500);
  control::setInterval(form.时钟2, 50);
  startElapsedClock();
  control::setInterval(form.时钟3, 10);
  for (HWND label : {form.透明标签9, form.透明标签10, form.透明标签11})
    control::setVisible(label, true);
  setInputsDisabled(form, true);
  SetCloseEnabled(form.window, false);
}
