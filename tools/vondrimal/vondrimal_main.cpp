#include "tools/vondrimal/vondrimal.h"
#include "tools/cli/host.h"

int main(int argc, char** argv) { return tools::runTool(tools::runVondrimal, argc, argv); }
