// The texts of an installation: command lines, result lines and messages.
// No Windows API here.
#pragma once

#include <string>
#include <vector>

namespace install_text {

// Which command a result line reports on.
enum ResultTag : int {
  kApplyResult = 1,
  kBootsectResult = 2,
  kBcdbootResult = 3,
  kBooticeResult = 4
};

// "Vondrimal.exe /apply "<image>" <index> <partition>"; the image path in
// quotes by the same rule as the information query.
std::string applyCommandLine(const std::string& imagePath, int index,
                             const std::string& installPartition);

// The boot set-up, in the order the interpreter runs it. bootsect gets the
// chosen boot partition: its SYS target is the disk the running system
// started from, not the one being installed.
std::string bootsectCommandLine(const std::string& bootPartition);
std::string bcdbootCommandLine(const std::string& installPartition,
                               const std::string& bootPartition);
std::string booticeCommandLine(const std::string& bootPartition);
// BOOTICE is a windowed program: cmd neither waits for it nor learns its
// exit code unless it is started this way.
std::string booticeConsoleLine(const std::string& bootPartition);

// The command followed, on the same line, by a result line that the
// interpreter prints with the command's exit code once it has ended. "call"
// expands %errorlevel% only then (the caret hides it from the first
// expansion), and the caret in the marker keeps the echoed command line
// (Windows' cmd shows it) from ever reading as a result. One line per
// command, and the next only after this one's result: Wine's cmd reads a
// pipe in blocks and drops whatever follows the first line of a block.
std::string withResultLine(const std::string& command, ResultTag tag);

struct CommandResult {
  int tag = 0;
  long code = 0;
};

// Finds result lines in the console's output stream, piece by piece, also
// when one is split across two reads.
class ResultScanner {
 public:
  std::vector<CommandResult> feed(const std::string& piece);

 private:
  std::string pending_;
};

// Why a boot set-up command failed, as its tool said it: the last line with
// "error" in it that the console printed between the command's result line
// and the result line before, without the "<tool>: error: " (or the imaging
// tool's "[ ERROR ] ") in front. The
// empty text when the tool said no such thing (or the log no longer holds
// its output).
std::string toolFailureReason(const std::string& log, ResultTag tag);

// The folders that mark a partition as holding a system, in checking order.
const std::vector<std::string>& systemFolderNames();

// True when two executable names are equal, ASCII letter case ignored
// unless matchCase.
bool sameProcessName(const std::string& a, const std::string& b, bool matchCase);

}  // namespace install_text
