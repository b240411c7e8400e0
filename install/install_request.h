// The install button: checks the request and starts an installation.
#pragma once

#include <windows.h>

struct MainForm;

void onInstallClicked(MainForm& form);

// Shows the system's Format dialog for the install partition.
void FormatPartition(MainForm& form);

// Greys (false) or restores (true) the Close entry of the window's system
// menu and repaints the window. While it is grey the window ignores close
// requests from the system menu, the close box and Alt+F4.
bool SetCloseEnabled(HWND window, bool enable);
bool isCloseEnabled(HWND window);
