#include "tools/cli/failure_text.h"

#include <initializer_list>

namespace tools {

namespace {

bool contains(const std::string& text, std::initializer_list<const char*> words) {
  for (const char* word : words)
    if (text.find(word) != std::string::npos) return true;
  return false;
}

}  // namespace

std::string remedyFor(const std::string& reason) {
  if (contains(reason, {"(ENOSPC)", "(EDQUOT)", "(error 112)", "(error 39)"}))
    return "free some space on it and run the command again";
  if (contains(reason, {"(EROFS)", "(error 19)"}))
    return "it is read-only: make it writable (mount it read-write, or remove the write "
           "protection) and run the command again";
  if (contains(reason, {"(EIO)", "(error 23)", "(error 1117)", "(error 483)"}))
    return "the disk reported an I/O error: check it (and its cable or port) and run the "
           "command again";
  if (contains(reason, {"(EACCES)", "(EPERM)", "(error 5)"}))
    return "run the command as administrator (root), with nothing else using the volume";
  return std::string();
}

std::string withRemedy(const std::string& reason) {
  const std::string remedy = remedyFor(reason);
  return remedy.empty() ? reason : reason + "; " + remedy;
}

}  // namespace tools
