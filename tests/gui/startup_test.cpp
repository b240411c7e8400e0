// What start-up leaves behind: the staged tools, the partition lists, and
// one hidden interpreter that goes away with the program.
#include <windows.h>

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "app/control_ids.h"
#include "resources/resource_ids.h"
#include "tests/gui/gui_driver.h"

namespace {

const std::string kTitle = "Roamdeck - Lantrel";
const char* const kToolNames[] = {"BOOTICE.exe", "bootsect.exe", "bcdboot.exe", "Vondrimal.exe"};
const int kToolIds[] = {IDR_TOOL_BOOTICE, IDR_TOOL_BOOTSECT, IDR_TOOL_BCDBOOT, IDR_TOOL_VONDRIMAL};

std::string systemFolder() {
  char buffer[MAX_PATH] = {};
  GetSystemDirectoryA(buffer, MAX_PATH);
  return std::string(buffer) + "\\";
}

std::vector<unsigned char> fileBytes(const std::string& path) {
  std::vector<unsigned char> bytes;
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!bytes.empty())
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  CloseHandle(file);
  return bytes;
}

void writeFile(const std::string& path, const std::string& content) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  if (!content.empty())
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
}

void removePath(const std::string& path) {
  if (!DeleteFileA(path.c_str())) RemoveDirectoryA(path.c_str());
}

// The payload as the program carries it.
std::vector<unsigned char> embedded(int resourceId) {
  HMODULE program = LoadLibraryExA((gui::exeFolder() + "roamdeck.exe").c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE);
  std::vector<unsigned char> bytes;
  if (!program) return bytes;
  if (HRSRC resource = FindResourceA(program, MAKEINTRESOURCEA(resourceId), MAKEINTRESOURCEA(10))) {
    auto* data = static_cast<const unsigned char*>(LockResource(LoadResource(program, resource)));
    bytes.assign(data, data + SizeofResource(program, resource));
  }
  FreeLibrary(program);
  return bytes;
}

std::vector<DWORD> childInterpreters(DWORD parent) {
  std::vector<DWORD> children;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (entry.th32ParentProcessID == parent && lstrcmpiA(entry.szExeFile, "cmd.exe") == 0)
      children.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return children;
}

bool hasVisibleWindow(DWORD processId) {
  struct Search {
    DWORD id;
    bool found;
  } search = {processId, false};
  EnumWindows(
      [](HWND window, LPARAM parameter) -> BOOL {
        auto* s = reinterpret_cast<Search*>(parameter);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s->id && IsWindowVisible(window)) s->found = true;
        return !s->found;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool ended(DWORD processId, DWORD timeoutMs = 5000) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (!process) return true;
  bool done = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
  CloseHandle(process);
  return done;
}

// Starts the program and waits for its window; the interpreter is its child.
struct Started {
  gui::Program program{"roamdeck.exe"};
  HWND window = nullptr;
  DWORD interpreter = 0;

  Started() {
    window = program.waitForWindow(ids::kMainWindowClass, kTitle);
    std::vector<DWORD> children;
    gui::waitUntil([&] { return (children = childInterpreters(program.id())).size() == 1; });
    if (children.size() == 1) interpreter = children[0];
  }
};

TEST(Startup, AFreshSystemFolderGetsTheFourToolsByteForByte) {
  for (const char* name : kToolNames) removePath(systemFolder() + name);
  {
    Started run;
    ASSERT_NE(run.window, nullptr);
    for (size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE(kToolNames[i]);
      std::vector<unsigned char> payload = embedded(kToolIds[i]);
      ASSERT_FALSE(payload.empty()) << "the program carries no such tool";
      EXPECT_EQ(fileBytes(systemFolder() + kToolNames[i]), payload);
    }
    PostMessageA(run.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(run.program.waitForExit(), 0u);
  }
}

TEST(Startup, PresentToolsAreNeverRewrittenAndAMissingOneComesBack) {
  const std::string folder = systemFolder();
  writeFile(folder + "BOOTICE.exe", "");  // zero-length
  removePath(folder + "bcdboot.exe");
  ASSERT_TRUE(CreateDirectoryA((folder + "bcdboot.exe").c_str(), nullptr));  // a folder
  removePath(folder + "bootsect.exe");                                       // deleted
  writeFile(folder + "Vondrimal.exe", "an older imaging tool");
  {
    Started run;
    ASSERT_NE(run.window, nullptr);
    PostMessageA(run.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(run.program.waitForExit(), 0u);
  }
  EXPECT_TRUE(fileBytes(folder + "BOOTICE.exe").empty());
  DWORD attributes = GetFileAttributesA((folder + "bcdboot.exe").c_str());
  EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
  ASSERT_FALSE(embedded(IDR_TOOL_BOOTSECT).empty());
  EXPECT_EQ(fileBytes(folder + "bootsect.exe"), embedded(IDR_TOOL_BOOTSECT));
  auto older = fileBytes(folder + "Vondrimal.exe");
  EXPECT_EQ(std::string(older.begin(), older.end()), "an older imaging tool");

  // Put the real payloads back for the tests that follow.
  for (const char* name : kToolNames) removePath(folder + name);
  Started again;
  PostMessageA(again.window, WM_CLOSE, 0, 0);
  again.program.waitForExit();
}

TEST(Startup, BothListsHoldTheRemovableAndFixedDrivesWithTheFirstSelected) {
  Started run;
  ASSERT_NE(run.window, nullptr);
  for (int id : {ids::组合框2, ids::组合框3}) {
    HWND list = GetDlgItem(run.window, id);
    ASSERT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(gui::comboItem(list, 0), "C:\\");
    EXPECT_EQ(gui::comboItem(list, 1), "E:\\");
    EXPECT_EQ(gui::comboItem(list, 2), "G:\\");
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 0);
  }
  EXPECT_EQ(SendMessageA(GetDlgItem(run.window, ids::组合框1), CB_GETCOUNT, 0, 0), 0);
}

TEST(Startup, OneHiddenInterpreterRunsAndGoesWithTheExitButton) {
  Started run;
  ASSERT_NE(run.interpreter, 0u) << "expected exactly one cmd.exe child";
  EXPECT_FALSE(hasVisibleWindow(run.interpreter));
  gui::click(GetDlgItem(run.window, ids::按钮2));
  EXPECT_EQ(run.program.waitForExit(), 0u);
  EXPECT_TRUE(ended(run.interpreter));
}

TEST(Startup, TheInterpreterGoesWithEsc) {
  Started run;
  ASSERT_NE(run.interpreter, 0u);
  gui::pressKey(run.window, VK_ESCAPE);
  EXPECT_EQ(run.program.waitForExit(), 0u);
  EXPECT_TRUE(ended(run.interpreter));
}

TEST(Startup, TheInterpreterGoesWithTheCloseBoxAndEndsWith3389) {
  Started run;
  ASSERT_NE(run.interpreter, 0u);
  HANDLE interpreter = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, run.interpreter);
  ASSERT_NE(interpreter, nullptr);
  PostMessageA(run.window, WM_CLOSE, 0, 0);
  EXPECT_EQ(run.program.waitForExit(), 0u);
  ASSERT_EQ(WaitForSingleObject(interpreter, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(interpreter, &code);
  EXPECT_EQ(code, 3389u);
  CloseHandle(interpreter);
}

TEST(Startup, AKilledProgramLeavesNoInterpreterBehind) {
  Started run;
  ASSERT_NE(run.interpreter, 0u);
  TerminateProcess(run.program.handle(), 9);
  run.program.waitForExit();
  // The interpreter sees the end of its input and ends by itself.
  EXPECT_TRUE(ended(run.interpreter, 10000));
}

}  // namespace
