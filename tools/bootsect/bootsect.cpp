#include "tools/bootsect/bootsect.h"

namespace tools {

namespace {

constexpr char kTool[] = "bootsect.exe";
constexpr char kUsage[] = "Usage: bootsect.exe /NT60 {sys | all | <drive>:}";

int refuse(const Host& host, const std::string& reason) {
  host.printLine(errorLine(kTool, reason));
  host.printLine(kUsage);
  return kExitBadArguments;
}

// The target in words, or the empty text when it is none.
std::string describeTarget(const std::string& target) {
  if (sameSwitch(target, "sys")) return "the system partition (" + target + ")";
  if (sameSwitch(target, "all")) return "every partition (" + target + ")";
  if (isDrive(target)) return "drive " + target;
  return std::string();
}

}  // namespace

int runBootsect(const std::vector<std::string>& arguments, const Host& host) {
  if (arguments.empty()) return refuse(host, "no boot code given");
  if (!sameSwitch(arguments[0], "/NT60"))
    return refuse(host, "unknown option " + quoted(arguments[0]) + ", expected /NT60");
  if (arguments.size() < 2) return refuse(host, "no target given after /NT60");
  std::string target = describeTarget(arguments[1]);
  if (target.empty())
    return refuse(host, quoted(arguments[1]) + " is not a target: expected sys, all or a drive");
  if (arguments.size() > 2) return refuse(host, "unexpected argument " + quoted(arguments[2]));

  host.printLine(notCarriedLine("write the NT60 boot code to " + target, kTool));
  return kExitNothingDone;
}

}  // namespace tools
