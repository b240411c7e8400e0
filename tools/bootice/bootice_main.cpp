#include "tools/bootice/bootice.h"
#include "tools/cli/host_win32.h"

int main() { return tools::runTool(tools::runBootice); }
