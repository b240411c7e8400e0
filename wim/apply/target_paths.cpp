#include "wim/apply/target_paths.h"

#include <clocale>
#include <cwchar>
#include <utility>

#include "wim/format/image_tree.h"

namespace wim {

#ifdef _WIN32

namespace {

// The C runtime converts by the code page of its LC_CTYPE locale, which is
// "C" (bytes taken one by one) unless someone sets it; the user's locale is
// the ANSI code page that GetCommandLineA used. Set it for the conversion and
// put back whatever was there.
//
// One character at a time: the runtime's mbsrtowcs counts a double-byte
// character as two (seen under Wine), which left NULs at the end of the path,
// and the system then cut the path short there.
bool ansiToWide(const std::string& text, std::wstring& wide) {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string previous = current ? current : "C";
  if (!std::setlocale(LC_CTYPE, "")) return false;
  std::wstring converted;
  std::mbstate_t state{};
  bool ok = true;
  for (std::size_t at = 0; ok && at < text.size();) {
    wchar_t character = L'\0';
    const std::size_t used = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
    // 0 is a NUL, which no path may hold; (size_t)-1 and -2 are broken or cut
    // characters.
    ok = used != 0 && used <= text.size() - at && character != L'\0';
    if (ok) {
      converted += character;
      at += used;
    }
  }
  std::setlocale(LC_CTYPE, previous.c_str());
  if (ok) wide = std::move(converted);
  return ok;
}

}  // namespace

std::filesystem::path pathFromArgument(const std::string& argument) {
  std::wstring wide;
  if (ansiToWide(argument, wide)) return std::filesystem::path(wide);
  // No usable locale: take the bytes as Latin-1, which at least keeps ASCII.
  std::wstring latin1;
  for (char c : argument) latin1 += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return std::filesystem::path(latin1);
}

std::filesystem::path pathOfName(const std::u16string& name) {
  return std::filesystem::path(std::wstring(name.begin(), name.end()));
}

std::string displayPath(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  return utf8Of(std::u16string(wide.begin(), wide.end()));
}

#else

std::filesystem::path pathFromArgument(const std::string& argument) {
  return std::filesystem::path(argument);
}

std::filesystem::path pathOfName(const std::u16string& name) {
  return std::filesystem::path(utf8Of(name));
}

std::string displayPath(const std::filesystem::path& path) { return path.native(); }

#endif

}  // namespace wim
