// bcdboot.exe: so far a stand-in that understands the program's command line,
// says what it was asked to do and that it did nothing.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/command_line.h"

namespace tools {

// bcdboot.exe <source Windows folder> /S <drive>:
// The source folder must exist: the real tool copies its boot files from it.
int runBcdboot(const std::vector<std::string>& arguments, const Host& host);

}  // namespace tools
