#include "tools/bootice/bootice.h"
#include "tools/cli/host.h"

int main(int argc, char** argv) { return tools::runTool(tools::runBootice, argc, argv); }
