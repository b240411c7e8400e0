// The command lines that name an image file. No Windows API here.
//
// An image path goes into a command line in double quotes and is otherwise
// left as it is: spaces, &, ^, (, ), ! and Chinese names are safe inside the
// quotes. cmd expands %...% even inside quotes, so a path that holds "%" is
// refused before anything runs: nothing in a path may ever run as a command.
#pragma once

#include <string>

inline constexpr char kPercentRefusal[] = "安装源路径中不能含有 % 字符：";

// True when the path can be put into a command line safely.
bool isSafeImagePath(const std::string& imagePath);

// The path in double quotes.
std::string quotedPath(const std::string& path);

// The one line of WIM.CMD: the information query, appended to WIM.TXT in the
// Windows folder (given with its trailing backslash, or empty).
std::string infoCommandLine(const std::string& imagePath, const std::string& windowsFolder);
