// Apply progress and clocks during an installation.
#pragma once

#include <windows.h>

struct MainForm;

// 时钟2: the last progress line of the log box onto the progress display.
void onProgressTick(MainForm& form);

// 时钟3: the elapsed-time clock.
void onClockTick(MainForm& form);

// Starts the elapsed clock from the time it already shows, so that a second
// installation in the same run continues where the first one stopped.
void startElapsedClock();

// From now on, keeps the end of this log box as it is written to, so that a
// progress tick reads its last line without reading the box. The box is only
// ever emptied, set, or appended to at its end (the console reader does so).
void followLogBox(HWND logBox);
