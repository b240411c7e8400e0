// What the four carried tools share: how a run reaches the outside world,
// the exit codes, the command-line rules and the error lines they print.
// No Windows API here: the Win32 host lives in host_win32.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tools {

// Everything a tool may ask of the system. Native tests pass fakes.
struct Host {
  // Prints one line; the host adds the line end and flushes.
  std::function<void(const std::string& line)> printLine;
  // True when the path names an existing folder.
  std::function<bool(const std::string& path)> isFolder;
};

// A tool's work: the arguments after the program name in, the exit code out.
using ToolRun = int (*)(const std::vector<std::string>& arguments, const Host& host);

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;        // understood, but it could not be done (why: printed)
inline constexpr int kExitBadArguments = 2;  // the command line was not understood
inline constexpr int kExitNoSourceWindows = 3;  // bcdboot: the source Windows folder is missing

// Splits a command line by the classic C runtime rules (msvcrt.dll's):
// - the program name ends at the first blank outside quotes and knows no
//   escapes;
// - after it, blanks outside quotes separate arguments; quotes group and are
//   dropped, and inside quotes "" stands for one quote;
// - 2n backslashes before a quote give n backslashes, 2n+1 give n and a
//   literal quote; other backslashes stay, so D:\Windows and C:\ pass as they are.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// Prints the command line first (Wine's cmd does not echo commands, so the
// log must show what ran), then runs the tool on the arguments after the
// program name. Returns the tool's exit code. The one argument --version
// prints only the version line, named after the program file.
// With `help`, the one argument --help or -h prints it and the version line
// instead, again without the echo.
int runFromCommandLine(const std::string& commandLine, ToolRun run, const Host& host,
                       const char* help = nullptr);

// "<tool> (Roamdeck) <version>": what --version prints, and the last line of
// every usage message.
std::string versionLine(const std::string& tool);

// The program's file name without folder and without ".exe": "bootsect" for
// "C:\Windows\System32\bootsect.exe".
std::string programName(const std::string& program);

// Whether two switches are the same, without regard to ASCII letter case.
bool sameSwitch(const std::string& given, const char* expected);

// "<tool>: error: <reason>"
std::string errorLine(const char* tool, const std::string& reason);

// Prints the error line, the usage and the version line; returns
// kExitBadArguments.
int refuseArguments(const Host& host, const char* tool, const char* usage,
                    const std::string& reason);

// Prints the error line; returns kExitFailed.
int failWith(const Host& host, const char* tool, const std::string& reason);

// An argument quoted for a message.
std::string quoted(const std::string& argument);

}  // namespace tools
