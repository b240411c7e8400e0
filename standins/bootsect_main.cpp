#include "standins/boot_tools.h"
#include "standins/host_win32.h"

int main() { return standins::runStandIn(standins::runBootsect); }
