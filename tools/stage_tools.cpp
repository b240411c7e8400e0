#include "tools/stage_tools.h"

void stageTools() {}
