#include "tools/bcdboot/bcdboot.h"
#include "tools/cli/host.h"
#include "tools/cli/tool_help.h"

int main(int argc, char** argv) {
  return tools::runTool(tools::runBcdboot, tools::kBcdbootHelp, argc, argv);
}
