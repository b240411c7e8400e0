#include "install/progress.h"

#include <cmath>
#include <cstdint>

#include "app/main_form.h"
#include "install/progress_text.h"

namespace {

// The clock of this run: the milliseconds last shown, and the tick count
// they are counted from.
std::int32_t g_elapsedMilliseconds = 0;
std::int32_t g_startTick = 0;

// The log box being followed, its own window procedure, and its end.
HWND g_followedLog = nullptr;
WNDPROC g_logBoxProc = nullptr;
LogTail g_logTail;

// Sees every change of the log box on the window's thread, where the
// reader's messages are delivered: set (or emptied) as a whole, or a piece
// put in place of the selection, which the reader always moves to the end.
LRESULT CALLBACK followedLogProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC boxProc = g_logBoxProc;
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(boxProc));
    g_followedLog = nullptr;
  }
  LRESULT result = CallWindowProcA(boxProc, box, message, wParam, lParam);
  const char* text = reinterpret_cast<const char*>(lParam);
  if (message == WM_SETTEXT && result)
    resetLogTail(g_logTail, text ? text : "");
  else if (message == EM_REPLACESEL && text)
    appendToLogTail(g_logTail, text);
  return result;
}

// The labels and the bar are set only when what they show changes: every
// caption set repaints the window beneath the transparent label, and the
// clock ticks a hundred times for each second it shows.
void showCaption(HWND label, const std::string& text) {
  if (control::caption(label) != text) control::setCaption(label, text);
}

void showPosition(HWND progressBar, int position) {
  if (control::position(progressBar) != position) control::setPosition(progressBar, position);
}

}  // namespace

void followLogBox(HWND logBox) {
  if (g_followedLog == logBox) return;
  // An ANSI procedure, so that texts arrive as the GBK bytes that were sent.
  g_logBoxProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(logBox, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(followedLogProc)));
  if (!g_logBoxProc) return;
  g_followedLog = logBox;
  resetLogTail(g_logTail, control::content(logBox));
}

void onProgressTick(MainForm& form) {
  ProgressView view = progressViewOf(
      g_followedLog == form.编辑框3 ? g_logTail.text : control::content(form.编辑框3));
  showCaption(form.透明标签11, view.percentLabel);
  showPosition(form.进度条1, view.barPosition);
  showCaption(form.透明标签10, view.remainingLabel);
}

void onClockTick(MainForm& form) {
  double elapsed = static_cast<double>(static_cast<std::int32_t>(GetTickCount())) - g_startTick;
  g_elapsedMilliseconds = static_cast<std::int32_t>(std::trunc(elapsed));
  showCaption(form.透明标签9, elapsedLabel(g_elapsedMilliseconds));
}

void startElapsedClock() {
  g_startTick = static_cast<std::int32_t>(GetTickCount()) - g_elapsedMilliseconds;
}
