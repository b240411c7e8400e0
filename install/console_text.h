// The text rules of the hidden console, apart from the pipes: what a sent
// command means and how the log box grows. No Windows API here.
#pragma once

#include <cstddef>
#include <string>

namespace console_text {

enum class CommandKind { Line, Exit, Cls };

// Classifies an already trimmed command: "exit" and "cls" in any letter case
// are the console's own words; everything else (the empty text too) is a line
// for the interpreter.
CommandKind classify(const std::string& trimmedCommand);

// What is written to the interpreter for a line: the command and CR LF.
std::string lineToSend(const std::string& trimmedCommand);

// The log box never grows beyond this many characters (bytes).
inline constexpr std::size_t kLogLimit = 30000;

// True when the box must be emptied before the piece is appended.
inline bool mustEmptyLog(std::size_t boxLength, std::size_t pieceLength) {
  return boxLength + pieceLength > kLogLimit;
}

// The bytes delivered by one read, up to the first NUL among them.
std::string pieceOf(const char* bytes, std::size_t delivered);

}  // namespace console_text
