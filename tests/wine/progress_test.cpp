// The progress and clock ticks on real controls: what they show, and that a
// tick with nothing new to show sets nothing.
#include "install/progress.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "app/main_form.h"
#include "tests/wine/pump.h"

namespace {

// Every caption and position set that reaches a control.
struct Counted {
  WNDPROC proc = nullptr;
  int sets = 0;
};
std::map<HWND, Counted> g_counted;

LRESULT CALLBACK countingProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
  Counted& counted = g_counted[control];
  if (message == WM_SETTEXT || message == PBM_SETPOS) ++counted.sets;
  return CallWindowProcA(counted.proc, control, message, wParam, lParam);
}

HWND countedChild(HWND parent, const char* className, DWORD style) {
  HWND control = CreateWindowExA(0, className, "", WS_CHILD | WS_VISIBLE | style, 0, 0, 200, 24,
                                 parent, nullptr, GetModuleHandleA(nullptr), nullptr);
  g_counted[control].proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(countingProc)));
  return control;
}

int sets(HWND control) { return g_counted[control].sets; }

// Appends as the console reader does: from its own thread, caret to the end.
void appendFromReader(HWND box, const std::string& piece) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    LRESULT length = SendMessageA(box, WM_GETTEXTLENGTH, 0, 0);
    SendMessageA(box, EM_SETSEL, length, length);
    SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(piece.c_str()));
    done = true;
  });
  testing_pump::pumpUntil([&] { return done.load(); });
  reader.join();
}

TEST(ProgressTicks, ShowTheLastLineAndSetOnlyWhatChanged) {
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&classes);
  HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  MainForm form;
  form.透明标签9 = countedChild(window, WC_STATICA, 0);
  form.透明标签10 = countedChild(window, WC_STATICA, 0);
  form.透明标签11 = countedChild(window, WC_STATICA, 0);
  form.进度条1 = countedChild(window, PROGRESS_CLASSA, 0);
  form.编辑框3 = countedChild(window, WC_EDITA, ES_MULTILINE | ES_READONLY);
  SendMessageA(form.进度条1, PBM_SETRANGE32, 0, 100);

  followLogBox(form.编辑框3);
  SetWindowTextA(form.编辑框3, "banner\r\n");
  appendFromReader(form.编辑框3, "[  47% ] Applying progress: 2:30 mins remaining \r\n");
  onProgressTick(form);
  EXPECT_EQ(control::caption(form.透明标签11), "已完成： 47 %");
  EXPECT_EQ(control::position(form.进度条1), 47);
  EXPECT_EQ(control::caption(form.透明标签10), "剩余时间：00: 2:30 ");
  EXPECT_EQ(sets(form.透明标签11), 1);
  EXPECT_EQ(sets(form.进度条1), 1);
  EXPECT_EQ(sets(form.透明标签10), 1);

  onProgressTick(form);  // nothing new in the box
  EXPECT_EQ(sets(form.透明标签11), 1);
  EXPECT_EQ(sets(form.进度条1), 1);
  EXPECT_EQ(sets(form.透明标签10), 1);

  appendFromReader(form.编辑框3, "[  48% ] Applying progress: 2:30 mins remaining \r\n");
  onProgressTick(form);
  EXPECT_EQ(control::caption(form.透明标签11), "已完成： 48 %");
  EXPECT_EQ(sets(form.透明标签11), 2);
  EXPECT_EQ(sets(form.进度条1), 2);
  EXPECT_EQ(sets(form.透明标签10), 1);  // the same time left

  // Emptied and refilled with half a line, as the reader does at its limit.
  SetWindowTextA(form.编辑框3, "");
  appendFromReader(form.编辑框3, "[  4");
  onProgressTick(form);
  EXPECT_EQ(control::caption(form.透明标签11), "已完成： %");
  EXPECT_EQ(control::position(form.进度条1), 0);
  EXPECT_EQ(control::caption(form.透明标签10), "剩余时间：正在计算");

  // The clock ticks many times for each second it shows.
  startElapsedClock();
  std::set<std::string> shown;
  for (int tick = 0; tick < 50; ++tick) {
    onClockTick(form);
    shown.insert(control::caption(form.透明标签9));
  }
  EXPECT_LT(shown.size(), 50u);
  EXPECT_EQ(sets(form.透明标签9), static_cast<int>(shown.size()));
  EXPECT_EQ(control::caption(form.透明标签9).rfind("已用时间：", 0), 0u);

  DestroyWindow(window);
}

}  // namespace
