#include "tools/vondrimal/vondrimal.h"

#include "tools/vondrimal/vondrimal_commands.h"

namespace tools {

namespace {

constexpr char kTool[] = "Vondrimal.exe";

int showUsage(const std::vector<VondrimalCommand>& commands, const Host& host,
              const std::string& reason) {
  host.printLine(errorLine(kTool, reason));
  host.printLine("Usage: Vondrimal.exe <command> [arguments]");
  if (commands.empty())
    host.printLine("This build's imaging tool knows no commands: nothing was done.");
  for (const VondrimalCommand& command : commands)
    host.printLine(std::string("  Vondrimal.exe ") + command.name + " " + command.usage);
  host.printLine(versionLine("Vondrimal"));
  return kExitBadArguments;
}

}  // namespace

const std::vector<VondrimalCommand>& vondrimalCommands() {
  static const std::vector<VondrimalCommand> commands = {
      {"/INFO", "<image>", runInfo},
      {"/apply", "<image> <index> <target folder>", runApply},
  };
  return commands;
}

int dispatchVondrimal(const std::vector<std::string>& arguments,
                      const std::vector<VondrimalCommand>& commands, const Host& host) {
  if (arguments.empty()) return showUsage(commands, host, "no command given");
  for (const VondrimalCommand& command : commands) {
    if (sameSwitch(arguments[0], command.name))
      return command.run(std::vector<std::string>(arguments.begin() + 1, arguments.end()), host);
  }
  return showUsage(commands, host, "unknown command " + quoted(arguments[0]));
}

int runVondrimal(const std::vector<std::string>& arguments, const Host& host) {
  return dispatchVondrimal(arguments, vondrimalCommands(), host);
}

}  // namespace tools
