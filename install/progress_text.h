// Reading the imaging tool's progress out of the console log, and the clock
// text. Pure functions over GBK bytes; no Windows API here.
#pragma once

#include <cstdint>
#include <string>

// Lines are cut at every CR LF; an empty piece after the last separator is
// dropped, so a text ending in CR LF has its complete line last. A lone CR
// or LF does not split. An empty text has no lines.
int LineCount(const std::string& text);
// Line n, counted from 1; empty for n outside 1..LineCount.
std::string LineAt(const std::string& text, int n);

// The text between the first start marker (searched from startPosition,
// counted from 1; 0 or less means from the beginning) and the next end
// marker after it. Matches begin only on character boundaries. "#引号" in a
// marker stands for a double quote. Empty when either marker is missing.
std::string TextBetween(const std::string& text, const std::string& startMarker,
                        const std::string& endMarker, int startPosition = 0,
                        bool ignoreCase = false);

// HH:MM:SS; hours take three digits from 100 on.
std::string FormatClock(std::int64_t seconds);

// What the progress display shows for one state of the log box.
struct ProgressView {
  std::string percentLabel;    // 透明标签11
  int barPosition = 0;         // 进度条1
  std::string remainingLabel;  // 透明标签10
};
ProgressView progressViewOf(const std::string& logText);

// The end of the log box that holds its last line: the box's text after its
// last CR LF that still has text behind it. Kept up to date from what is
// written into the box, so that a progress tick need not read the whole box:
// LineAt(tail.text, LineCount(tail.text)) is the box's last line.
struct LogTail {
  std::string text;
};
// The box now holds exactly boxText.
void resetLogTail(LogTail& tail, const std::string& boxText);
// The piece was added at the end of the box.
void appendToLogTail(LogTail& tail, const std::string& piece);

// The leading decimal number of a text (spaces skipped), truncated toward
// zero; 0 when the text does not start with a number.
int leadingNumber(const std::string& text);

// The elapsed-time label for a number of milliseconds.
std::string elapsedLabel(std::int64_t elapsedMilliseconds);
