#include "tools/cli/host.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace tools {

namespace {

void printLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputs("\r\n", stdout);
  // A piped stdout is fully buffered: the program's log must see each line
  // when it is printed, not when the tool ends.
  std::fflush(stdout);
}

bool isFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

int runTool(ToolRun run, int, char**) {
  // Binary mode: the lines carry their own CR LF, which text mode would turn
  // into CR CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
  Host host;
  host.printLine = printLine;
  host.isFolder = isFolder;
  return runFromCommandLine(GetCommandLineA(), run, host);
}

int runTool(ToolRun run, const char*, int argc, char** argv) { return runTool(run, argc, argv); }

}  // namespace tools
