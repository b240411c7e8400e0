#include "install/console_text.h"

#include <cstring>

#include "common/gbk_text.h"

namespace console_text {

CommandKind classify(const std::string& trimmedCommand) {
  if (gbk::equalsIgnoringAsciiCase(trimmedCommand, "exit")) return CommandKind::Exit;
  if (gbk::equalsIgnoringAsciiCase(trimmedCommand, "cls")) return CommandKind::Cls;
  return CommandKind::Line;
}

std::string lineToSend(const std::string& trimmedCommand) { return trimmedCommand + "\r\n"; }

std::string pieceOf(const char* bytes, std::size_t delivered) {
  const void* nul = std::memchr(bytes, '\0', delivered);
  std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes) : delivered;
  return std::string(bytes, length);
}

}  // namespace console_text
