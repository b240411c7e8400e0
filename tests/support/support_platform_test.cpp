// The support module's platform parts, in-process, against what Wine
// provides: utilities, embedded files, the update check against a loopback
// server, and the system-menu hook on a window of the test's own.
#include "tests/support/loopback_server.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/support_internal.h"
#include "tests/wine/pump.h"

namespace {

using support_test::LoopbackServer;

const std::string kPageUrl = "http://127.0.0.1:47931/kestrune/update.html";

// An update page as the publisher writes it, in UTF-8 (u8 literals: plain
// ones are GBK in this build).
std::string updatePage(const std::string& version) {
  return std::string(u8"<html><body><table><tr><td>最新版本:") + version +
         u8"</td></tr><tr><td>发布时间: 2026-12-01 10:00 </td></tr>"
         u8"<tr><td>文件大小:1536</td></tr>"
         u8"<tr><td>下载地址:http://127.0.0.1:47931/kestrune/module.zip</td></tr>"
         u8"</table><div>下载地址说明</div>"
         u8"<p>修正&nbsp;A</p>\n<p>修正B&amp;C</p>\n<p>跨\n行</p>"
         u8"<div>Copyright 2026</div></body></html>";
}

TEST(SupportUtilities, ShellSelectorTablesFallBackToOpenAndShow) {
  EXPECT_STREQ(shellVerb(1), "Open");
  EXPECT_STREQ(shellVerb(2), "print");
  EXPECT_STREQ(shellVerb(3), "explore");
  EXPECT_STREQ(shellVerb(0), "Open");
  EXPECT_STREQ(shellVerb(4), "Open");
  EXPECT_EQ(shellShowCommand(1), SW_HIDE);
  EXPECT_EQ(shellShowCommand(2), SW_SHOW);
  EXPECT_EQ(shellShowCommand(3), SW_SHOWMINIMIZED);
  EXPECT_EQ(shellShowCommand(4), SW_SHOWMAXIMIZED);
  EXPECT_EQ(shellShowCommand(0), SW_SHOW);
  EXPECT_EQ(shellShowCommand(5), SW_SHOW);
}

TEST(SupportUtilities, UnescapeUrlDecodesTheContactLink) {
  EXPECT_EQ(unescapeUrl(kEncodedContactLink),
            "http://127.0.0.1:47931/kestrune/contact?v=3&site=module");
  EXPECT_EQ(unescapeUrl("a%3Ab%2Fc%3Fd%3De%26f"), "a:b/c?d=e&f");
}

TEST(SupportUtilities, FormatByteSizeShort) {
  ASSERT_EQ(GetACP(), 936u);
  EXPECT_EQ(formatByteSizeShort(1536), "1.50 KB");
  EXPECT_EQ(formatByteSizeShort(0), "0");
  EXPECT_EQ(formatByteSizeShort(500), "500 B");
}

TEST(SupportUtilities, Utf8ToCp936StopsAtTheFirstForeignCharacter) {
  EXPECT_EQ(utf8ToCp936(""), "");
  EXPECT_EQ(utf8ToCp936(u8"最新版本:V3.10"), "最新版本:V3.10");
  // UTF-8 bytes of 最 (E6 9C 80) become GBK D7 EE.
  EXPECT_EQ(utf8ToCp936("\xE6\x9C\x80"
                        "A"),
            "\xD7\xEE"
            "A");
  // Thai ko kai (E0 B8 81) has no GBK form: the text ends before it.
  EXPECT_EQ(utf8ToCp936("ab\xE0\xB8\x81"
                        "cd"),
            "ab");
  // An invalid sequence ends it too.
  EXPECT_EQ(utf8ToCp936("ab\xFF"
                        "cd"),
            "ab");
}

TEST(SupportUtilities, WaitMillisecondsWaitsAtLeastThatLong) {
  LARGE_INTEGER frequency, before, after;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&before);
  waitMilliseconds(40);
  QueryPerformanceCounter(&after);
  EXPECT_GE((after.QuadPart - before.QuadPart) * 1000, 40 * frequency.QuadPart);
}

TEST(SupportUtilities, FindsItsOwnProcessAndWindow) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name = strrchr(path, '\\') + 1;
  std::string upper = name;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  EXPECT_EQ(findProcessIdByExeName(upper), GetCurrentProcessId());
  EXPECT_EQ(findProcessIdByExeName("no-such-program-here.exe"), 0u);

  HWND window = CreateWindowExA(0, "Static", "support finder", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10,
                                10, 200, 100, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);
  HWND found = findTopLevelWindowOfProcess(GetCurrentProcessId());
  ASSERT_TRUE(found);
  EXPECT_EQ(GetParent(found), nullptr);
  DWORD owner = 0;
  GetWindowThreadProcessId(found, &owner);
  EXPECT_EQ(owner, GetCurrentProcessId());
  EXPECT_EQ(findTopLevelWindowOfProcess(0xFFFFFFF0u), nullptr);
  DestroyWindow(window);
}

TEST(SupportUtilities, SetWindowAlphaMakesTheWindowLayered) {
  HWND window = CreateWindowExA(0, "Static", "alpha", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200,
                                100, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);
  setWindowAlpha(window, 77);
  EXPECT_TRUE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_LAYERED);
  BYTE alpha = 0;
  DWORD flags = 0;
  ASSERT_TRUE(GetLayeredWindowAttributes(window, nullptr, &alpha, &flags));
  EXPECT_EQ(alpha, 77);
  EXPECT_TRUE(flags & LWA_ALPHA);
  DestroyWindow(window);
}

TEST(SupportFiles, SmallIconAndCursorBecomeIcons) {
  ByteBlob icon = smallIconFile();
  ASSERT_GT(icon.size, 22u);
  EXPECT_EQ(icon.data[2], 1);    // ICO
  EXPECT_EQ(icon.data[6], 24);   // 24 x 24
  EXPECT_EQ(icon.data[12], 32);  // 32 bits per pixel
  HICON smallIcon = iconFromIconFile(icon);
  ASSERT_TRUE(smallIcon);
  DestroyIcon(smallIcon);

  ByteBlob cursor = cursorFile();
  ASSERT_GT(cursor.size, 22u);
  EXPECT_EQ(cursor.data[2], 2);   // CUR
  EXPECT_EQ(cursor.data[6], 32);  // 32 x 32
  EXPECT_EQ(cursor.data[10], 3);  // hotspot (3, 2) in the file
  EXPECT_EQ(cursor.data[12], 2);
  HICON fromCursor = iconFromIconFile(cursor);
  ASSERT_TRUE(fromCursor);
  ICONINFO info = {};
  ASSERT_TRUE(GetIconInfo(fromCursor, &info));
  BITMAP mask = {};
  GetObjectA(info.hbmMask, sizeof mask, &mask);
  // Made as an icon: the hotspot is the centre, not the file's (3, 2).
  EXPECT_TRUE(info.fIcon);
  EXPECT_EQ(info.xHotspot, static_cast<DWORD>(mask.bmWidth / 2));
  if (info.hbmMask) DeleteObject(info.hbmMask);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  DestroyIcon(fromCursor);
}

TEST(SupportFiles, BrokenIconFilesGiveNoIcon) {
  EXPECT_EQ(iconFromIconFile(ByteBlob{}), nullptr);
  const unsigned char noImages[] = {0, 0, 1, 0, 0, 0};
  EXPECT_EQ(iconFromIconFile(ByteBlob{noImages, sizeof noImages}), nullptr);
  // One entry whose image lies far beyond the bytes.
  const unsigned char outside[] = {0, 0,  1, 0, 1, 0, 16, 16, 0, 0, 1,
                                   0, 32, 0, 0, 1, 0, 0,  0,  0, 1, 0};
  EXPECT_EQ(iconFromIconFile(ByteBlob{outside, sizeof outside}), nullptr);
}

TEST(SupportFiles, UpdatePictureIsA126By283Bitmap) {
  ByteBlob picture = updatePictureFile();
  ASSERT_GT(picture.size, 4u);
  EXPECT_EQ(picture.data[0], 0xFF);
  EXPECT_EQ(picture.data[1], 0xD8);
  HBITMAP bitmap = bitmapFromImageBytes(picture, 0, 0);
  ASSERT_TRUE(bitmap);
  BITMAP info = {};
  ASSERT_TRUE(GetObjectA(bitmap, sizeof info, &info));
  EXPECT_EQ(info.bmWidth, 126);
  EXPECT_EQ(info.bmHeight, 283);
  DeleteObject(bitmap);
  EXPECT_EQ(bitmapFromImageBytes(ByteBlob{}, 0, 0), nullptr);
  const unsigned char junk[] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(bitmapFromImageBytes(ByteBlob{junk, sizeof junk}, 0, 0), nullptr);
}

TEST(FetchUrlText, ReadsTheBodyAndSendsTheAddressAsUserAgent) {
  std::string body(5000, 'x');
  body += "end";
  LoopbackServer server(body, 20000);
  ASSERT_TRUE(server.listening());
  EXPECT_EQ(fetchUrlText(kPageUrl), body);
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /kestrune/update.html ", 0), 0u) << requests[0];
  EXPECT_EQ(support_test::headerValue(requests[0], "User-Agent"), kPageUrl);
}

TEST(FetchUrlText, StopsAtANulByte) {
  LoopbackServer server(std::string("before\0after", 12), 20000);
  ASSERT_TRUE(server.listening());
  EXPECT_EQ(fetchUrlText(kPageUrl), "before");
}

TEST(FetchUrlText, IsEmptyWithoutAServer) { EXPECT_EQ(fetchUrlText(kPageUrl), ""); }

// One test, in order: the flag is never reset once it turned true.
TEST(RunUpdateCheck, OffersOnlyAVersionThatSortsAfterTheOwnOne) {
  moduleVersion = "V3.00";
  struct Case {
    std::string page;
    const char* expectedVersion;
  };
  const Case noUpdates[] = {
      {updatePage("V3.00"), "V3.00"},
      {updatePage("v3.00"), "v3.00"},
      {updatePage("V2.99"), "V2.99"},
      {updatePage("V10.00"), "V10.00"},
      {"<html><body>maintenance</body></html>", ""},
      // Thai text before the markers cuts the page there.
      {"<p>\xE0\xB8\x81</p>" + updatePage("V3.10"), ""},
  };
  for (const Case& item : noUpdates) {
    LoopbackServer server(item.page, 20000);
    ASSERT_TRUE(server.listening());
    runUpdateCheck(nullptr);
    EXPECT_EQ(latestVersion, item.expectedVersion);
    EXPECT_FALSE(isUpdateAvailable()) << item.expectedVersion;
  }
  // No server at all: the probe fails, nothing is fetched.
  latestVersion = "untouched";
  runUpdateCheck(nullptr);
  EXPECT_EQ(latestVersion, "untouched");
  EXPECT_FALSE(isUpdateAvailable());

  LoopbackServer server(updatePage("  V3.10 "), 20000);
  ASSERT_TRUE(server.listening());
  runUpdateCheck(nullptr);
  EXPECT_TRUE(isUpdateAvailable());
  EXPECT_EQ(latestVersion, "V3.10");
  EXPECT_EQ(releaseTime, "2026-12-01 10:00");
  EXPECT_EQ(fileSizeText, "1536");
  EXPECT_EQ(downloadAddress, "http://127.0.0.1:47931/kestrune/module.zip");
  EXPECT_NE(updatePageText.find("Copyright"), std::string::npos);
}

// The window the hook is installed on: records what reaches the previous
// procedure and answers everything itself, so that no move loop starts.
std::vector<std::pair<UINT, WPARAM>> g_received;

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SYSCOMMAND || message == WM_COMMAND || message == WM_APP) {
    g_received.emplace_back(message, wParam);
    return message == WM_APP ? 1234 : 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

std::string menuText(HMENU menu, int position) {
  char text[128] = {};
  GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
  return text;
}

TEST(SystemMenuHook, AddsTheEntriesHooksTheWindowAndStartsTheWorker) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = recordingProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "SupportHookTestWindow";
  ASSERT_TRUE(RegisterClassA(&windowClass));
  HWND window =
      CreateWindowExA(0, "SupportHookTestWindow", "hook", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20,
                      300, 200, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);

  HMENU menu = GetSystemMenu(window, FALSE);
  ASSERT_TRUE(menu);
  int before = GetMenuItemCount(menu);
  ASSERT_GE(before, 2);
  std::vector<UINT> idsBefore;
  for (int i = 0; i < before; ++i) idsBefore.push_back(GetMenuItemID(menu, i));
  std::vector<UINT> expectedKept = idsBefore;
  expectedKept.erase(expectedKept.begin() + (before - 2));

  LoopbackServer server(updatePage("V3.10"), 20000);
  ASSERT_TRUE(server.listening());
  moduleMainWindow = window;
  installSystemMenuHook(window);

  menu = GetSystemMenu(window, FALSE);
  int after = GetMenuItemCount(menu);
  ASSERT_EQ(after, before - 1 + 4);
  for (int i = 0; i < before - 1; ++i)
    EXPECT_EQ(GetMenuItemID(menu, i), expectedKept[i]) << "position " << i;
  struct Expected {
    UINT type;
    UINT id;
    const char* text;
  };
  const Expected tail[] = {{MFT_SEPARATOR, 1, ""},
                           {MFT_STRING, kMenuContactId, "提交BUG(&E)"},
                           {MFT_SEPARATOR, 3, ""},
                           {MFT_STRING, kMenuAgreementId, "使用协议(&F)"}};
  for (int i = 0; i < 4; ++i) {
    int position = after - 4 + i;
    MENUITEMINFOA item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_FTYPE | MIIM_STATE;
    ASSERT_TRUE(GetMenuItemInfoA(menu, position, TRUE, &item));
    EXPECT_EQ(item.fType & MFT_SEPARATOR, tail[i].type) << "position " << position;
    if (tail[i].type == MFT_STRING) {
      EXPECT_EQ(GetMenuItemID(menu, position), tail[i].id);
      EXPECT_EQ(menuText(menu, position), tail[i].text);
      EXPECT_TRUE(item.fState & MFS_CHECKED) << tail[i].text;
    }
  }

  // The hook sits in front of the old procedure and passes messages on.
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_WNDPROC),
            reinterpret_cast<LONG_PTR>(hookedMainWindowProc));
  EXPECT_EQ(previousWindowProc, recordingProc);
  g_received.clear();
  EXPECT_EQ(SendMessageA(window, WM_APP, 7, 0), 1234);
  SendMessageA(window, WM_COMMAND, SC_MOVE, 0);
  SendMessageA(window, WM_COMMAND, 10001, 0);
  SendMessageA(window, WM_COMMAND, 30001, 0);
  SendMessageA(window, WM_COMMAND, 555, 0);
  SendMessageA(window, WM_SYSCOMMAND, 0xF123, 0);
  const std::vector<std::pair<UINT, WPARAM>> expected = {
      {WM_APP, 7},           {WM_SYSCOMMAND, SC_MOVE},
      {WM_COMMAND, SC_MOVE}, {WM_SYSCOMMAND, 10001},
      {WM_COMMAND, 10001},   {WM_COMMAND, 30001},
      {WM_COMMAND, 555},     {WM_SYSCOMMAND, 0xF123}};
  EXPECT_EQ(g_received, expected);

  // The worker was started and kept: it fetches the page and offers V3.10.
  ASSERT_TRUE(updateWorkerThread);
  ASSERT_EQ(WaitForSingleObject(updateWorkerThread, 15000), WAIT_OBJECT_0);
  EXPECT_EQ(server.pagesServed(), 1);
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(support_test::headerValue(requests[0], "User-Agent"), kPageUrl);

  // Restore the window's own procedure before it goes.
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordingProc));
  DestroyWindow(window);
  moduleMainWindow = nullptr;
}

LRESULT CALLBACK plainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

// The attach step on a window of the test: the process's first top-level
// window in Z order gets the icon, the cursor, the style and the hook.
TEST(AttachToMainWindow, DressesTheFirstVisibleTopLevelWindow) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = plainProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.lpszClassName = "SupportAttachTestWindow";
  ASSERT_TRUE(RegisterClassA(&windowClass));
  HWND window =
      CreateWindowExA(0, "SupportAttachTestWindow", "attach", WS_POPUP | WS_CAPTION | WS_VISIBLE,
                      30, 30, 300, 200, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  ASSERT_EQ(findTopLevelWindowOfProcess(GetCurrentProcessId()), window);
  LONG_PTR classCursor = GetClassLongPtrA(window, GCLP_HCURSOR);
  EXPECT_EQ(SendMessageA(window, WM_GETICON, ICON_SMALL, 0), 0);

  startTimerId = SetTimer(nullptr, 0, 60000, attachToMainWindow);
  ASSERT_NE(startTimerId, 0u);
  attachToMainWindow(nullptr, WM_TIMER, startTimerId, 0);

  EXPECT_EQ(moduleMainWindow, window);
  EXPECT_NE(SendMessageA(window, WM_GETICON, ICON_SMALL, 0), 0);
  LONG_PTR newCursor = GetClassLongPtrA(window, GCLP_HCURSOR);
  EXPECT_NE(newCursor, 0);
  EXPECT_NE(newCursor, classCursor);
  EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & ~WS_CLIPSIBLINGS, 0x10CF0000);
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_WNDPROC),
            reinterpret_cast<LONG_PTR>(hookedMainWindowProc));
  // The timer was killed: killing it again fails.
  EXPECT_FALSE(KillTimer(nullptr, startTimerId));

  // No server: the worker's probe fails and it ends.
  ASSERT_TRUE(updateWorkerThread);
  EXPECT_EQ(WaitForSingleObject(updateWorkerThread, 15000), WAIT_OBJECT_0);
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(plainProc));
  DestroyWindow(window);
  moduleMainWindow = nullptr;
}

TEST(AttachToMainWindow, LeavesAnInvisibleWindowAlone) {
  HWND window = CreateWindowExA(0, "Static", "hidden", WS_OVERLAPPED, 30, 30, 300, 200, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ASSERT_EQ(findTopLevelWindowOfProcess(GetCurrentProcessId()), window);
  LONG style = GetWindowLongA(window, GWL_STYLE);
  LONG_PTR procedure = GetWindowLongPtrA(window, GWLP_WNDPROC);
  startTimerId = SetTimer(nullptr, 0, 60000, attachToMainWindow);
  attachToMainWindow(nullptr, WM_TIMER, startTimerId, 0);
  EXPECT_EQ(moduleMainWindow, window);
  EXPECT_EQ(GetWindowLongA(window, GWL_STYLE), style);
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_WNDPROC), procedure);
  EXPECT_EQ(SendMessageA(window, WM_GETICON, ICON_SMALL, 0), 0);
  EXPECT_FALSE(KillTimer(nullptr, startTimerId));
  DestroyWindow(window);
  moduleMainWindow = nullptr;
}

// Counts this process's children of that name; with `end` set, also ends
// them, so that a failing run leaves nothing behind.
int childProcessesNamed(const char* name, bool end = false) {
  int count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (entry.th32ParentProcessID == GetCurrentProcessId() &&
        lstrcmpiA(entry.szExeFile, name) == 0) {
      ++count;
      if (HANDLE child =
              end ? OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID) : nullptr) {
        TerminateProcess(child, 1);
        CloseHandle(child);
      }
    }
  CloseHandle(snapshot);
  return count;
}

// The download button hands only web addresses to the shell: a page that
// names a program file gets nothing started. The window is left through
// WM_QUIT (its close box would end the test process).
TEST(UpdateWindow, DownloadButtonOpensOnlyWebAddresses) {
  HWND owner = CreateWindowExA(0, "Static", "owner", WS_OVERLAPPEDWINDOW, 0, 0, 420, 300, nullptr,
                               nullptr, nullptr, nullptr);
  ASSERT_TRUE(owner);
  moduleMainWindow = owner;
  moduleVersion = "V3.00";
  latestVersion = "V3.10";
  releaseTime = "now";
  fileSizeText = "1536";
  downloadAddress = "file:///C:/windows/system32/cmd.exe";
  std::string page = utf8ToCp936(updatePage("V3.10"));
  ASSERT_EQ(childProcessesNamed("cmd.exe"), 0);

  DWORD testThread = GetCurrentThreadId();
  std::atomic<bool> clicked{false};
  std::atomic<int> started{-1};
  std::thread user([&] {
    // The window appears before its children: wait for the button itself.
    HWND button = nullptr;
    for (int i = 0; i < 200 && !button; ++i) {
      Sleep(25);
      HWND update = FindWindowA("MyWindowClass", "模块更新信息");
      if (update) button = FindWindowExA(update, nullptr, "Button", "下载(&B)");
    }
    if (button) {
      SendMessageA(button, BM_CLICK, 0, 0);
      clicked = true;
      Sleep(1500);
      started = childProcessesNamed("cmd.exe", true);
    }
    PostThreadMessageA(testThread, WM_QUIT, 0, 0);
  });
  showModuleUpdateWindow(page);
  user.join();
  EXPECT_TRUE(clicked);
  EXPECT_EQ(started, 0);
  // The window now holds the download section only.
  EXPECT_EQ(page.find("最新版本"), std::string::npos);
  EXPECT_NE(page.find("修正"), std::string::npos);
  HWND update = FindWindowA("MyWindowClass", "模块更新信息");
  if (update) DestroyWindow(update);
  DestroyWindow(owner);
  moduleMainWindow = nullptr;
}

}  // namespace
