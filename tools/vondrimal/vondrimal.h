// The imaging tool: a command dispatcher over the WIM engine. Each command lives in a
// file of its own and takes one entry of the table in vondrimal.cpp.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/command_line.h"

namespace tools {

struct VondrimalCommand {
  const char* name;   // the switch that selects it, such as /INFO; any letter case
  const char* usage;  // its arguments, for the usage message
  // Runs with the arguments after the command's own switch.
  ToolRun run;
};

// The commands this build's imaging tool knows.
const std::vector<VondrimalCommand>& vondrimalCommands();

// Hands the arguments after the first to the command the first one names.
// No command, or one the table does not hold, gets the usage message and
// kExitBadArguments.
int dispatchVondrimal(const std::vector<std::string>& arguments,
                      const std::vector<VondrimalCommand>& commands, const Host& host);

// Vondrimal.exe <command> [arguments]: dispatches over vondrimalCommands().
int runVondrimal(const std::vector<std::string>& arguments, const Host& host);

}  // namespace tools
