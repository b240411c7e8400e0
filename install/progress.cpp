#include "install/progress.h"

#include "app/main_form.h"

void onProgressTick(MainForm&) {}
void onClockTick(MainForm&) {}
