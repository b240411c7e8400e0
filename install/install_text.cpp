#include "install/install_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/gbk_text.h"
#include "image/query_command.h"

namespace install_text {

namespace {

// What the interpreter prints: ##RDK-RESULT-<tag>-<exit code>##
constexpr char kResultStart[] = "##RDK-RESULT-";
constexpr char kResultEnd[] = "##";
// Longest result line worth waiting for the rest of.
constexpr std::size_t kLongestResult = 64;

}  // namespace

std::string applyCommandLine(const std::string& imagePath, int index,
                             const std::string& installPartition) {
  return "Vondrimal.exe /apply " + quotedPath(imagePath) + " " + std::to_string(index) + " " +
         installPartition;
}

std::string bootsectCommandLine(const std::string& bootPartition) {
  return "bootsect.exe /NT60 " + bootPartition.substr(0, 1) + ":";
}

std::string bcdbootCommandLine(const std::string& installPartition,
                               const std::string& bootPartition) {
  return "BCDBOOT.EXE " + installPartition + "Windows /S " + bootPartition;
}

std::string booticeCommandLine(const std::string& bootPartition) {
  return "BOOTICE.EXE /DEVICE=" + bootPartition + " /partitions /activate /quiet";
}

std::string booticeConsoleLine(const std::string& bootPartition) {
  return "start \"\" /b /wait " + booticeCommandLine(bootPartition);
}

std::string withResultLine(const std::string& command, ResultTag tag) {
  return command + " & call echo ##RDK^-RESULT-" + std::to_string(static_cast<int>(tag)) +
         "-%^errorlevel%##";
}

std::vector<CommandResult> ResultScanner::feed(const std::string& piece) {
  std::vector<CommandResult> results;
  pending_ += piece;
  std::size_t consumed = 0;
  std::size_t start;
  while ((start = pending_.find(kResultStart, consumed)) != std::string::npos) {
    std::size_t fields = start + std::strlen(kResultStart);
    std::size_t end = pending_.find(kResultEnd, fields);
    if (end == std::string::npos) {
      // Incomplete: keep it for the next piece, unless it can no longer be one.
      if (pending_.size() - start > kLongestResult)
        consumed = start + 1;
      else
        consumed = start;
      break;
    }
    // <tag>-<code>, both decimal; the code may be negative.
    std::string body = pending_.substr(fields, end - fields);
    std::size_t dash = body.find('-');
    char* tagEnd = nullptr;
    char* codeEnd = nullptr;
    if (dash != std::string::npos && dash > 0 && dash + 1 < body.size()) {
      std::string tagText = body.substr(0, dash);
      std::string codeText = body.substr(dash + 1);
      long tag = std::strtol(tagText.c_str(), &tagEnd, 10);
      long code = std::strtol(codeText.c_str(), &codeEnd, 10);
      if (*tagEnd == '\0' && *codeEnd == '\0' &&
          tagText.find_first_not_of("0123456789") == std::string::npos &&
          codeText.find_first_not_of("-0123456789") == std::string::npos)
        results.push_back({static_cast<int>(tag), code});
    }
    consumed = end + std::strlen(kResultEnd);
  }
  if (start == std::string::npos) {
    // Keep a tail that may be the beginning of a result line.
    std::size_t keep = std::min(pending_.size() - consumed, std::strlen(kResultStart) - 1);
    consumed = pending_.size() - keep;
  }
  pending_.erase(0, consumed);
  return results;
}

std::string toolFailureReason(const std::string& log, ResultTag tag) {
  const std::string marker = kResultStart + std::to_string(static_cast<int>(tag)) + "-";
  const std::size_t end = log.rfind(marker);
  if (end == std::string::npos) return std::string();
  // The output since the result line before, if the log still holds one.
  std::size_t begin = 0;
  const std::size_t previous = end == 0 ? std::string::npos : log.rfind(kResultStart, end - 1);
  if (previous != std::string::npos) {
    const std::size_t close = log.find(kResultEnd, previous + std::strlen(kResultStart));
    begin = close == std::string::npos || close > end ? end : close + std::strlen(kResultEnd);
  }
  std::string reason;
  std::size_t lineStart = begin;
  while (lineStart < end) {
    std::size_t lineEnd = log.find('\n', lineStart);
    if (lineEnd == std::string::npos || lineEnd > end) lineEnd = end;
    std::string line = log.substr(lineStart, lineEnd - lineStart);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = gbk::trimSpaces(line);
    // The echoed command holds the marker's text too; it is no reason.
    if (line.find("RDK") == std::string::npos &&
        gbk::asciiLower(line).find("error") != std::string::npos)
      reason = line;
    lineStart = lineEnd + 1;
  }
  const std::size_t said = gbk::asciiLower(reason).find(": error: ");
  if (said != std::string::npos) reason = gbk::trimSpaces(reason.substr(said + 9));
  // The imaging tool's error lines start "[ ERROR ] ".
  const std::string imaging = "[ ERROR ] ";
  if (reason.compare(0, imaging.size(), imaging) == 0)
    reason = gbk::trimSpaces(reason.substr(imaging.size()));
  return reason;
}

const std::vector<std::string>& systemFolderNames() {
  static const std::vector<std::string> names = {"Windows",       "Program Files (x86)",
                                                 "Program Files", "Documents and Settings",
                                                 "Users",         "ProgramData"};
  return names;
}

bool sameProcessName(const std::string& a, const std::string& b, bool matchCase) {
  return matchCase ? a == b : gbk::asciiLower(a) == gbk::asciiLower(b);
}

}  // namespace install_text
