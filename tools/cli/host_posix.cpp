#include <sys/stat.h>

#include <cstdio>

#include "tools/cli/host.h"

namespace tools {

namespace {

void printLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The arguments as one line, quoted where a blank would split them, so that
// the echo reads back as the same command.
std::string joinedCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument.empty() || argument.find_first_of(" \t\"") != std::string::npos) {
      std::string escaped = "\"";
      for (char c : argument) escaped += c == '"' ? std::string("\"\"") : std::string(1, c);
      argument = escaped + "\"";
    }
    line += (i ? " " : "") + argument;
  }
  return line;
}

}  // namespace

int runTool(ToolRun run, int argc, char** argv) { return runTool(run, nullptr, argc, argv); }

int runTool(ToolRun run, const char* help, int argc, char** argv) {
  Host host;
  host.printLine = printLine;
  host.isFolder = isFolder;
  return runFromCommandLine(joinedCommandLine(argc, argv), run, host, help);
}

}  // namespace tools
