// Apply progress and clocks during an installation.
#pragma once

struct MainForm;

// 时钟2: the last progress line of the log box onto the progress display.
void onProgressTick(MainForm& form);

// 时钟3: the elapsed-time clock.
void onClockTick(MainForm& form);

// Starts the elapsed clock from the time it already shows, so that a second
// installation in the same run continues where the first one stopped.
void startElapsedClock();
