// The commands of the imaging stand-in, one file each.
#pragma once

#include <string>
#include <vector>

#include "standins/standin.h"

namespace standins {

// /INFO <image>
int runInfo(const std::vector<std::string>& arguments, const Host& host);

// /apply <image> <index> <target>
int runApply(const std::vector<std::string>& arguments, const Host& host);

}  // namespace standins
