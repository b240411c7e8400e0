#include <windows.h>
#include <windowsx.h>

#include <commctrl.h>
#include <commdlg.h>

#include "app/control_ids.h"
#include "app/main_form.h"
#include "app/shutdown.h"
#include "app/startup.h"
#include "image/edition_listing.h"
#include "install/completion.h"
#include "install/console.h"
#include "install/install_request.h"
#include "install/progress.h"
#include "resources/resource_ids.h"
#include "roamdeck_version.h"

namespace {

MainForm g_form;

constexpr int kOuterWidth = 391;
constexpr int kOuterHeight = 249;
constexpr char kTitle[] = "Roamdeck - Lantrel";

// Combo boxes are created taller than their field: the extra height is the
// dropped list, which must show at least 160 pixels of items.
constexpr int kDroppedListHeight = 190;
constexpr int kComboFieldHeight = 20;

const COLORREF kConsoleText = RGB(0, 255, 0);
const COLORREF kConsoleBack = RGB(0, 0, 0);

enum class Look { Plain, TransparentLabel, Console };

struct ControlSpec {
  HWND MainForm::*slot;
  ids::Control id;
  const char* className;
  int left, top, width, height;
  const char* text;
  DWORD style;
  DWORD exStyle;
  bool inGroupBox;  // child of 分组框2 rather than of the window
  Look look;
};

// Labels are not tab stops. Their one line is centred in their height and
// clipped rather than wrapped when a wide font does not fit.
constexpr DWORD kLabel = WS_CHILD | SS_LEFTNOWORDWRAP | SS_CENTERIMAGE;
constexpr DWORD kEditLog =
    WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL;
constexpr DWORD kCombo = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
constexpr DWORD kButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

// The form, in the order in which it lists the controls. Creation order is
// also the z-order (first on top) and the tab order.
const ControlSpec kControls[] = {
    {&MainForm::透明标签11, ids::透明标签11, WC_STATICA, 152, 144, 88, 24, "已安装：0%", kLabel, 0,
     false, Look::TransparentLabel},
    {&MainForm::进度条1, ids::进度条1, PROGRESS_CLASSA, 8, 144, 368, 24, "", WS_CHILD | WS_VISIBLE,
     0, false, Look::Plain},
    {&MainForm::透明标签10, ids::透明标签10, WC_STATICA, 240, 120, 128, 24, "剩余时间：00:00:00",
     kLabel, 0, false, Look::TransparentLabel},
    {&MainForm::透明标签9, ids::透明标签9, WC_STATICA, 88, 120, 128, 24, "已用时间：", kLabel, 0,
     false, Look::TransparentLabel},
    {&MainForm::透明标签8, ids::透明标签8, WC_STATICA, 8, 120, 64, 24, "安装进度：",
     kLabel | WS_VISIBLE, 0, false, Look::TransparentLabel},
    {&MainForm::分组框2, ids::分组框2, WC_BUTTONA, 8, 424, 368, 224, "",
     WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0, false, Look::Plain},
    {&MainForm::编辑框3, ids::编辑框3, WC_EDITA, 4, 10, 356, 208, "", kEditLog, WS_EX_CLIENTEDGE,
     true, Look::Console},
    {&MainForm::编辑框2, ids::编辑框2, WC_EDITA, 16, 696, 400, 208, "", kEditLog | WS_DISABLED,
     WS_EX_CLIENTEDGE, false, Look::Console},
    {&MainForm::透明标签5, ids::透明标签5, WC_STATICA, 8, 192, 176, 24,
     "Lantrel 出品 · Roamdeck " ROAMDECK_VERSION_SHORT, kLabel | WS_VISIBLE | SS_NOTIFY, 0, false,
     Look::TransparentLabel},
    {&MainForm::按钮3, ids::按钮3, WC_BUTTONA, 216, 184, 72, 24, "安  装", kButton, 0, false,
     Look::Plain},
    {&MainForm::按钮2, ids::按钮2, WC_BUTTONA, 304, 184, 72, 24, "退  出", kButton, 0, false,
     Look::Plain},
    {&MainForm::选择框1, ids::选择框1, WC_BUTTONA, 304, 96, 64, 24, "格式化",
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, false, Look::Plain},
    {&MainForm::组合框3, ids::组合框3, WC_COMBOBOXA, 216, 96, 72, kComboFieldHeight, "", kCombo, 0,
     false, Look::Plain},
    {&MainForm::透明标签4, ids::透明标签4, WC_STATICA, 152, 96, 56, 24, "引导分区：",
     kLabel | WS_VISIBLE, 0, false, Look::TransparentLabel},
    {&MainForm::组合框2, ids::组合框2, WC_COMBOBOXA, 72, 96, 72, kComboFieldHeight, "", kCombo, 0,
     false, Look::Plain},
    {&MainForm::透明标签3, ids::透明标签3, WC_STATICA, 8, 96, 56, 24, "安装分区：",
     kLabel | WS_VISIBLE, 0, false, Look::TransparentLabel},
    {&MainForm::组合框1, ids::组合框1, WC_COMBOBOXA, 104, 64, 272, kComboFieldHeight, "", kCombo, 0,
     false, Look::Plain},
    {&MainForm::透明标签2, ids::透明标签2, WC_STATICA, 8, 64, 104, 24, "请选择系统版本：",
     kLabel | WS_VISIBLE, 0, false, Look::TransparentLabel},
    {&MainForm::按钮1, ids::按钮1, WC_BUTTONA, 320, 32, 56, 24, "浏  览", kButton, 0, false,
     Look::Plain},
    {&MainForm::编辑框1, ids::编辑框1, WC_EDITA, 8, 32, 304, 24, "",
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, false, Look::Plain},
    {&MainForm::透明标签1, ids::透明标签1, WC_STATICA, 8, 8, 304, 24,
     "请选择install.wim安装源：位于\\sources\\install.wim", kLabel | WS_VISIBLE, 0, false,
     Look::TransparentLabel},
};

const ControlSpec* specOf(HWND control) {
  int id = GetDlgCtrlID(control);
  for (const ControlSpec& spec : kControls)
    if (spec.id == id) return &spec;
  return nullptr;
}

HBRUSH consoleBrush() {
  static HBRUSH brush = CreateSolidBrush(kConsoleBack);
  return brush;
}

// Colours for labels and the two console boxes. Returns nullptr for controls
// that keep the system's colours.
HBRUSH controlColours(HDC dc, HWND control) {
  const ControlSpec* spec = specOf(control);
  if (!spec) return nullptr;
  switch (spec->look) {
    case Look::Console:
      SetTextColor(dc, kConsoleText);
      SetBkColor(dc, kConsoleBack);
      return consoleBrush();
    case Look::TransparentLabel:
      SetBkMode(dc, TRANSPARENT);
      return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    case Look::Plain:
      break;
  }
  return nullptr;
}

// 编辑框3 lives inside the group box, so its colour requests go to the group
// box: hand them on to the window that knows the colours.
LRESULT CALLBACK groupBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                              DWORD_PTR) {
  if (message == WM_CTLCOLOREDIT || message == WM_CTLCOLORSTATIC)
    return SendMessageA(GetParent(box), message, wParam, lParam);
  return DefSubclassProc(box, message, wParam, lParam);
}

void configureFileDialog(control::FileOpenDialog& dialog) {
  dialog.title = "请选择install.wim安装源";
  dialog.filter = "Windows安装文件(*.Wim)|*.Wim";
  dialog.defaultExtension = ".Gho";
  // OFN_NOCHANGEDIR stays off: the dialog may change the current folder.
  dialog.flags =
      OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
}

bool createControls(HWND window) {
  MainForm& form = g_form;
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
  HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  for (const ControlSpec& spec : kControls) {
    HWND parent = spec.inGroupBox ? form.分组框2 : window;
    int height = spec.height;
    if (lstrcmpA(spec.className, WC_COMBOBOXA) == 0) height += kDroppedListHeight;
    HWND control = CreateWindowExA(
        spec.exStyle, spec.className, spec.text, spec.style, spec.left, spec.top, spec.width,
        height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance, nullptr);
    if (!control) return false;
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    form.*spec.slot = control;
  }
  // The selection field keeps the form's height whatever the font; the
  // field's frame adds 6 pixels to the item height.
  for (HWND combo : {form.组合框1, form.组合框2, form.组合框3})
    SendMessageA(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), kComboFieldHeight - 6);

  SendMessageA(form.进度条1, PBM_SETRANGE32, 0, 100);
  SendMessageA(form.进度条1, PBM_SETPOS, 0, 0);
  control::setChecked(form.选择框1, true);
  SetWindowSubclass(form.分组框2, groupBoxProc, 0, 0);

  form.时钟1 = {window, ids::时钟1, 0};
  form.时钟2 = {window, ids::时钟2, 0};
  form.时钟3 = {window, ids::时钟3, 0};
  configureFileDialog(form.通用对话框1);
  return true;
}

BOOL onCreate(HWND window, LPCREATESTRUCTA) {
  g_form.window = window;
  if (!createControls(window)) return FALSE;
  return TRUE;
}

void onCommand(HWND, int id, HWND, UINT code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case ids::按钮1:
      onBrowseClicked(g_form);
      break;
    case ids::按钮3:
      onInstallClicked(g_form);
      break;
    case ids::按钮2:
      onExitClicked();
      break;
    case IDCANCEL:
      // Esc, after the focused control had its chance to use the key.
      PostMessageA(g_form.window, WM_CLOSE, 0, 0);
      break;
    default:
      // IDOK (Enter) does nothing: it must not move the focus.
      break;
  }
}

void onTimer(HWND, UINT id) {
  switch (id) {
    case ids::时钟1:
      onCompletionTick(g_form);
      break;
    case ids::时钟2:
      onProgressTick(g_form);
      break;
    case ids::时钟3:
      onClockTick(g_form);
      break;
    default:
      break;
  }
}

void onDestroy(HWND) {
  CloseConsole();
  PostQuitMessage(0);
}

BOOL onSetCursor(HWND window, HWND cursorWindow, UINT hitTest, UINT message) {
  if (cursorWindow == g_form.透明标签5) {
    SetCursor(LoadCursor(nullptr, IDC_HAND));
    return TRUE;
  }
  return FORWARD_WM_SETCURSOR(window, cursorWindow, hitTest, message, DefWindowProcA);
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    HANDLE_MSG(window, WM_CREATE, onCreate);
    HANDLE_MSG(window, WM_COMMAND, onCommand);
    HANDLE_MSG(window, WM_TIMER, onTimer);
    HANDLE_MSG(window, WM_DESTROY, onDestroy);
    HANDLE_MSG(window, WM_SETCURSOR, onSetCursor);
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
      if (HBRUSH brush =
              controlColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)))
        return reinterpret_cast<LRESULT>(brush);
      break;
    case WM_HELP:
      return TRUE;  // F1 does nothing
    case WM_SYSCOMMAND:
      // While installing, the Close entry is grey. Windows then ignores the
      // close box and Alt+F4 by itself; Wine does not, so ignore them here.
      // Esc still closes the window: it does not go through this command.
      if ((wParam & 0xFFF0) == SC_CLOSE && !isCloseEnabled(window)) return 0;
      break;
    case kConsoleResultMessage:
      onConsoleResult(g_form, static_cast<int>(wParam), static_cast<long>(lParam));
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

MainForm& mainForm() { return g_form; }

void setInputsDisabled(MainForm& form, bool disabled) {
  for (HWND control : {form.按钮1, form.按钮2, form.按钮3, form.编辑框1, form.选择框1, form.组合框1,
                       form.组合框2, form.组合框3})
    control::setDisabled(control, disabled);
}

HWND createMainWindow(HINSTANCE instance) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = mainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_ROAMDECK));
  windowClass.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_ROAMDECK),
                                                      IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                      GetSystemMetrics(SM_CYSMICON), 0));
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = ids::kMainWindowClass;
  if (!RegisterClassExA(&windowClass)) return nullptr;

  int left = (GetSystemMetrics(SM_CXSCREEN) - kOuterWidth) / 2;
  int top = (GetSystemMetrics(SM_CYSCREEN) - kOuterHeight) / 2;
  // Fixed border, minimise box, no maximise box.
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
#ifdef ROAMDECK_TEST_FAIL_WINDOW_CREATION
  // Test build: ask for a class that does not exist, so that creation really
  // fails and the start-up failure path runs.
  const char* className = "RoamdeckNoSuchWindowClass";
#else
  const char* className = ids::kMainWindowClass;
#endif
  HWND window = CreateWindowExA(WS_EX_CONTROLPARENT, className, kTitle, style, left, top,
                                kOuterWidth, kOuterHeight, nullptr, nullptr, instance, nullptr);
  if (!window) return nullptr;
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(windowClass.hIcon));
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(windowClass.hIconSm));
  // The "created" event: after every control exists, before the loop runs.
  onMainWindowCreated(g_form);
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  return window;
}
