#include "tools/bootsect/bootsect.h"
#include "tools/cli/host.h"

int main(int argc, char** argv) { return tools::runTool(tools::runBootsect, argc, argv); }
