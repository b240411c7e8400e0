// The Win32 side of a carried tool: its own command line, its standard output
// and a look at the file system.
#pragma once

#include "tools/cli/command_line.h"

namespace tools {

// Runs the tool on this process's command line and returns its exit code.
int runTool(ToolRun run);

}  // namespace tools
