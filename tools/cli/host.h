// Where a carried tool meets its system: its own command line, its standard
// output and a look at the file system. One file per system:
// host_win32.cpp, host_posix.cpp.
#pragma once

#include "tools/cli/command_line.h"

namespace tools {

// Runs the tool and returns its exit code. On Windows the command line is
// the process's own, as given (argc and argv are not used); elsewhere it is
// the arguments, joined by blanks.
int runTool(ToolRun run, int argc, char** argv);

// The same with the text --help prints; the Windows tools print none.
int runTool(ToolRun run, const char* help, int argc, char** argv);

}  // namespace tools
