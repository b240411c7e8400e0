#include "image/edition_listing.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "app/main_form.h"
#include "common/unique_handle.h"
#include "image/pattern_matcher.h"
#include "image/query_command.h"
#include "tools/special_folder.h"

namespace {

constexpr char kMessageCaption[] = "提示";

std::string g_listedImagePath;

std::string windowsFolder() { return specialFolderPath(CSIDL_WINDOWS); }
std::string outputFilePath() { return windowsFolder() + "\\WIM.TXT"; }
std::string batchFilePath() { return windowsFolder() + "\\WIM.CMD"; }

void deleteIfPresent(const std::string& path) {
  if (PathFileExistsA(path.c_str())) DeleteFileA(path.c_str());
}

bool writeBatchFile(const std::string& path, const std::string& line) {
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size();
}

enum class WaitResult { Ended, TimedOut, WindowClosed };

// Waits for the process while the window keeps painting. A WM_QUIT met on
// the way is put back for the main loop.
WaitResult waitWhilePainting(HANDLE process, HWND window, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return WaitResult::TimedOut;
    DWORD wait = MsgWaitForMultipleObjects(1, &process, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    if (wait == WAIT_OBJECT_0) return WaitResult::Ended;
    if (wait != WAIT_OBJECT_0 + 1) return WaitResult::TimedOut;
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));
        return WaitResult::WindowClosed;
      }
      if (!IsDialogMessageA(window, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
    if (!IsWindow(window)) return WaitResult::WindowClosed;
  }
}

void showFailureItem(MainForm& form) {
  control::clearItems(form.组合框1);
  control::addItem(form.组合框1, kFailureItem);
  control::setCurrentSelection(form.组合框1, 0);
}

}  // namespace

const std::string& listedImagePath() { return g_listedImagePath; }
void forgetListedImagePath() { g_listedImagePath.clear(); }

std::string Utf8ToGbk(const std::string& text) {
  int wideLength = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (wideLength <= 0) return std::string();
  std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), wideLength);
  int length = WideCharToMultiByte(936, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::vector<char> gbk(static_cast<size_t>(length));
  WideCharToMultiByte(936, 0, wide.data(), -1, gbk.data(), length, nullptr, nullptr);
  return std::string(gbk.data());
}

QueryResult QueryImageInfo(MainForm& form) {
  const std::string imagePath = control::content(form.编辑框1);
  if (!isSafeImagePath(imagePath)) {
    MessageBoxA(nullptr, (kPercentRefusal + imagePath).c_str(), kMessageCaption,
                MB_OK | MB_ICONEXCLAMATION | MB_TASKMODAL);
    return QueryResult::Refused;
  }

  deleteIfPresent(outputFilePath());
  deleteIfPresent(batchFilePath());
  control::addItem(form.组合框1, kWaitItem);
  // A file still there would have the new output appended to another
  // image's names, and those positions go to the install as indexes.
  if (PathFileExistsA(outputFilePath().c_str())) return QueryResult::StaleOutput;

  const std::string batch = batchFilePath();
  if (!writeBatchFile(batch, infoCommandLine(imagePath, windowsFolder())))
    return QueryResult::NotStarted;

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  std::vector<char> commandLine(batch.begin(), batch.end());
  commandLine.push_back('\0');
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return QueryResult::NotStarted;
  UniqueHandle processHandle(process.hProcess);
  CloseHandle(process.hThread);
  control::setCurrentSelection(form.组合框1, 0);

  // Wait for the tool to end rather than a fixed time: a large image or a
  // slow disk would otherwise be read half-written and called bad.
  setInputsDisabled(form, true);
  WaitResult waited = waitWhilePainting(processHandle.get(), form.window, kQueryTimeoutMs);
  if (waited == WaitResult::WindowClosed) return QueryResult::WindowClosed;
  setInputsDisabled(form, false);
  return waited == WaitResult::Ended ? QueryResult::Done : QueryResult::TimedOut;
}

void ListEditions(MainForm& form) {
  control::clearItems(form.组合框1);
  std::ifstream file(outputFilePath(), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string text = bytes.substr(0, bytes.find('\0'));

  control::setContent(form.编辑框2, Utf8ToGbk(text));
  std::string converted = control::content(form.编辑框2);

  std::vector<std::string> names;
  ExtractBetween(converted, "<name>", "</name>", names);
  for (const std::string& name : names) control::addItem(form.组合框1, name);
  control::setCurrentSelection(form.组合框1, 0);
  if (control::content(form.组合框1).empty()) {
    control::addItem(form.组合框1, kFailureItem);
    control::setCurrentSelection(form.组合框1, control::itemCount(form.组合框1) - 1);
    return;
  }
  g_listedImagePath = control::content(form.编辑框1);
}

void onBrowseClicked(MainForm& form) {
  control::FileOpenDialog& dialog = form.通用对话框1;
  dialog.fileName = "install.wim";
  if (!control::open(dialog, form.window)) return;
  control::setContent(form.编辑框1, dialog.fileName);
  forgetListedImagePath();
  switch (QueryImageInfo(form)) {
    case QueryResult::Done:
      ListEditions(form);
      break;
    case QueryResult::WindowClosed:
      break;  // nothing left to fill
    default:
      showFailureItem(form);
      break;
  }
}
