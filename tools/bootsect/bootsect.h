// bootsect.exe: so far a stand-in that understands the program's command line,
// says what it was asked to do and that it did nothing.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/command_line.h"

namespace tools {

// bootsect.exe /NT60 {sys | all | <drive>:}
int runBootsect(const std::vector<std::string>& arguments, const Host& host);

}  // namespace tools
