// What the user can do about a failed write, told from the system's reason
// that the tools put in their messages: "(ENOSPC)" natively, "(error 112)"
// on Windows.
#pragma once

#include <string>

namespace tools {

// Empty when the reason names nothing the user can act on.
std::string remedyFor(const std::string& reason);

// The reason with its remedy after it, where there is one.
std::string withRemedy(const std::string& reason);

}  // namespace tools
