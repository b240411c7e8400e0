// The hidden console against the real cmd.exe of the prefix.
#include "install/console.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <string>

#include "common/unique_handle.h"
#include "tests/wine/pump.h"

namespace {

using testing_pump::pumpFor;
using testing_pump::pumpUntil;

std::string boxText(HWND box) {
  std::string text(static_cast<size_t>(GetWindowTextLengthA(box)) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(box, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::string systemFolder() {
  char buffer[MAX_PATH] = {};
  GetSystemDirectoryA(buffer, MAX_PATH);
  return buffer;
}

bool processRunning(DWORD id) {
  UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
  return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The log box as the window has it: multi-line, read-only, out of sight.
    box_ = CreateWindowExA(0, "EDIT", "", WS_POPUP | ES_MULTILINE | ES_READONLY | WS_VSCROLL, 0, 0,
                           300, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(box_, nullptr);
    SendMessageA(box_, EM_SETLIMITTEXT, 0, 0);
    id_ = OpenConsole();
    ASSERT_NE(id_, 0u);
    process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id_));
    ASSERT_TRUE(process_);
  }
  void TearDown() override {
    CloseConsole();
    // Let a reader that is still waiting see the pipe close before the box goes.
    pumpFor(100);
    DestroyWindow(box_);
  }

  // Starts the reader and waits until the interpreter's banner has arrived
  // and nothing more comes.
  void startReaderAndSettle() {
    ASSERT_TRUE(StartConsoleReader(box_));
    ASSERT_TRUE(pumpUntil([&] { return boxText(box_).find('>') != std::string::npos; }));
    settle();
  }
  void settle() {
    std::string last;
    do {
      last = boxText(box_);
      pumpFor(150);
    } while (boxText(box_) != last);
  }
  bool boxContains(const std::string& text, DWORD timeoutMs = 10000) {
    return pumpUntil([&] { return boxText(box_).find(text) != std::string::npos; }, timeoutMs);
  }

  HWND box_ = nullptr;
  DWORD id_ = 0;
  UniqueHandle process_;
};

TEST_F(ConsoleTest, OutputOfACommandReachesTheLogBox) {
  startReaderAndSettle();
  std::string command = "  echo roamdeck-console-works  ";
  EXPECT_EQ(SendConsoleCommand(command),
            static_cast<int>(strlen("echo roamdeck-console-works\r\n")));
  EXPECT_EQ(command, "echo roamdeck-console-works");  // the caller's text comes back trimmed
  EXPECT_TRUE(boxContains("roamdeck-console-works"));
  // The interpreter works in the system folder, where the tools are staged.
  std::string cd = "cd";
  SendConsoleCommand(cd);
  EXPECT_TRUE(boxContains(systemFolder()));
}

TEST_F(ConsoleTest, EmptyOrAllSpaceCommandsSendABareLineEnd) {
  std::string empty;
  EXPECT_EQ(SendConsoleCommand(empty), 2);
  std::string spaces = "  \xA1\xA1 \xA1\xA1";
  EXPECT_EQ(SendConsoleCommand(spaces), 2);
  EXPECT_EQ(spaces, "");
  std::string tab = "\t";  // tabs are not trimmed
  EXPECT_EQ(SendConsoleCommand(tab), 3);
}

TEST_F(ConsoleTest, ExitInAnyCaseClosesTheConsoleWithCode3389) {
  std::string exit = " EXIT ";
  EXPECT_EQ(SendConsoleCommand(exit), 4);
  EXPECT_EQ(exit, "EXIT");
  ASSERT_EQ(WaitForSingleObject(process_.get(), 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  EXPECT_EQ(code, 3389u);
  std::string after = "echo late";
  EXPECT_EQ(SendConsoleCommand(after), 0);
  EXPECT_FALSE(CloseConsole());
}

TEST_F(ConsoleTest, ClsWritesAFreshPromptIntoTheLogOnly) {
  startReaderAndSettle();
  std::string cls = "cLs";
  EXPECT_EQ(SendConsoleCommand(cls), 3);
  EXPECT_TRUE(boxContains(systemFolder() + ">"));
  settle();
  std::string text = boxText(box_);
  EXPECT_EQ(text.substr(text.size() - systemFolder().size() - 1), systemFolder() + ">");
}

TEST_F(ConsoleTest, CloseTerminatesTheInterpreterAndASecondOpenReusesIt) {
  EXPECT_EQ(OpenConsole(), id_);
  EXPECT_TRUE(CloseConsole());
  ASSERT_EQ(WaitForSingleObject(process_.get(), 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  EXPECT_EQ(code, 3389u);
  EXPECT_FALSE(processRunning(id_));
  EXPECT_FALSE(CloseConsole());
}

TEST_F(ConsoleTest, LogIsEmptiedOnlyWhenAPieceWouldTakeItPast30000) {
  startReaderAndSettle();
  const std::string prompt = systemFolder() + ">";
  // Exactly 30000 with the piece: nothing is emptied.
  std::string filler(30000 - prompt.size(), 'x');
  SetWindowTextA(box_, filler.c_str());
  std::string cls = "cls";
  SendConsoleCommand(cls);
  ASSERT_TRUE(pumpUntil([&] { return boxText(box_).size() == 30000; }));
  EXPECT_EQ(boxText(box_), filler + prompt);
  // One more byte would pass it: the box is emptied and holds only the piece.
  filler += 'y';
  SetWindowTextA(box_, filler.c_str());
  SendConsoleCommand(cls);
  ASSERT_TRUE(pumpUntil([&] { return boxText(box_) == prompt; }));
}

TEST_F(ConsoleTest, ALineLongerThanOneReadArrivesOnceByteForByte) {
  startReaderAndSettle();
  std::string line;
  for (int i = 0; i < 70; ++i) line += "L" + std::to_string(1000 + i);  // 350 bytes, no repeats
  std::string command = "echo " + line;
  SendConsoleCommand(command);
  ASSERT_TRUE(boxContains(line));
  settle();
  std::string text = boxText(box_);
  EXPECT_EQ(text.find(line), text.rfind(line));
}

TEST_F(ConsoleTest, APieceIsCutAtItsFirstNul) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string path = std::string(temp) + "roamdeck-nul.txt";
  {
    UniqueHandle file(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    const char bytes[] = "BEFORE-NUL\0AFTER-NUL";
    DWORD written;
    WriteFile(file.get(), bytes, sizeof bytes - 1, &written, nullptr);
  }
  startReaderAndSettle();
  std::string command = "type \"" + path + "\"";
  SendConsoleCommand(command);
  ASSERT_TRUE(boxContains("BEFORE-NUL"));
  settle();
  EXPECT_EQ(boxText(box_).find("AFTER-NUL"), std::string::npos);
  DeleteFileA(path.c_str());
}

TEST_F(ConsoleTest, ASecondReaderWaitsWhileTheFirstKeepsAppending) {
  startReaderAndSettle();
  std::string first = "echo first-reader-text";
  SendConsoleCommand(first);
  ASSERT_TRUE(boxContains("first-reader-text"));
  // A second reader would empty the box as it starts; waiting, it must not.
  EXPECT_TRUE(StartConsoleReader(box_));
  std::string second = "echo second-command-text";
  SendConsoleCommand(second);
  ASSERT_TRUE(boxContains("second-command-text"));
  settle();
  EXPECT_NE(boxText(box_).find("first-reader-text"), std::string::npos);
}

TEST(ConsoleLifetime, AnInterpreterThatEndedByItselfIsClosedCleanly) {
  // Windows refuses to terminate a process that has already ended, and the
  // console then stays marked open with its pipes closed; Wine lets the
  // termination succeed. Either way nothing may be written any more.
  CloseConsole();
  DWORD id = OpenConsole("cmd.exe /c exit 7");
  ASSERT_NE(id, 0u);
  {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    if (process) WaitForSingleObject(process.get(), 5000);
  }
  Sleep(200);
  CloseConsole();
  std::string command = "echo nowhere";
  EXPECT_EQ(SendConsoleCommand(command), 0);
  EXPECT_FALSE(StartConsoleReader(nullptr));
  EXPECT_FALSE(CloseConsole());
}

TEST(ConsoleLifetime, NothingIsSentWhileNoConsoleIsOpen) {
  CloseConsole();
  std::string command = "echo nothing";
  EXPECT_EQ(SendConsoleCommand(command), 0);
  EXPECT_EQ(command, "echo nothing");
  EXPECT_FALSE(StartConsoleReader(nullptr));
}

}  // namespace
