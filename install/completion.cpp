#include "install/completion.h"

#include "app/main_form.h"

void onCompletionTick(MainForm&) {}
