// The second half of start-up: what the main window's "created" event runs.
#pragma once

struct MainForm;

// Stages the tools, fills the partition lists and opens the hidden console,
// in this order, each to its end before the next. Failures stay silent here;
// they show later, as the failure of whatever needs the missing piece.
void onMainWindowCreated(MainForm& form);
