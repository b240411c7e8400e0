// The commands of the imaging tool, one file each.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/command_line.h"

namespace tools {

// /INFO <image>
int runInfo(const std::vector<std::string>& arguments, const Host& host);

// /apply <image> <index> <target>
int runApply(const std::vector<std::string>& arguments, const Host& host);

}  // namespace tools
