// The Win32 side of a stand-in: its own command line, its standard output
// and a look at the file system.
#pragma once

#include "standins/standin.h"

namespace standins {

// Runs the tool on this process's command line and returns its exit code.
int runStandIn(ToolRun run);

}  // namespace standins
