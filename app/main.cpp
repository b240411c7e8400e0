// Program entry: start-up, the message loop and the end of the program.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>

#include "app/main_form.h"
#include "app/shutdown.h"
#include "install/console.h"
#include "support/support_module.h"

namespace {

constexpr char kStartupFailure[] = "运行时出错!\r\n\r\n错误信息：载入启动窗口失败";
constexpr char kMessageCaption[] = "提示";

void initialiseProcess() {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  // The automation objects used later (drive types, regular expressions) are
  // called from the window's thread.
  CoInitialize(nullptr);
}

int runMessageLoop(HWND window) {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    // The dialog manager gives the window its keyboard: Tab between the tab
    // stops, Esc as IDCANCEL and Enter as IDOK (which the window ignores).
    if (IsDialogMessageA(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  initialiseProcess();
  allocateConsoleState();
  std::atexit(endOfProgram);
  if (IsDebuggerPresent()) activateSupportModule();
  markConsoleClosed();

  HWND window = createMainWindow(instance);
  if (!window) {
    MessageBoxA(nullptr, kStartupFailure, kMessageCaption, MB_OK | MB_ICONHAND | MB_TASKMODAL);
    std::exit(-1);
  }
  runMessageLoop(window);
  return 0;
}
