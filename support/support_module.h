// The support module. It stays inactive in an ordinary run and comes alive
// only when a debugger is attached at start-up.
#pragma once

// Called at most once, by start-up, before the main window is loaded.
void activateSupportModule();
