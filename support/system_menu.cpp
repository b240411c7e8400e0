// The support module's two system-menu entries and the hook on the main
// window's procedure, which also takes over closing the window.
#include <windows.h>

#include <cstdlib>

#include "support/support_internal.h"

WNDPROC previousWindowProc = nullptr;

// Kept percent-encoded; decoded on every use.
#ifdef ROAMDECK_SUPPORT_LOOPBACK
const char kEncodedContactLink[] =
    "http%3A%2F%2F127.0.0.1%3A47931%2Fkestrune%2Fcontact%3Fv%3D3%26site%3Dmodule";
#else
const char kEncodedContactLink[] =
    "http%3A%2F%2Fwww.kestrune.com%2Fcontact%3Fv%3D3%26site%3Dmodule";
#endif

const char kAgreementText[] =
    "                 Kestrune模块使用协议\r\n\r\n"
    "1、本模块无任何第三方插件或二次封装其它模块，绝对安全。\r\n"
    "2、模块或BUG编写出来的软件缺陷，产生的损失自行承担。\r\n"
    "3、使用本模块编写的恶意插件、病毒、木马等程序，涉及的\r\n"
    "法律责任自负与本模块无关。";

namespace {

constexpr char kContactEntry[] = "提交BUG(&E)";
constexpr char kAgreementEntry[] = "使用协议(&F)";
constexpr char kAgreementCaption[] = "使用协议";
constexpr WPARAM kStarterCommand = 30001;
constexpr WPARAM kForwardedCommand = 10001;

LRESULT passOn(UINT message, WPARAM wParam, LPARAM lParam) {
  return CallWindowProcA(previousWindowProc, moduleMainWindow, message, wParam, lParam);
}

}  // namespace

void installSystemMenuHook(HWND mainWindow) {
  if (HMENU menu = GetSystemMenu(mainWindow, FALSE)) {
    int count = GetMenuItemCount(menu);
    // In the standard menu this is the separator above Close.
    RemoveMenu(menu, count - 2, MF_BYPOSITION | MF_REMOVE);
    AppendMenuA(menu, MF_SEPARATOR, 1, "");
    AppendMenuA(menu, MF_STRING | MF_CHECKED, kMenuContactId, kContactEntry);
    AppendMenuA(menu, MF_SEPARATOR, 3, "");
    AppendMenuA(menu, MF_STRING | MF_CHECKED, kMenuAgreementId, kAgreementEntry);
  }
  previousWindowProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(hookedMainWindowProc)));
  startWorkerThread(runUpdateCheck, nullptr, true, &updateWorkerThread);
}

LRESULT CALLBACK hookedMainWindowProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  std::string contactLink = unescapeUrl(kEncodedContactLink);
  switch (message) {
    case WM_SYSCOMMAND:
      if (wParam == kMenuContactId)
        shellOpen(contactLink);
      else if (wParam == kMenuAgreementId)
        showInfoMessage(kAgreementText, MB_OK | MB_ICONINFORMATION, kAgreementCaption, true);
      processPendingMessages();
      return passOn(message, wParam, lParam);
    case WM_COMMAND:
      if (wParam == kStarterCommand) {
        // No starter window exists; the timer is all there is to stop.
        KillTimer(nullptr, startTimerId);
      } else if (wParam == SC_MOVE || wParam == SC_CLOSE || wParam == kForwardedCommand) {
        SendMessageA(moduleMainWindow, WM_SYSCOMMAND, wParam, lParam);
      }
      return passOn(message, wParam, lParam);
    case WM_CLOSE:
      if (isUpdateAvailable()) {
        ShowWindow(moduleMainWindow, SW_HIDE);
        showModuleUpdateWindow(updatePageText);
      }
      fadeOutAndExit();
    default:
      return passOn(message, wParam, lParam);
  }
}

void fadeOutAndExit() {
  for (int alpha = 255; alpha >= 1; --alpha) {
    setWindowAlpha(moduleMainWindow, static_cast<BYTE>(alpha));
    waitMilliseconds(2);
  }
  // The program's normal end: the end-of-program routine closes the console.
  std::exit(0);
}
