#include "tools/bootsect/bootsect.h"
#include "tools/cli/host_win32.h"

int main() { return tools::runTool(tools::runBootsect); }
