#include "drives/partition_lists.h"

#include "app/main_form.h"

void fillPartitionLists(MainForm&) {}
