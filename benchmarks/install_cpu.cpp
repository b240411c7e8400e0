// One installation through the real program: the program's CPU time (all its
// threads) and the wall time, from the confirmation to the final message and
// for the apply alone (while the imaging tool runs: the three timers tick,
// the reader appends). Run by benchmarks/install-cpu.sh in the bench's
// install prefix, with the image at E:\sources\install.wim and an empty D:.
// Prints one line:
//   cpu_ms=<n> wall_ms=<n> apply_cpu_ms=<n> apply_wall_ms=<n>
// Never sends the program a message while it installs: a message would be
// work for the program, and counted.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/control_ids.h"
#include "common/unique_handle.h"
#include "tests/gui/gui_driver.h"

namespace {

const std::string kTitle = "Roamdeck - Lantrel";
const std::string kImage = "E:\\sources\\install.wim";

std::uint64_t ticksOf(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Kernel plus user time of every thread of a process, in 100 ns ticks.
// GetProcessTimes on another process gives the caller's own times under Wine.
std::uint64_t cpuTicks(DWORD processId) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  std::uint64_t total = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != processId) continue;
    UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
    FILETIME created, exited, kernel, user;
    if (thread && GetThreadTimes(thread.get(), &created, &exited, &kernel, &user))
      total += ticksOf(kernel) + ticksOf(user);
  }
  return total;
}

bool imagingToolRunning() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry))
    if (lstrcmpiA(entry.szExeFile, "Vondrimal.exe") == 0) return true;
  return false;
}

struct Sample {
  std::uint64_t cpu = 0;
  DWORD wall = 0;
};

Sample sample(DWORD processId) { return {cpuTicks(processId), GetTickCount()}; }

HWND dialogItem(HWND window, int id) { return GetDlgItem(window, id); }

int fail(const char* what) {
  std::fprintf(stderr, "install_cpu: %s\n", what);
  return 1;
}

}  // namespace

int main() {
  gui::Program program("roamdeck.exe");
  if (!program.started()) return fail("roamdeck.exe did not start");
  HWND window = program.waitForWindow(ids::kMainWindowClass, kTitle);
  if (!window) return fail("no main window");

  gui::click(dialogItem(window, ids::按钮1));
  HWND open = program.waitForWindow("#32770", "请选择install.wim安装源");
  if (!open) return fail("no file dialog");
  SendMessageA(GetDlgItem(open, 0x47C), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kImage.c_str()));
  PostMessageA(GetDlgItem(open, IDOK), BM_CLICK, 0, 0);
  HWND editions = dialogItem(window, ids::组合框1);
  if (!gui::waitUntil(
          [&] {
            return SendMessageA(editions, CB_GETCOUNT, 0, 0) > 0 &&
                   IsWindowEnabled(dialogItem(window, ids::按钮1)) &&
                   gui::comboItem(editions, 0) != "正在获取系统版本，请稍后....";
          },
          60000))
    return fail("no edition list");
  SendMessageA(editions, CB_SETCURSEL, 0, 0);
  for (auto [id, text] :
       {std::pair<int, std::string>{ids::组合框2, "D:\\"}, {ids::组合框3, "C:\\"}}) {
    HWND list = dialogItem(window, id);
    int count = static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
      if (gui::comboItem(list, i) == text) SendMessageA(list, CB_SETCURSEL, i, 0);
    if (gui::text(list) != text) return fail("partition missing from the lists");
  }

  gui::click(dialogItem(window, ids::按钮3));
  HWND confirm = program.waitForWindow("#32770", "提示");
  if (!confirm) return fail("no confirmation");
  Sample confirmed = sample(program.id());
  PostMessageA(confirm, WM_COMMAND, IDYES, 0);

  // The apply: from the first sight of the imaging tool to its end, seen
  // every 20 ms from the process list alone.
  while (!imagingToolRunning() && GetTickCount() - confirmed.wall < 60000) Sleep(20);
  Sample applyStart = sample(program.id());
  while (imagingToolRunning() && GetTickCount() - confirmed.wall < 600000) Sleep(20);
  Sample applyEnd = sample(program.id());

  HWND final = program.waitForWindow("#32770", "提示", 0);
  while (!final && GetTickCount() - confirmed.wall < 600000) {
    Sleep(100);
    final = program.waitForWindow("#32770", "提示", 0);
  }
  Sample finished = sample(program.id());
  if (!final) return fail("no final message");
  std::string message = gui::messageBoxText(final);
  PostMessageA(final, WM_COMMAND, IDOK, 0);
  gui::waitUntil([&] { return !IsWindow(final); });
  PostMessageA(window, WM_CLOSE, 0, 0);
  program.waitForExit();

  // The stand-in boot tools fail the boot set-up; the image must be applied.
  if (message.find("已释放到") == std::string::npos && message.find("完成") == std::string::npos)
    return fail("the apply failed");
  std::printf("cpu_ms=%llu wall_ms=%lu apply_cpu_ms=%llu apply_wall_ms=%lu\n",
              static_cast<unsigned long long>((finished.cpu - confirmed.cpu) / 10000),
              static_cast<unsigned long>(finished.wall - confirmed.wall),
              static_cast<unsigned long long>((applyEnd.cpu - applyStart.cpu) / 10000),
              static_cast<unsigned long>(applyEnd.wall - applyStart.wall));
  return 0;
}
