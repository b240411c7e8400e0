// Vondrimal.exe /INFO <image>: the image's information, read from its header
// and XML data.
#include "tools/vondrimal/vondrimal_commands.h"

#include "wim/format/wim_info.h"

namespace tools {

int runInfo(const std::vector<std::string>& arguments, const Host& host) {
  if (arguments.size() != 1) {
    host.printLine(errorLine("Vondrimal.exe", "/INFO takes exactly one image path"));
    return kExitBadArguments;
  }
  std::string report;
  int code = wim::runInfoCommand(arguments[0], report);
  // The report's lines end in "\n"; the host adds the line ends itself.
  std::size_t start = 0;
  while (start < report.size()) {
    std::size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    host.printLine(report.substr(start, end - start));
    start = end + 1;
  }
  return code;
}

}  // namespace tools
