// A host that records what a tool prints and answers folder questions
// from a fixed list.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tools/cli/command_line.h"

struct FakeHost {
  std::vector<std::string> lines;
  std::set<std::string> folders;
  std::vector<std::string> folderQueries;

  tools::Host host() {
    tools::Host result;
    result.printLine = [this](const std::string& line) { lines.push_back(line); };
    result.isFolder = [this](const std::string& path) {
      folderQueries.push_back(path);
      return folders.count(path) != 0;
    };
    return result;
  }
};
