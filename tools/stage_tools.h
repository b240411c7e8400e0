// The four tools the program drives, carried inside the executable and
// written into the system folder at start-up.
#pragma once

// Writes each tool into the system folder unless something already exists
// at its path. Failures are silent: a missing tool shows when it is run.
void stageTools();
