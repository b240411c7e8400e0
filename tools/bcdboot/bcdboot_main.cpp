#include "tools/bcdboot/bcdboot.h"
#include "tools/cli/host.h"

int main(int argc, char** argv) { return tools::runTool(tools::runBcdboot, argc, argv); }
