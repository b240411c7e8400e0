// What the native boot tools print for --help: the usage, each switch, the
// exit status and where the manual page is. The Windows tools keep their
// command lines as the program sends them and print none.
#pragma once

namespace tools {

extern const char kBootsectHelp[];
extern const char kBcdbootHelp[];
extern const char kBooticeHelp[];

}  // namespace tools
