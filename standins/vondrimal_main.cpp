#include "standins/vondrimal.h"
#include "standins/host_win32.h"

int main() { return standins::runStandIn(standins::runVondrimal); }
