#include "image/escape_marker.h"

#include "common/gbk_text.h"

std::string replaceAllGbk(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text.compare(pos, from.size(), from) == 0) {
      result += to;
      pos += from.size();
    } else {
      std::size_t length = gbk::charLength(text, pos);
      result.append(text, pos, length);
      pos += length;
    }
  }
  return result;
}

std::string EscapeMarker(const std::string& marker) {
  static const char* const kSteps[][2] = {
      {"?", "\\?"}, {"*", "\\*"}, {"+", "\\+"}, {"[", "\\["},    {"]", "\\]"},    {"(", "\\("},
      {")", "\\)"}, {"{", "\\{"}, {"}", "\\}"}, {"#引号", "\""}, {"\r\n", "\\n"},
  };
  std::string fragment = marker;
  for (const auto& step : kSteps) fragment = replaceAllGbk(fragment, step[0], step[1]);
  return fragment;
}
