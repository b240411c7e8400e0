// Activation, the deferred attach to the main window, and the small process
// and window utilities of the support module.
#include "support/support_module.h"

#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include "common/gbk_text.h"
#include "common/unique_handle.h"
#include "resources/resource_ids.h"
#include "support/icon_directory.h"
#include "support/support_internal.h"

std::string moduleVersion;
UINT_PTR startTimerId = 0;
HWND moduleMainWindow = nullptr;

namespace {

constexpr char kVersion[] = "V3.00";
constexpr char kDefaultInfoCaption[] = "信息：";

ByteBlob embeddedFile(int id) {
  ByteBlob blob;
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10));
  if (!resource) return blob;
  HGLOBAL loaded = LoadResource(module, resource);
  if (!loaded) return blob;
  blob.data = static_cast<const unsigned char*>(LockResource(loaded));
  blob.size = blob.data ? SizeofResource(module, resource) : 0;
  return blob;
}

}  // namespace

ByteBlob smallIconFile() { return embeddedFile(IDR_SUPPORT_SMALL_ICON); }
ByteBlob cursorFile() { return embeddedFile(IDR_SUPPORT_CURSOR); }
ByteBlob updatePictureFile() { return embeddedFile(IDR_SUPPORT_PICTURE); }

void activateSupportModule() {
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  moduleVersion = kVersion;
  // No starter window: a thread timer does the same job. Its message comes
  // through the window thread's message loop once the main window is up.
  startTimerId = SetTimer(nullptr, 0, 1000, attachToMainWindow);
}

void CALLBACK attachToMainWindow(HWND, UINT, UINT_PTR, DWORD) {
  char path[256] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string trimmed = gbk::trimSpaces(std::string(path, strnlen(path, sizeof path)));
  std::string exeName = PathFindFileNameA(trimmed.c_str());

  DWORD processId = findProcessIdByExeName(exeName);
  moduleMainWindow = processId ? findTopLevelWindowOfProcess(processId) : nullptr;

  if (IsWindow(moduleMainWindow) && IsWindowVisible(moduleMainWindow)) {
    HICON smallIcon = iconFromIconFile(smallIconFile());
    SendMessageA(moduleMainWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    SendMessageA(moduleMainWindow, WM_NCPAINT, 0, 0);
    // An icon handle serves as a cursor; its hotspot is the image centre.
    HICON cursor = iconFromIconFile(cursorFile());
    SetClassLongPtrA(moduleMainWindow, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(cursor));
    installSystemMenuHook(moduleMainWindow);
    SetWindowLongPtrA(moduleMainWindow, GWL_STYLE, 0x10CF0000);
  }
  // Once, whatever was found: the attach step is never retried.
  KillTimer(nullptr, startTimerId);
}

DWORD findProcessIdByExeName(const std::string& exeName) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD found = 0;
  for (BOOL more = Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry)) {
    std::string name(entry.szExeFile, strnlen(entry.szExeFile, sizeof entry.szExeFile));
    if (gbk::equalsIgnoringAsciiCase(name, exeName)) {
      found = entry.th32ProcessID;
      break;
    }
  }
  return found;
}

HWND findTopLevelWindowOfProcess(DWORD processId) {
  for (HWND window = FindWindowA(nullptr, nullptr); window;
       window = GetWindow(window, GW_HWNDNEXT)) {
    if (GetParent(window)) continue;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == processId) return window;
  }
  return nullptr;
}

HICON iconFromIconFile(const ByteBlob& file) {
  IconImageSpan span;
  if (!chooseIconImage(file.data, file.size, &span)) return nullptr;
  // CreateIconFromResource takes a non-const pointer but only reads.
  return CreateIconFromResource(const_cast<PBYTE>(file.data + span.offset), span.size, TRUE,
                                0x00030000);
}

bool startWorkerThread(LPTHREAD_START_ROUTINE procedure, LPVOID parameter, bool keepHandle,
                       HANDLE* handle) {
  HANDLE thread = CreateThread(nullptr, 0, procedure, parameter, 0, nullptr);
  if (!thread) return false;
  if (keepHandle && handle)
    *handle = thread;
  else
    CloseHandle(thread);
  return true;
}

void setWindowAlpha(HWND window, BYTE alpha) {
  LONG exStyle = GetWindowLongA(window, GWL_EXSTYLE);
  SetWindowLongA(window, GWL_EXSTYLE, exStyle | WS_EX_LAYERED);
  SetLayeredWindowAttributes(window, 0, alpha, LWA_ALPHA);
}

void waitMilliseconds(unsigned milliseconds) {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  long long target = now.QuadPart + static_cast<long long>(static_cast<double>(frequency.QuadPart) *
                                                           milliseconds / 1000.0);
  // A busy wait on purpose: the fade steps are shorter than a sleep's grain.
  do {
    QueryPerformanceCounter(&now);
  } while (now.QuadPart < target);
}

const char* shellVerb(int verbSelector) {
  switch (verbSelector) {
    case 2:
      return "print";
    case 3:
      return "explore";
    default:
      return "Open";
  }
}

int shellShowCommand(int showSelector) {
  switch (showSelector) {
    case 1:
      return SW_HIDE;
    case 3:
      return SW_SHOWMINIMIZED;
    case 4:
      return SW_SHOWMAXIMIZED;
    default:
      return SW_SHOW;
  }
}

bool shellOpen(const std::string& target, int verbSelector, const std::string& parameters,
               const std::string& directory, int showSelector) {
  HINSTANCE result =
      ShellExecuteA(nullptr, shellVerb(verbSelector), target.c_str(), parameters.c_str(),
                    directory.c_str(), shellShowCommand(showSelector));
  return result != nullptr;
}

int showInfoMessage(const std::string& text, UINT style, const std::string& caption,
                    bool hasCaption) {
  const char* title = hasCaption ? caption.c_str() : kDefaultInfoCaption;
  return MessageBoxA(GetForegroundWindow(), text.c_str(), title, style) - 1;
}

std::string unescapeUrl(const std::string& url) {
  char buffer[260] = {};
  DWORD size = sizeof buffer;
  UrlCanonicalizeA(url.c_str(), buffer, &size, URL_UNESCAPE);
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

void processPendingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Left for the loop that waits for it.
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}
