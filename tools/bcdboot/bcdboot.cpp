#include "tools/bcdboot/bcdboot.h"

namespace tools {

namespace {

constexpr char kTool[] = "bcdboot.exe";
constexpr char kUsage[] = "Usage: bcdboot.exe <source Windows folder> /S <drive>:";

int refuse(const Host& host, const std::string& reason) {
  host.printLine(errorLine(kTool, reason));
  host.printLine(kUsage);
  return kExitBadArguments;
}

}  // namespace

int runBcdboot(const std::vector<std::string>& arguments, const Host& host) {
  if (arguments.empty()) return refuse(host, "no source Windows folder given");
  const std::string& source = arguments[0];
  if (source.empty() || source[0] == '/')
    return refuse(host, quoted(source) + " is not a source Windows folder");
  if (arguments.size() < 2) return refuse(host, "no /S <drive> given");
  if (!sameSwitch(arguments[1], "/S"))
    return refuse(host, "unknown option " + quoted(arguments[1]) + ", expected /S");
  if (arguments.size() < 3) return refuse(host, "no drive given after /S");
  const std::string& drive = arguments[2];
  if (!isDrive(drive)) return refuse(host, quoted(drive) + " is not a drive");
  if (arguments.size() > 3) return refuse(host, "unexpected argument " + quoted(arguments[3]));

  if (!host.isFolder(source)) {
    host.printLine(errorLine(kTool, "the source Windows folder " + source + " does not exist"));
    return kExitNoSourceWindows;
  }
  host.printLine(notCarriedLine("copy the boot files of " + source + " to " + drive +
                                    " and create its boot configuration store there",
                                kTool));
  return kExitNothingDone;
}

}  // namespace tools
