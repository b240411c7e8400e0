#include "app/shutdown.h"

#include <cstdlib>

#include "install/console.h"

void endOfProgram() { freeConsoleState(); }

void onExitClicked() {
  CloseConsole();
  std::exit(0);
}
