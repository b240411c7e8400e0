// The end of an installation and the boot set-up.
#pragma once

#include <windows.h>

#include <string>

struct MainForm;

// Message that the console reader posts to the main window for each result
// line it finds: wParam the command's tag, lParam its exit code.
inline constexpr UINT kConsoleResultMessage = WM_APP + 1;

// Called by the install button once the apply command has been handed to the
// console (applySent false: there was no console, nothing will be applied).
void beginCompletionWatch(bool applySent);

// 时钟1: waits for the apply to end, then for the boot set-up, then releases
// the window and tells the user.
void onCompletionTick(MainForm& form);

// A result line arrived from the console.
void onConsoleResult(MainForm& form, int tag, long exitCode);

// Whether a running process has this executable file name.
bool IsProcessRunning(const std::string& exeName, bool matchCase);

// Sends the three boot set-up commands, each followed by its result line.
void RunBootSetup(MainForm& form);
