// Paths of the shell's special folders.
#pragma once

#include <string>

// The path of the special folder with this CSIDL number, with a trailing
// backslash; the empty text when the shell cannot report it.
std::string specialFolderPath(int csidl);
