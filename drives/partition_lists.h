// The install- and boot-partition lists.
#pragma once

struct MainForm;

// Fills 组合框2 and 组合框3 with the removable and fixed drives.
void fillPartitionLists(MainForm& form);
