#include "tools/bootice/bootice.h"

namespace tools {

namespace {

constexpr char kTool[] = "BOOTICE.exe";
constexpr char kUsage[] = "Usage: BOOTICE.exe /DEVICE=<drive>: /partitions /activate [/quiet]";
constexpr char kDevicePrefix[] = "/DEVICE=";

int refuse(const Host& host, const std::string& reason) {
  host.printLine(errorLine(kTool, reason));
  host.printLine(kUsage);
  return kExitBadArguments;
}

}  // namespace

int runBootice(const std::vector<std::string>& arguments, const Host& host) {
  const std::size_t prefixLength = sizeof kDevicePrefix - 1;
  bool hasDevice = false, hasPartitions = false, hasActivate = false, hasQuiet = false;
  std::string device;
  for (const std::string& argument : arguments) {
    bool* seen = nullptr;
    if (sameSwitch(argument.substr(0, prefixLength), kDevicePrefix)) {
      seen = &hasDevice;
      device = argument.substr(prefixLength);
    } else if (sameSwitch(argument, "/partitions")) {
      seen = &hasPartitions;
    } else if (sameSwitch(argument, "/activate")) {
      seen = &hasActivate;
    } else if (sameSwitch(argument, "/quiet")) {
      seen = &hasQuiet;
    } else {
      return refuse(host, "unknown switch " + quoted(argument));
    }
    if (*seen) return refuse(host, quoted(argument) + " given twice");
    *seen = true;
  }
  if (!hasDevice) return refuse(host, "no /DEVICE=<drive> given");
  if (!isDrive(device)) return refuse(host, quoted(device) + " is not a drive");
  if (!hasPartitions) return refuse(host, "no /partitions given");
  if (!hasActivate) return refuse(host, "no /activate given");

  host.printLine(notCarriedLine("mark " + device + " as the active partition", kTool));
  return kExitNothingDone;
}

}  // namespace tools
