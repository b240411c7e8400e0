#include "tools/cli/command_line.h"

#include "common/gbk_text.h"
#include "roamdeck_version.h"

namespace tools {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> splitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  std::size_t pos = 0;
  const std::size_t end = commandLine.size();

  // The program name knows no escapes ("C:\Tools\" may end in a backslash):
  // quotes only group, up to the first blank outside them.
  std::string program;
  bool nameQuoted = false;
  while (pos < end && (nameQuoted || !isBlank(commandLine[pos]))) {
    if (commandLine[pos] == '"')
      nameQuoted = !nameQuoted;
    else
      program += commandLine[pos];
    ++pos;
  }
  arguments.push_back(program);

  for (;;) {
    while (pos < end && isBlank(commandLine[pos])) ++pos;
    if (pos >= end) break;
    std::string argument;
    bool inQuotes = false;
    while (pos < end && (inQuotes || !isBlank(commandLine[pos]))) {
      if (commandLine[pos] == '\\') {
        std::size_t backslashes = 0;
        while (pos < end && commandLine[pos] == '\\') {
          ++backslashes;
          ++pos;
        }
        if (pos < end && commandLine[pos] == '"') {
          argument.append(backslashes / 2, '\\');
          if (backslashes % 2 == 1) {
            argument += '"';
            ++pos;
          }
        } else {
          argument.append(backslashes, '\\');
        }
      } else if (commandLine[pos] == '"') {
        // Inside quotes, a doubled quote stands for one.
        if (inQuotes && pos + 1 < end && commandLine[pos + 1] == '"') {
          argument += '"';
          ++pos;
        } else {
          inQuotes = !inQuotes;
        }
        ++pos;
      } else {
        // A GBK character moves as a whole: its second byte may be 0x5C.
        std::size_t length = gbk::charLength(commandLine, pos);
        argument.append(commandLine, pos, length);
        pos += length;
      }
    }
    arguments.push_back(argument);
  }
  return arguments;
}

int runFromCommandLine(const std::string& commandLine, ToolRun run, const Host& host,
                       const char* help) {
  std::vector<std::string> arguments = splitCommandLine(commandLine);
  if (help && arguments.size() == 2 && (arguments[1] == "--help" || arguments[1] == "-h")) {
    const std::string text = help;
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      host.printLine(text.substr(start, end - start));
      start = end + 1;
    }
    host.printLine(versionLine(programName(arguments[0])));
    return kExitOk;
  }
  // For people and packaging scripts, not for the program's log: no echo.
  if (arguments.size() == 2 && arguments[1] == "--version") {
    host.printLine(versionLine(programName(arguments[0])));
    return kExitOk;
  }
  host.printLine(commandLine);
  arguments.erase(arguments.begin());
  return run(arguments, host);
}

std::string versionLine(const std::string& tool) { return tool + " (Roamdeck) " ROAMDECK_VERSION; }

std::string programName(const std::string& program) {
  // Separators count only outside GBK characters, whose second byte may be 0x5C.
  std::size_t start = 0;
  for (std::size_t pos = 0; pos < program.size(); pos += gbk::charLength(program, pos))
    if (program[pos] == '\\' || program[pos] == '/') start = pos + 1;
  std::string name = program.substr(start);
  if (name.size() > 4 && gbk::equalsIgnoringAsciiCase(name.substr(name.size() - 4), ".exe"))
    name.resize(name.size() - 4);
  return name;
}

bool sameSwitch(const std::string& given, const char* expected) {
  return gbk::equalsIgnoringAsciiCase(given, expected);
}

std::string errorLine(const char* tool, const std::string& reason) {
  return std::string(tool) + ": error: " + reason;
}

int refuseArguments(const Host& host, const char* tool, const char* usage,
                    const std::string& reason) {
  host.printLine(errorLine(tool, reason));
  host.printLine(usage);
  host.printLine(versionLine(tool));
  return kExitBadArguments;
}

int failWith(const Host& host, const char* tool, const std::string& reason) {
  host.printLine(errorLine(tool, reason));
  return kExitFailed;
}

std::string quoted(const std::string& argument) { return "\"" + argument + "\""; }

}  // namespace tools
