#include "image/query_command.h"

bool isSafeImagePath(const std::string& imagePath) {
  return imagePath.find('%') == std::string::npos && imagePath.find('"') == std::string::npos;
}

std::string quotedPath(const std::string& path) { return "\"" + path + "\""; }

std::string infoCommandLine(const std::string& imagePath, const std::string& windowsFolder) {
  return "Vondrimal.exe /INFO " + quotedPath(imagePath) + " >>" +
         quotedPath(windowsFolder + "\\WIM.TXT");
}
