// The hidden console: one cmd.exe, started when the main window is created
// and kept for the whole run, whose input and output the program holds
// through pipes. Installation commands are written into it; a reader thread
// appends everything it prints to the log box.
#pragma once

#include <windows.h>

#include <string>

// Start-up and end of the program: the console's state exists from the start,
// zero-filled, and is released by the end-of-program routine.
void allocateConsoleState();
void markConsoleClosed();
void freeConsoleState();

// Starts the interpreter hidden, with redirected input and output. The
// command line defaults to "cmd.exe", the current directory to the system
// folder. Returns its process id, or 0 when no console was opened. A second
// call while the console is open returns the same id and starts nothing.
DWORD OpenConsole(const std::string& commandLine = "cmd.exe",
                  const std::string& currentDirectory = std::string());

// Trims the command in place (ASCII and ideographic spaces) and sends it.
// Returns 0 when no console is open, 4 after "exit", 3 after "cls",
// otherwise the number of bytes written.
int SendConsoleCommand(std::string& command);

// Starts a reader thread that appends the console's output to targetBox.
bool StartConsoleReader(HWND targetBox);

// Terminates the interpreter with exit code 3389. True when it was terminated.
bool CloseConsole();

// The exit code the interpreter is terminated with.
inline constexpr UINT kConsoleExitCode = 3389;
