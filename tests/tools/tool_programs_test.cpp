// The carried tools as built, run as separate processes with their output
// read through a pipe, the way the program's hidden console reads them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "roamdeck_version.h"

namespace {

using Lines = std::vector<std::string>;

constexpr DWORD kFailed = 1, kBadArguments = 2, kNoSourceWindows = 3;

std::string exeFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

// The build puts the test into bin\ and the tools into carried-tools\ beside it.
std::string toolsFolder() {
  std::string relative = exeFolder() + "..\\carried-tools\\";
  char full[MAX_PATH] = {};
  GetFullPathNameA(relative.c_str(), MAX_PATH, full, nullptr);
  return full;
}

struct Outcome {
  bool started = false;
  DWORD exitCode = STILL_ACTIVE;
  std::string output;
  Lines lines;  // the output split at CR LF
};

// Runs a program with the given command line, stdout and stderr into one
// pipe, stdin from NUL; waits for its end and reads everything it printed.
Outcome runProgram(const std::string& program, const std::string& commandLine,
                   const std::string& currentFolder = std::string()) {
  Outcome result;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return result;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           OPEN_EXISTING, 0, nullptr);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process = {};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  result.started = CreateProcessA(program.empty() ? nullptr : program.c_str(), line.data(), nullptr,
                                  nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                  currentFolder.empty() ? nullptr : currentFolder.c_str(), &startup,
                                  &process) != FALSE;
  // Only the child may hold the write end now: reading ends when it does.
  CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (result.started) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
      result.output.append(buffer, got);
    WaitForSingleObject(process.hProcess, 30000);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(readEnd);

  for (std::size_t start = 0; start < result.output.size();) {
    std::size_t end = result.output.find("\r\n", start);
    if (end == std::string::npos) end = result.output.size();
    result.lines.push_back(result.output.substr(start, end - start));
    start = end + 2;
  }
  return result;
}

// Runs a tool by its file in the tools folder, under the given
// command line (whose program name the tool must not care about).
Outcome runTool(const char* fileName, const std::string& commandLine) {
  return runProgram(toolsFolder() + fileName, commandLine);
}

// Every line ends in exactly CR LF: no bare LF, no CR without LF, no CR CR LF.
void expectCrLfLines(const Outcome& result) {
  const std::string& out = result.output;
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.substr(out.size() - 2), "\r\n") << out;
  EXPECT_EQ(out.find("\r\r\n"), std::string::npos) << out;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\n') {
      EXPECT_TRUE(i > 0 && out[i - 1] == '\r') << "bare LF at " << i;
    }
    if (out[i] == '\r') {
      EXPECT_TRUE(i + 1 < out.size() && out[i + 1] == '\n') << "bare CR at " << i;
    }
  }
}

TEST(ToolPrograms, TheFourFilesCarryTheirExactNames) {
  for (const char* name : {"BOOTICE.exe", "bootsect.exe", "bcdboot.exe", "Vondrimal.exe"}) {
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((toolsFolder() + name).c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << toolsFolder() << name;
    FindClose(search);
    EXPECT_STREQ(found.cFileName, name);
  }
}

// The bench's C: maps a folder, as every Wine drive does: no sectors to write.
TEST(ToolPrograms, BootsectSaysWhyAFolderDriveCannotTakeBootCode) {
  Outcome result = runTool("bootsect.exe", "bootsect.exe /NT60 C:");
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, kFailed);
  expectCrLfLines(result);
  ASSERT_EQ(result.lines.size(), 2u) << result.output;
  EXPECT_EQ(result.lines[0], "bootsect.exe /NT60 C:");
  EXPECT_EQ(result.lines[1].rfind("bootsect: error: ", 0), 0u) << result.lines[1];
  EXPECT_NE(result.lines[1].find("raw access"), std::string::npos) << result.lines[1];
}

TEST(ToolPrograms, BootsectRefusesBadArguments) {
  const std::pair<const char*, const char*> cases[] = {
      {"bootsect.exe", "bootsect: error: no boot code given"},
      {"bootsect.exe /NT52 C:", "bootsect: error: unknown option \"/NT52\", expected /NT60"},
      {"bootsect.exe /NT60", "bootsect: error: no target given after /NT60"},
      {"bootsect.exe /NT60 sys",
       "bootsect: error: name the volume itself: \"sys\" is not supported"},
  };
  for (const auto& [commandLine, error] : cases) {
    Outcome result = runTool("bootsect.exe", commandLine);
    EXPECT_EQ(result.exitCode, kBadArguments) << commandLine;
    expectCrLfLines(result);
    EXPECT_EQ(result.lines, (Lines{commandLine, error, "Usage: bootsect.exe /NT60 <drive>:",
                                   "bootsect (Roamdeck) " ROAMDECK_VERSION}));
  }
}

// A folder in the temporary folder, removed again at the end of the test.
class TempFolder {
 public:
  TempFolder() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "roamdeck-tools-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(path_.c_str(), nullptr);
    CreateDirectoryA(windows().c_str(), nullptr);
  }
  ~TempFolder() {
    RemoveDirectoryA(windows().c_str());
    RemoveDirectoryA(path_.c_str());
  }
  std::string windows() const { return path_ + "\\Windows"; }
  std::string missing() const { return path_ + "\\Missing\\Windows"; }

 private:
  std::string path_;
};

TEST(ToolPrograms, BcdbootRefusesWhatIsNoWindowsAndAnUnknownPartition) {
  TempFolder folder;
  std::string commandLine = "BCDBOOT.EXE " + folder.windows() + " /S C:\\";
  Outcome noSystem32 = runTool("bcdboot.exe", commandLine);
  ASSERT_TRUE(noSystem32.started);
  EXPECT_EQ(noSystem32.exitCode, kFailed);
  expectCrLfLines(noSystem32);
  EXPECT_EQ(noSystem32.lines,
            (Lines{commandLine, "bcdboot: error: " + folder.windows() +
                                    " is not a Windows folder: it has no System32"}));

  // A Windows folder, but Wine names no disk for C:, so nothing is written.
  CreateDirectoryA((folder.windows() + "\\System32").c_str(), nullptr);
  Outcome unknown = runTool("bcdboot.exe", commandLine);
  RemoveDirectoryA((folder.windows() + "\\System32").c_str());
  EXPECT_EQ(unknown.exitCode, kFailed);
  ASSERT_EQ(unknown.lines.size(), 2u) << unknown.output;
  EXPECT_EQ(unknown.lines[1].rfind("bcdboot: error: the system drive C:\\ is not identifiable as "
                                   "a partition",
                                   0),
            0u)
      << unknown.lines[1];
  EXPECT_EQ(GetFileAttributesA("C:\\Boot\\BCD"), INVALID_FILE_ATTRIBUTES);
}

TEST(ToolPrograms, BcdbootFailsOnItsOwnCodeWithoutTheSourceWindowsFolder) {
  TempFolder folder;
  std::string commandLine = "BCDBOOT.EXE " + folder.missing() + " /S C:\\";
  Outcome result = runTool("bcdboot.exe", commandLine);
  EXPECT_EQ(result.exitCode, kNoSourceWindows);
  expectCrLfLines(result);
  EXPECT_EQ(result.lines, (Lines{commandLine, "bcdboot: error: the source Windows folder " +
                                                  folder.missing() + " does not exist"}));
}

TEST(ToolPrograms, BcdbootRefusesBadArguments) {
  const std::pair<const char*, const char*> cases[] = {
      {"BCDBOOT.EXE", "bcdboot: error: no source Windows folder given"},
      {"BCDBOOT.EXE C:\\windows", "bcdboot: error: no /S <system drive> given"},
      {"BCDBOOT.EXE C:\\windows /S", "bcdboot: error: nothing given after /S"},
      {"BCDBOOT.EXE C:\\windows /S C:\\ /f EFI",
       "bcdboot: error: /f takes BIOS, UEFI or ALL, not \"EFI\""},
  };
  for (const auto& [commandLine, error] : cases) {
    Outcome result = runTool("bcdboot.exe", commandLine);
    EXPECT_EQ(result.exitCode, kBadArguments) << commandLine;
    expectCrLfLines(result);
    EXPECT_EQ(result.lines,
              (Lines{commandLine, error,
                     "Usage: bcdboot.exe <Windows folder> /S <system drive> [/l <locale>] [/f "
                     "BIOS|UEFI|ALL]",
                     "bcdboot (Roamdeck) " ROAMDECK_VERSION}));
  }
}

// Wine answers none of the disk IOCTLs: the disk stays unknown and nothing
// is touched.
TEST(ToolPrograms, BooticeFindsNoDiskUnderWineAndSaysSo) {
  const char commandLine[] = "BOOTICE.EXE /DEVICE=C:\\ /partitions /activate /quiet";
  Outcome result = runTool("BOOTICE.exe", commandLine);
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, kFailed);
  expectCrLfLines(result);
  ASSERT_EQ(result.lines.size(), 2u) << result.output;
  EXPECT_EQ(result.lines[0], commandLine);
  EXPECT_EQ(result.lines[1].rfind("BOOTICE: error: cannot find the disk that holds C:\\", 0), 0u)
      << result.lines[1];
  EXPECT_NE(result.lines[1].find("nothing was changed"), std::string::npos) << result.lines[1];
}

TEST(ToolPrograms, BooticeRefusesBadArguments) {
  const std::pair<const char*, const char*> cases[] = {
      {"BOOTICE.EXE", "BOOTICE: error: no /DEVICE=<drive> given"},
      {"BOOTICE.EXE /DEVICE=C:\\ /partitions /activate /format",
       "BOOTICE: error: unknown switch \"/format\""},
      {"BOOTICE.EXE /DEVICE=C:\\ /activate /quiet", "BOOTICE: error: no /partitions given"},
  };
  for (const auto& [commandLine, error] : cases) {
    Outcome result = runTool("BOOTICE.exe", commandLine);
    EXPECT_EQ(result.exitCode, kBadArguments) << commandLine;
    expectCrLfLines(result);
    EXPECT_EQ(
        result.lines,
        (Lines{
            commandLine, error,
            "Usage: BOOTICE.exe /DEVICE=<drive>: /partitions /activate [/quiet] | /DEVICE=<drive>: "
            "/check",
            "BOOTICE (Roamdeck) " ROAMDECK_VERSION}));
  }
}

TEST(ToolPrograms, VondrimalAnswersWithTheUsage) {
  const std::pair<const char*, const char*> cases[] = {
      {"Vondrimal.exe", "Vondrimal.exe: error: no command given"},
      {"Vondrimal.exe /frobnicate E:\\sources\\install.wim",
       "Vondrimal.exe: error: unknown command \"/frobnicate\""},
  };
  for (const auto& [commandLine, error] : cases) {
    Outcome result = runTool("Vondrimal.exe", commandLine);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, kBadArguments) << commandLine;
    expectCrLfLines(result);
    ASSERT_GE(result.lines.size(), 3u);
    EXPECT_EQ(result.lines[0], commandLine);
    EXPECT_EQ(result.lines[1], error);
    EXPECT_EQ(result.lines[2], "Usage: Vondrimal.exe <command> [arguments]");
    EXPECT_EQ(result.lines.back(), "Vondrimal (Roamdeck) " ROAMDECK_VERSION);
  }
}

TEST(ToolPrograms, EachToolAnswersVersionWithItsNameAndTheVersion) {
  for (const char* name : {"BOOTICE", "bootsect", "bcdboot", "Vondrimal"}) {
    const std::string file = std::string(name) + ".exe";
    Outcome result = runTool(file.c_str(), file + " --version");
    ASSERT_TRUE(result.started) << name;
    EXPECT_EQ(result.exitCode, 0u) << name;
    expectCrLfLines(result);
    EXPECT_EQ(result.lines, (Lines{std::string(name) + " (Roamdeck) " ROAMDECK_VERSION}));
  }
}

TEST(ToolPrograms, TheEchoIsTheLineAsGivenWhateverTheProgramIsCalled) {
  std::string quotedPath = "\"" + toolsFolder() + "bootsect.exe\"  /NT60   sys";
  Outcome result = runTool("bootsect.exe", quotedPath);
  EXPECT_EQ(result.exitCode, kBadArguments);
  ASSERT_EQ(result.lines.size(), 4u);  // echo, error, usage, version
  EXPECT_EQ(result.lines[0], quotedPath);
}

TEST(ToolPrograms, RunFromTheInterpreterTheyPrintTheirLinesAndPassOnTheirCode) {
  // cmd.exe /c ends with the code of the command it ran.
  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  Outcome result = runProgram(std::string(system) + "\\cmd.exe",
                              "cmd.exe /c bootsect.exe /NT60 C:", toolsFolder());
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, kFailed) << result.output;
  expectCrLfLines(result);
  // What the console's log then shows: the line that ran, then the answer.
  EXPECT_NE(result.output.find("bootsect.exe /NT60 C:\r\nbootsect: error: "), std::string::npos)
      << result.output;
}

}  // namespace
