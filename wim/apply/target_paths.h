// Paths of the apply's target. Names inside an image are UTF-16; on Windows
// they become paths unchanged (wide), so that every name, Chinese included,
// is created exactly; elsewhere they become UTF-8. The tool's own arguments
// are narrow text: on Windows in the ANSI code page (the program passes them
// through GetCommandLineA), elsewhere UTF-8.
#pragma once

#include <filesystem>
#include <string>

namespace wim {

// A path from a command-line argument, converted as described above.
std::filesystem::path pathFromArgument(const std::string& argument);

// One name of an image entry as a path element.
std::filesystem::path pathOfName(const std::u16string& name);

// A path as UTF-8 text, for output lines.
std::string displayPath(const std::filesystem::path& path);

}  // namespace wim
