#include "tools/bootsect/bootsect.h"
#include "tools/cli/host.h"
#include "tools/cli/tool_help.h"

int main(int argc, char** argv) {
  return tools::runTool(tools::runBootsect, tools::kBootsectHelp, argc, argv);
}
