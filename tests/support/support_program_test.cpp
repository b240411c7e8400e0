// The support module seen from outside: the loopback build of the program
// started as usual and under a small debugger of the test's own, with an
// update page served on 127.0.0.1 by the test.
#include "tests/support/loopback_server.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/gui/gui_driver.h"

namespace {

using support_test::LoopbackServer;

const char kProgram[] = "roamdeck_loopback.exe";
const std::string kMainTitle = "Roamdeck - Lantrel";
const std::string kPageUrl = "http://127.0.0.1:47931/kestrune/update.html";
constexpr LONG kAttachedStyle = 0x10CF0000;

// The style as the module sets it. The window manager keeps WS_CLIPSIBLINGS
// on every top-level window, whatever SetWindowLong asks for.
LONG styleOf(HWND window) { return GetWindowLongA(window, GWL_STYLE) & ~WS_CLIPSIBLINGS; }
const std::string kAgreement =
    "                 Kestrune模块使用协议\r\n\r\n"
    "1、本模块无任何第三方插件或二次封装其它模块，绝对安全。\r\n"
    "2、模块或BUG编写出来的软件缺陷，产生的损失自行承担。\r\n"
    "3、使用本模块编写的恶意插件、病毒、木马等程序，涉及的\r\n"
    "法律责任自负与本模块无关。";

std::string updatePage(const std::string& version) {
  return std::string(u8"<html><body><table><tr><td>最新版本:") + version +
         u8"</td></tr><tr><td>发布时间: 2026-12-01 10:00 </td></tr>"
         u8"<tr><td>文件大小:1536</td></tr>"
         u8"<tr><td>下载地址:http://127.0.0.1:47931/kestrune/module.zip</td></tr>"
         u8"</table><div>下载地址说明</div>"
         u8"<p>修正&nbsp;A</p>\n<p>修正B&amp;C</p>\n<p>跨\n行</p>"
         u8"<div>Copyright 2026</div></body></html>";
}

// The program under a debugger: the thread that starts it runs the debug
// loop, lets the first breakpoint pass and hands every other exception back
// to the program, so that its own handlers see them.
class DebuggedProgram {
 public:
  explicit DebuggedProgram(const std::string& exeName) {
    std::promise<PROCESS_INFORMATION> started;
    std::future<PROCESS_INFORMATION> startedFuture = started.get_future();
    thread_ = std::thread([this, exeName, &started] { debugLoop(exeName, started); });
    process_ = startedFuture.get();
  }
  ~DebuggedProgram() {
    if (process_.hProcess && !exited_) TerminateProcess(process_.hProcess, 1);
    if (thread_.joinable()) thread_.join();
    if (process_.hProcess) CloseHandle(process_.hProcess);
    if (process_.hThread) CloseHandle(process_.hThread);
  }
  bool started() const { return process_.hProcess != nullptr; }
  DWORD id() const { return process_.dwProcessId; }
  HANDLE handle() const { return process_.hProcess; }
  DWORD waitForExit(DWORD timeoutMs = 15000) const {
    gui::waitUntil([&] { return exited_.load(); }, timeoutMs);
    return exited_ ? exitCode_.load() : STILL_ACTIVE;
  }

 private:
  void debugLoop(const std::string& exeName, std::promise<PROCESS_INFORMATION>& started) {
    std::string commandLine = "\"" + gui::exeFolder() + exeName + "\"";
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                        nullptr, nullptr, &startup, &process)) {
      started.set_value(PROCESS_INFORMATION{});
      return;
    }
    started.set_value(process);
    bool firstBreakpoint = true;
    DWORD start = GetTickCount();
    // Bounded: a program still running after two minutes goes with this
    // thread (the debugger's end kills it).
    while (GetTickCount() - start < 120000) {
      DEBUG_EVENT event = {};
      if (!WaitForDebugEvent(&event, 100)) continue;
      DWORD status = DBG_CONTINUE;
      switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
          if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
          break;
        case LOAD_DLL_DEBUG_EVENT:
          if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
          break;
        case EXCEPTION_DEBUG_EVENT:
          if (firstBreakpoint &&
              event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT) {
            firstBreakpoint = false;
          } else {
            status = DBG_EXCEPTION_NOT_HANDLED;
          }
          break;
        case EXIT_PROCESS_DEBUG_EVENT:
          exitCode_ = event.u.ExitProcess.dwExitCode;
          exited_ = true;
          ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
          return;
        default:
          break;
      }
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
  }

  PROCESS_INFORMATION process_ = {};
  std::thread thread_;
  std::atomic<bool> exited_{false};
  std::atomic<DWORD> exitCode_{STILL_ACTIVE};
};

struct WindowQuery {
  DWORD processId;
  const char* className;
  std::string title;
  HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
  WindowQuery* query = reinterpret_cast<WindowQuery*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != query->processId || !IsWindowVisible(window)) return TRUE;
  if (query->className && gui::className(window) != query->className) return TRUE;
  if (gui::text(window) != query->title) return TRUE;
  query->found = window;
  return FALSE;
}

// A visible top-level window of the process, now (no waiting).
HWND visibleWindow(DWORD processId, const char* className, const std::string& title) {
  WindowQuery query = {processId, className, title, nullptr};
  EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&query));
  return query.found;
}

HWND waitForVisibleWindow(DWORD processId, const char* className, const std::string& title,
                          DWORD timeoutMs = 15000) {
  HWND found = nullptr;
  gui::waitUntil([&] { return (found = visibleWindow(processId, className, title)) != nullptr; },
                 timeoutMs);
  return found;
}

// The hidden interpreters the program started.
std::vector<DWORD> consolesOf(DWORD processId) {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (entry.th32ParentProcessID == processId && lstrcmpiA(entry.szExeFile, "cmd.exe") == 0)
      ids.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return ids;
}

bool processEnded(DWORD processId) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (!process) return true;
  bool ended = WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// Watches the main window until the process ends: true when it was ever made
// layered, that is, when it faded out.
template <typename Program>
bool fadedBeforeExit(const Program& program, HWND mainWindow) {
  bool layered = false;
  DWORD start = GetTickCount();
  while (WaitForSingleObject(program.handle(), 1) == WAIT_TIMEOUT &&
         GetTickCount() - start < 15000) {
    if (IsWindow(mainWindow) && (GetWindowLongA(mainWindow, GWL_EXSTYLE) & WS_EX_LAYERED))
      layered = true;
  }
  return layered;
}

HWND startAttached(DebuggedProgram& program) {
  HWND mainWindow = waitForVisibleWindow(program.id(), nullptr, kMainTitle);
  if (!mainWindow) return nullptr;
  bool attached = gui::waitUntil([&] { return styleOf(mainWindow) == kAttachedStyle; }, 8000);
  return attached ? mainWindow : nullptr;
}

TEST(SupportModule, StaysInactiveInAnOrdinaryRun) {
  LoopbackServer server(updatePage("V3.10"));
  ASSERT_TRUE(server.listening());
  gui::Program program(kProgram);
  ASSERT_TRUE(program.started());
  HWND mainWindow = waitForVisibleWindow(program.id(), nullptr, kMainTitle);
  ASSERT_TRUE(mainWindow);
  LONG style = GetWindowLongA(mainWindow, GWL_STYLE);
  EXPECT_NE(styleOf(mainWindow), kAttachedStyle);
  Sleep(2000);  // past the moment the module would attach
  EXPECT_EQ(GetWindowLongA(mainWindow, GWL_STYLE), style);

  PostMessageA(mainWindow, WM_SYSCOMMAND, 4, 0);
  Sleep(700);
  EXPECT_EQ(visibleWindow(program.id(), "#32770", "使用协议"), nullptr);

  std::vector<DWORD> consoles = consolesOf(program.id());
  EXPECT_EQ(consoles.size(), 1u);
  PostMessageA(mainWindow, WM_CLOSE, 0, 0);
  EXPECT_FALSE(fadedBeforeExit(program, mainWindow));
  EXPECT_EQ(program.waitForExit(), 0u);
  for (DWORD console : consoles) EXPECT_TRUE(processEnded(console));
  EXPECT_TRUE(server.requests().empty());
}

TEST(SupportModule, AttachesUnderADebuggerAndShowsTheAgreement) {
  LoopbackServer server(updatePage("V3.00"));
  ASSERT_TRUE(server.listening());
  DebuggedProgram program(kProgram);
  ASSERT_TRUE(program.started());
  HWND mainWindow = waitForVisibleWindow(program.id(), nullptr, kMainTitle);
  ASSERT_TRUE(mainWindow);
  EXPECT_NE(styleOf(mainWindow), kAttachedStyle);
  ASSERT_TRUE(gui::waitUntil([&] { return styleOf(mainWindow) == kAttachedStyle; }, 8000));
  // The icon and the class cursor cannot be read across processes under
  // Wine; the in-process attach test checks them.

  // The worker asks for the update page with its address as User-Agent.
  ASSERT_TRUE(gui::waitUntil([&] { return server.pagesServed() == 1; }, 10000));
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /kestrune/update.html ", 0), 0u) << requests[0];
  EXPECT_EQ(support_test::headerValue(requests[0], "User-Agent"), kPageUrl);

  PostMessageA(mainWindow, WM_SYSCOMMAND, 4, 0);
  HWND box = waitForVisibleWindow(program.id(), "#32770", "使用协议", 5000);
  ASSERT_TRUE(box);
  EXPECT_EQ(gui::messageBoxText(box), kAgreement);
  HWND ok = GetDlgItem(box, IDOK);
  gui::click(ok ? ok : GetDlgItem(box, IDCANCEL));
  EXPECT_TRUE(gui::waitUntil([&] { return !IsWindow(box); }, 5000));

  // V3.00 is no update: closing fades the window out and ends the program.
  Sleep(300);
  std::vector<DWORD> consoles = consolesOf(program.id());
  EXPECT_EQ(consoles.size(), 1u);
  PostMessageA(mainWindow, WM_CLOSE, 0, 0);
  EXPECT_TRUE(fadedBeforeExit(program, mainWindow));
  EXPECT_EQ(program.waitForExit(), 0u);
  for (DWORD console : consoles) EXPECT_TRUE(processEnded(console));
}

struct Child {
  std::string className;
  std::string text;
  RECT rect;
  HWND window;
};

BOOL CALLBACK collectChild(HWND window, LPARAM parameter) {
  auto* children = reinterpret_cast<std::vector<Child>*>(parameter);
  if (GetParent(window) == nullptr) return TRUE;
  children->push_back(
      {gui::className(window), gui::text(window), gui::rectInParent(window), window});
  return TRUE;
}

TEST(SupportModule, OffersAPublishedNewerVersionOnClose) {
  LoopbackServer server(updatePage("V3.10"));
  ASSERT_TRUE(server.listening());
  DebuggedProgram program(kProgram);
  ASSERT_TRUE(program.started());
  HWND mainWindow = startAttached(program);
  ASSERT_TRUE(mainWindow);
  ASSERT_TRUE(gui::waitUntil([&] { return server.pagesServed() == 1; }, 10000));
  Sleep(500);  // the worker compares and publishes after the page arrived

  std::vector<DWORD> consoles = consolesOf(program.id());
  EXPECT_EQ(consoles.size(), 1u);
  PostMessageA(mainWindow, WM_CLOSE, 0, 0);
  HWND update = waitForVisibleWindow(program.id(), "MyWindowClass", "模块更新信息", 8000);
  ASSERT_TRUE(update);
  EXPECT_FALSE(IsWindowVisible(mainWindow));
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(update, GWL_STYLE)), 0x16CA0000u);

  std::vector<Child> children;
  EnumChildWindows(update, collectChild, reinterpret_cast<LPARAM>(&children));
  ASSERT_EQ(children.size(), 9u);
  struct Expected {
    const char* className;
    std::string text;
    RECT rect;
  };
  const Expected expected[] = {
      {"Static", "", {2, 2, 0, 0}},
      {"Static", "当前版本：V3.00", {130, 5, 266, 25}},
      {"Static", "最新版本：V3.10", {130, 25, 266, 45}},
      {"Static", "更新时间：2026-12-01 10:00", {270, 25, 410, 45}},
      {"Edit", "修正A\r\n修正B&amp;C\r\n", {130, 50, 410, 218}},
      {"msctls_progress32", "", {130, 220, 410, 235}},
      {"Static", "大小：1.50 KB", {130, 245, 245, 265}},
      {"Button", "下载(&B)", {245, 245, 315, 265}},
      {"Button", "取消(&C)", {330, 245, 400, 265}},
  };
  for (std::size_t i = 0; i < 9; ++i) {
    SCOPED_TRACE("child " + std::to_string(i + 1));
    EXPECT_EQ(children[i].className, expected[i].className);
    EXPECT_EQ(children[i].text, expected[i].text);
    EXPECT_EQ(children[i].rect.left, expected[i].rect.left);
    EXPECT_EQ(children[i].rect.top, expected[i].rect.top);
    if (i == 0) continue;  // the picture label takes the picture's size
    EXPECT_EQ(children[i].rect.right, expected[i].rect.right);
    EXPECT_EQ(children[i].rect.bottom, expected[i].rect.bottom);
  }
  // The picture is shown at its own size.
  EXPECT_NE(SendMessageA(children[0].window, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
  EXPECT_EQ(children[0].rect.right - children[0].rect.left, 126);
  EXPECT_EQ(children[0].rect.bottom - children[0].rect.top, 283);

  // Cancel ends the program at once, without the fade.
  gui::click(children[8].window);
  EXPECT_FALSE(fadedBeforeExit(program, mainWindow));
  EXPECT_EQ(program.waitForExit(), 0u);
  for (DWORD console : consoles) EXPECT_TRUE(processEnded(console));
}

TEST(SupportModule, ClosingTheUpdateWindowEndsTheProgram) {
  LoopbackServer server(updatePage("V3.10"));
  ASSERT_TRUE(server.listening());
  DebuggedProgram program(kProgram);
  ASSERT_TRUE(program.started());
  HWND mainWindow = startAttached(program);
  ASSERT_TRUE(mainWindow);
  ASSERT_TRUE(gui::waitUntil([&] { return server.pagesServed() == 1; }, 10000));
  Sleep(500);
  std::vector<DWORD> consoles = consolesOf(program.id());
  PostMessageA(mainWindow, WM_CLOSE, 0, 0);
  HWND update = waitForVisibleWindow(program.id(), "MyWindowClass", "模块更新信息", 8000);
  ASSERT_TRUE(update);
  PostMessageA(update, WM_CLOSE, 0, 0);
  EXPECT_FALSE(fadedBeforeExit(program, mainWindow));
  EXPECT_EQ(program.waitForExit(), 0u);
  for (DWORD console : consoles) EXPECT_TRUE(processEnded(console));
}

// Pages that offer nothing, and no server at all: closing fades out and ends.
void expectNoOffer(const std::string* page) {
  std::unique_ptr<LoopbackServer> server;
  if (page) {
    server = std::make_unique<LoopbackServer>(*page);
    ASSERT_TRUE(server->listening());
  }
  DebuggedProgram program(kProgram);
  ASSERT_TRUE(program.started());
  HWND mainWindow = startAttached(program);
  ASSERT_TRUE(mainWindow);
  if (server) {
    ASSERT_TRUE(gui::waitUntil([&] { return server->pagesServed() == 1; }, 10000));
  }
  Sleep(800);
  std::vector<DWORD> consoles = consolesOf(program.id());
  PostMessageA(mainWindow, WM_CLOSE, 0, 0);
  EXPECT_TRUE(fadedBeforeExit(program, mainWindow));
  EXPECT_EQ(visibleWindow(program.id(), "MyWindowClass", "模块更新信息"), nullptr);
  EXPECT_EQ(program.waitForExit(), 0u);
  for (DWORD console : consoles) EXPECT_TRUE(processEnded(console));
}

TEST(SupportModule, NoOfferForAVersionThatSortsBefore) {
  std::string page = updatePage("V10.00");
  expectNoOffer(&page);
}

TEST(SupportModule, NoOfferForAPageWithoutMarkers) {
  std::string page = "<html><body><p>maintenance</p></body></html>";
  expectNoOffer(&page);
}

TEST(SupportModule, NoOfferWhenTheMarkersFollowAForeignCharacter) {
  std::string page = "<p>\xE0\xB8\x81</p>" + updatePage("V3.10");  // Thai ko kai first
  expectNoOffer(&page);
}

TEST(SupportModule, NoOfferWithoutAServer) { expectNoOffer(nullptr); }

}  // namespace
