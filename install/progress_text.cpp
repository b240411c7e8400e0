#include "install/progress_text.h"

#include <cmath>
#include <cstring>

#include "common/gbk_text.h"

namespace {

constexpr char kCrLf[] = "\r\n";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool matchesAt(const std::string& text, std::size_t pos, const std::string& marker,
               bool ignoreCase) {
  if (marker.size() > text.size() - pos) return false;
  if (!ignoreCase) return text.compare(pos, marker.size(), marker) == 0;
  for (std::size_t i = 0; i < marker.size(); ++i)
    if (lowerAscii(text[pos + i]) != lowerAscii(marker[i])) return false;
  return true;
}

// First occurrence at or after `from` that starts on a character boundary;
// npos when there is none. Boundaries are counted from the start of the text.
std::size_t findOnBoundary(const std::string& text, const std::string& marker, std::size_t from,
                           bool ignoreCase) {
  if (marker.empty()) return std::string::npos;
  std::size_t pos = 0;
  while (pos < from && pos < text.size()) pos += gbk::charLength(text, pos);
  for (; pos < text.size(); pos += gbk::charLength(text, pos))
    if (matchesAt(text, pos, marker, ignoreCase)) return pos;
  return std::string::npos;
}

std::string withQuotes(const std::string& marker) {
  std::string result;
  std::size_t pos = 0;
  while (pos < marker.size()) {
    if (marker.compare(pos, std::strlen("#引号"), "#引号") == 0) {
      result += '"';
      pos += std::strlen("#引号");
    } else {
      std::size_t length = gbk::charLength(marker, pos);
      result.append(marker, pos, length);
      pos += length;
    }
  }
  return result;
}

// Drops every line before the last one that still counts: cutting right
// after a CR LF keeps the separators that follow exactly as they were.
void dropEarlierLines(std::string& text) {
  if (text.size() < 3) return;
  std::size_t separator = text.rfind(kCrLf, text.size() - 3);  // one with text behind it
  if (separator != std::string::npos) text.erase(0, separator + 2);
}

std::string twoDigits(std::int64_t value) { return (value > 9 ? "" : "0") + std::to_string(value); }

}  // namespace

int LineCount(const std::string& text) {
  if (text.empty()) return 0;
  int count = 1;
  std::size_t pos = 0;
  while ((pos = text.find(kCrLf, pos)) != std::string::npos) {
    pos += 2;
    if (pos < text.size()) ++count;  // a separator at the very end opens no line
  }
  return count;
}

std::string LineAt(const std::string& text, int n) {
  if (n < 1) return std::string();
  std::size_t start = 0;
  for (int line = 1; line < n; ++line) {
    std::size_t separator = text.find(kCrLf, start);
    if (separator == std::string::npos) return std::string();
    start = separator + 2;
  }
  if (start >= text.size()) return std::string();
  std::size_t end = text.find(kCrLf, start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string TextBetween(const std::string& text, const std::string& startMarker,
                        const std::string& endMarker, int startPosition, bool ignoreCase) {
  const std::string start = withQuotes(startMarker);
  const std::string end = withQuotes(endMarker);
  std::size_t from = startPosition > 0 ? static_cast<std::size_t>(startPosition - 1) : 0;
  std::size_t startAt = findOnBoundary(text, start, from, ignoreCase);
  std::size_t p = startAt == std::string::npos ? 0 : startAt + start.size();
  std::size_t q = findOnBoundary(text, end, p, ignoreCase);
  if (startAt == std::string::npos || q == std::string::npos) return std::string();
  return text.substr(p, q - p);
}

std::string FormatClock(std::int64_t seconds) {
  std::int64_t hours = seconds / 3600;
  std::int64_t minutes = (seconds - hours * 3600) / 60;
  std::int64_t rest = seconds - hours * 3600 - minutes * 60;
  return twoDigits(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(rest);
}

int leadingNumber(const std::string& text) {
  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  std::size_t begin = pos;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  double value = 0;
  bool digits = false;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, digits = true)
    value = value * 10 + (text[pos] - '0');
  if (pos < text.size() && text[pos] == '.') {
    double scale = 0.1;
    for (++pos; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, digits = true) {
      value += (text[pos] - '0') * scale;
      scale /= 10;
    }
  }
  if (!digits) return 0;
  if (text[begin] == '-') value = -value;
  if (value > 2147483647.0) return 2147483647;
  if (value < -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(std::trunc(value));
}

ProgressView progressViewOf(const std::string& logText) {
  const std::string lastLine = LineAt(logText, LineCount(logText));
  const std::string percent = TextBetween(lastLine, "[ ", "% ] Applying");
  const std::string minutes = TextBetween(lastLine, "progress:", "mins remaining");
  const std::string seconds = TextBetween(lastLine, "progress:", "secs remaining ");

  ProgressView view;
  view.percentLabel = "已完成：" + percent + " %";
  view.barPosition = leadingNumber(percent);
  if (!minutes.empty())
    view.remainingLabel = "剩余时间：00:" + minutes;
  else if (!seconds.empty())
    view.remainingLabel = "剩余时间：00:00:" + seconds;
  else
    view.remainingLabel = "剩余时间：正在计算";
  return view;
}

void resetLogTail(LogTail& tail, const std::string& boxText) {
  tail.text = boxText;
  dropEarlierLines(tail.text);
}

void appendToLogTail(LogTail& tail, const std::string& piece) {
  // A CR at the end of the tail and an LF at the start of the piece make a
  // separator: the search runs over the joined text.
  tail.text += piece;
  dropEarlierLines(tail.text);
}

std::string elapsedLabel(std::int64_t elapsedMilliseconds) {
  return "已用时间：" + FormatClock(elapsedMilliseconds / 1000);
}
