// The locale of the boot manager's texts.
#pragma once

#include <string>
#include <vector>

namespace boot {

// "xx-YY", "xxx-YY" or "xx-Yyyy-ZZ" (letters in any case): the names of the
// locale folders beside the boot files.
bool isLocaleName(const std::string& name);

// The locale given with /l when there is one; else the image's own when the
// folder names under <W>\Boot\PCAT hold exactly one locale besides en-US;
// else en-US.
std::string chooseLocale(const std::string& requested, const std::vector<std::string>& folders);

}  // namespace boot
