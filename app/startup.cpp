#include "app/startup.h"

#include "app/main_form.h"
#include "drives/partition_lists.h"
#include "install/console.h"
#include "tools/stage_tools.h"

void onMainWindowCreated(MainForm& form) {
  stageTools();
  fillPartitionLists(form);
  // Filling the lists lets the window handle messages; if the user closed it
  // meanwhile, the console would outlive the window that closes it.
  if (IsWindow(form.window)) OpenConsole();
}
