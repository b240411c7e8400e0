// Drives a running program from outside, as a user would: starts it, finds
// its windows, reads and clicks controls, answers message boxes. Everything
// goes through the Win32 API across processes, so it works under Wine.
#pragma once

#include <windows.h>

#include <string>

namespace gui {

// A program started from the folder that holds the test itself.
class Program {
 public:
  explicit Program(const std::string& exeName);
  ~Program();  // kills the program if it is still running
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return process_.hProcess != nullptr; }
  DWORD id() const { return process_.dwProcessId; }
  HANDLE handle() const { return process_.hProcess; }

  // The program's visible top-level window with this class (or any class
  // when empty) and title; nullptr when none appeared in time.
  HWND waitForWindow(const char* className, const std::string& title,
                     DWORD timeoutMs = 15000) const;
  // Its exit code, or STILL_ACTIVE when it did not end in time.
  DWORD waitForExit(DWORD timeoutMs = 15000) const;

 private:
  PROCESS_INFORMATION process_ = {};
};

std::string exeFolder();

// Text of a window of another process (WM_GETTEXT: GetWindowTextA does not
// read other processes' edit and combo boxes).
std::string text(HWND window);
std::string className(HWND window);
// A control's rectangle in its parent's client coordinates.
RECT rectInParent(HWND control);
// Item text of another process's combo box (CB_GETLBTEXT through the ANSI
// call returns one character there; read it wide and convert).
std::string comboItem(HWND combo, int index);

// Waits until pred() is true or the time is up; returns the last pred().
template <typename Pred>
bool waitUntil(Pred pred, DWORD timeoutMs = 5000) {
  DWORD start = GetTickCount();
  for (;;) {
    if (pred()) return true;
    if (GetTickCount() - start > timeoutMs) return pred();
    Sleep(20);
  }
}

HWND focusOf(HWND window);
// Posts a key press (down and up) to a window.
void pressKey(HWND window, WPARAM key);
void click(HWND control);

// The message box text (its static with id 0xFFFF).
std::string messageBoxText(HWND box);

}  // namespace gui
