// How the program ends.
#pragma once

// The end-of-program routine: releases the program-wide records. Registered
// once at start-up; runs once, whichever way the program ends normally.
void endOfProgram();

// The exit button: closes the console and ends the program with exit code 0.
[[noreturn]] void onExitClicked();
