#include "boot/store/locale_choice.h"

namespace boot {

namespace {

bool letters(const std::string& s, std::size_t from, std::size_t count) {
  if (from + count > s.size()) return false;
  for (std::size_t i = from; i < from + count; ++i) {
    const char c = s[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

bool sameAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool isLocaleName(const std::string& name) {
  const std::size_t dash = name.find('-');
  if (dash != 2 && dash != 3) return false;
  if (!letters(name, 0, dash)) return false;
  const std::size_t rest = name.size() - dash - 1;
  if (rest == 2) return letters(name, dash + 1, 2);  // xx-YY
  // xx-Yyyy-ZZ: a script between language and region
  return rest == 7 && letters(name, dash + 1, 4) && name[dash + 5] == '-' &&
         letters(name, dash + 6, 2);
}

std::string chooseLocale(const std::string& requested, const std::vector<std::string>& folders) {
  if (!requested.empty()) return requested;
  std::string found;
  int others = 0;
  for (const std::string& f : folders) {
    if (!isLocaleName(f) || sameAscii(f, "en-US")) continue;
    if (others > 0 && sameAscii(f, found)) continue;  // the same folder listed twice
    found = f;
    ++others;
  }
  return others == 1 ? found : "en-US";
}

}  // namespace boot
