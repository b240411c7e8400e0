// A boot tool that does nothing and says it succeeded: placed in the system
// folder before the program starts (staging keeps existing files), it lets a
// test see an installation whose boot set-up succeeds.
#include <cstdio>

#include <windows.h>

int main() {
  std::printf("%s\n", GetCommandLineA());
  std::printf("test tool: nothing to do, reporting success\n");
  return 0;
}
