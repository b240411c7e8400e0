// The three boot set-up stand-ins. Each understands the command line the
// program sends, says what it was asked to do and that it did nothing.
#pragma once

#include <string>
#include <vector>

#include "standins/standin.h"

namespace standins {

// bootsect.exe /NT60 {sys | all | <drive>:}
int runBootsect(const std::vector<std::string>& arguments, const Host& host);

// bcdboot.exe <source Windows folder> /S <drive>:
// The source folder must exist: the real tool copies its boot files from it.
int runBcdboot(const std::vector<std::string>& arguments, const Host& host);

// BOOTICE.exe /DEVICE=<drive>: /partitions /activate [/quiet]
int runBootice(const std::vector<std::string>& arguments, const Host& host);

}  // namespace standins
