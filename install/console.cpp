#include "install/console.h"

#include <vector>

#include "common/gbk_text.h"
#include "common/unique_handle.h"
#include "install/completion.h"
#include "install/console_text.h"
#include "install/install_text.h"

#ifndef _WIN64
// The pipes' security attributes are the 12-byte record of 32-bit Windows.
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12, "SECURITY_ATTRIBUTES must be 12 bytes");
#endif

namespace {

// The reader lock. It only keeps a second reader waiting while the first
// one appends. CloseConsole deletes it while a reader may still hold it or
// wait for it: taking or releasing a deleted lock then does nothing, and a
// reader waiting for it gives up instead of waiting for ever.
class ReaderLock {
 public:
  ReaderLock() {
    InitializeCriticalSection(&guard_);
    InitializeConditionVariable(&released_);
  }
  void create() {
    EnterCriticalSection(&guard_);
    live_ = true;
    held_ = false;
    LeaveCriticalSection(&guard_);
  }
  void destroy() {
    EnterCriticalSection(&guard_);
    live_ = false;
    held_ = false;
    LeaveCriticalSection(&guard_);
    WakeAllConditionVariable(&released_);
  }
  // False when the lock was deleted (before or while waiting).
  bool take() {
    EnterCriticalSection(&guard_);
    while (live_ && held_) SleepConditionVariableCS(&released_, &guard_, INFINITE);
    bool taken = live_;
    if (taken) held_ = true;
    LeaveCriticalSection(&guard_);
    return taken;
  }
  void release() {
    EnterCriticalSection(&guard_);
    if (live_) held_ = false;
    LeaveCriticalSection(&guard_);
    WakeConditionVariable(&released_);
  }

 private:
  CRITICAL_SECTION guard_;
  CONDITION_VARIABLE released_;
  bool live_ = false;
  bool held_ = false;
};

struct ConsoleState {
  bool open;
  // After a close whose termination failed the console stays marked open,
  // but its pipes are gone: nothing may be written to them any more.
  bool pipesClosed;
  PROCESS_INFORMATION process;
  HANDLE inputRead;    // the interpreter's standard input
  HANDLE inputWrite;   // commands are written here
  HANDLE outputRead;   // the reader reads here
  HANDLE outputWrite;  // the interpreter's standard output and error
  SECURITY_ATTRIBUTES inputAttributes;
  SECURITY_ATTRIBUTES outputAttributes;
  STARTUPINFOA startup;
  HWND readerTarget;
};

// Static storage rather than the heap: a reader thread can outlive the end
// of the program's main path, and must never touch freed memory.
ConsoleState g_console;
ReaderLock g_readerLock;

std::string systemFolder() {
  char buffer[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return gbk::trimSpaces(std::string(buffer, length));
}

bool writeAll(HANDLE pipe, const std::string& text, DWORD* written) {
  *written = 0;
  return WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), written, nullptr) != FALSE;
}

void appendToBox(HWND box, const std::string& piece) {
  size_t length = static_cast<size_t>(GetWindowTextLengthA(box));
  if (console_text::mustEmptyLog(length, piece.size())) {
    SetWindowTextA(box, "");
    length = 0;
  }
  SendMessageA(box, EM_SETSEL, length, length);
  SendMessageA(box, EM_SCROLLCARET, 0, 0);
  SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(piece.c_str()));
}

struct ReaderStart {
  HANDLE output;  // the reader's own duplicate of the output pipe read end
  HWND target;
};

DWORD WINAPI readerLoop(LPVOID parameter) {
  ReaderStart start = *static_cast<ReaderStart*>(parameter);
  delete static_cast<ReaderStart*>(parameter);
  UniqueHandle output(start.output);

  if (!g_readerLock.take()) return 0;
  SetWindowTextA(start.target, "");
  // Result lines are found in the stream itself: the box is emptied at
  // 30000 characters and could cut one in two.
  install_text::ResultScanner scanner;
  HWND owner = GetAncestor(start.target, GA_ROOT);
  std::vector<char> buffer(260, '\0');
  for (;;) {
    DWORD delivered = 0;
    if (!ReadFile(output.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &delivered,
                  nullptr) ||
        delivered == 0)
      break;
    std::string piece = console_text::pieceOf(buffer.data(), delivered);
    appendToBox(start.target, piece);
    for (const install_text::CommandResult& result : scanner.feed(piece))
      PostMessageA(owner, kConsoleResultMessage, static_cast<WPARAM>(result.tag),
                   static_cast<LPARAM>(result.code));
  }
  g_readerLock.release();
  return 0;
}

void closePipe(HANDLE& pipe) {
  if (pipe) CloseHandle(pipe);
  pipe = nullptr;
}

// The program's own pipe ends must not reach the interpreter: if it held the
// input write end, it would never see end of input, and a crashed or killed
// program would leave an elevated cmd.exe waiting for ever.
void keepPrivate(HANDLE pipeEnd) { SetHandleInformation(pipeEnd, HANDLE_FLAG_INHERIT, 0); }

}  // namespace

void allocateConsoleState() { g_console = ConsoleState{}; }

void markConsoleClosed() { g_console.open = false; }

void freeConsoleState() { g_console.readerTarget = nullptr; }

DWORD OpenConsole(const std::string& commandLine, const std::string& currentDirectory) {
  ConsoleState& console = g_console;
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return 0;
  if (console.open) return console.process.dwProcessId;

  console.inputAttributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  console.outputAttributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(&console.inputRead, &console.inputWrite, &console.inputAttributes, 0)) return 0;
  if (!CreatePipe(&console.outputRead, &console.outputWrite, &console.outputAttributes, 0)) {
    // The interpreter cannot run without an output pipe; let go of the input one.
    closePipe(console.inputRead);
    closePipe(console.inputWrite);
    return 0;
  }
  keepPrivate(console.inputWrite);
  keepPrivate(console.outputRead);

  GetStartupInfoA(&console.startup);
  console.startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  console.startup.wShowWindow = SW_HIDE;
  console.startup.hStdInput = console.inputRead;
  console.startup.hStdOutput = console.outputWrite;
  console.startup.hStdError = console.outputWrite;

  std::string directory = currentDirectory;
  if (directory.empty()) directory = systemFolder() + "\\";

  std::vector<char> mutableCommandLine(commandLine.begin(), commandLine.end());
  mutableCommandLine.push_back('\0');
  if (!CreateProcessA(nullptr, mutableCommandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      directory.c_str(), &console.startup, &console.process)) {
    // No interpreter will ever use these pipes.
    closePipe(console.inputRead);
    closePipe(console.inputWrite);
    closePipe(console.outputRead);
    closePipe(console.outputWrite);
    return 0;
  }
  CloseHandle(console.process.hProcess);
  CloseHandle(console.process.hThread);
  console.process.hProcess = nullptr;
  console.process.hThread = nullptr;
  console.open = true;
  console.pipesClosed = false;
  g_readerLock.create();
  return console.process.dwProcessId;
}

int SendConsoleCommand(std::string& command) {
  ConsoleState& console = g_console;
  if (!console.open || console.pipesClosed) return 0;
  command = gbk::trimSpaces(command);
  DWORD written = 0;
  switch (console_text::classify(command)) {
    case console_text::CommandKind::Exit:
      CloseConsole();
      return 4;
    case console_text::CommandKind::Cls:
      writeAll(console.outputWrite, systemFolder() + ">", &written);
      return 3;
    case console_text::CommandKind::Line:
      break;
  }
  if (!writeAll(console.inputWrite, console_text::lineToSend(command), &written)) return 0;
  return static_cast<int>(written);
}

bool StartConsoleReader(HWND targetBox) {
  ConsoleState& console = g_console;
  console.readerTarget = targetBox;
  if (!console.open || console.pipesClosed) return false;

  HANDLE ownCopy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), console.outputRead, GetCurrentProcess(), &ownCopy, 0,
                       FALSE, DUPLICATE_SAME_ACCESS))
    return false;
  auto* start = new ReaderStart{ownCopy, targetBox};
  HANDLE thread = CreateThread(nullptr, 0, readerLoop, start, 0, nullptr);
  if (!thread) {
    CloseHandle(ownCopy);
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}

bool CloseConsole() {
  ConsoleState& console = g_console;
  if (!console.open) return false;
  if (!console.pipesClosed) {
    g_readerLock.destroy();
    closePipe(console.inputRead);
    closePipe(console.outputRead);
    closePipe(console.inputWrite);
    closePipe(console.outputWrite);
    console.pipesClosed = true;
  }
  UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, console.process.dwProcessId));
  if (!process || !TerminateProcess(process.get(), kConsoleExitCode)) return false;
  console.open = false;
  return true;
}
