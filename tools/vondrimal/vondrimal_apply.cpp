// Vondrimal.exe /apply <image> <index> <target>: applies one image of a WIM
// file into a folder, with the imaging tool's progress lines.
#include "tools/vondrimal/vondrimal_commands.h"

#include "wim/apply/wim_apply.h"

namespace tools {

int runApply(const std::vector<std::string>& arguments, const Host& host) {
  if (arguments.size() != 3) {
    host.printLine(errorLine("Vondrimal.exe", "/apply takes an image path, an index and a target"));
    return kExitBadArguments;
  }
  return wim::runApplyCommand(arguments[0], arguments[1], arguments[2],
                              [&host](const std::string& line) { host.printLine(line); });
}

}  // namespace tools
