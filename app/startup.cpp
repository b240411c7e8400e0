#include "app/startup.h"

#include "app/main_form.h"
#include "drives/partition_lists.h"
#include "install/console.h"
#include "tools/stage_tools.h"

void onMainWindowCreated(MainForm& form) {
  stageTools();
  fillPartitionLists(form);
  OpenConsole();
}
