// The end of an installation and the boot set-up.
#pragma once

struct MainForm;

// 时钟1: waits until the imaging tool has gone, then completes the install.
void onCompletionTick(MainForm& form);
