#include "app/shutdown.h"

#include <cstdlib>

#include "install/console.h"

// Every end of the run passes here, also the support module's own exits from
// inside its window hook, so the hidden console never outlives the program.
void endOfProgram() {
  CloseConsole();
  freeConsoleState();
}

void onExitClicked() {
  CloseConsole();
  std::exit(0);
}
