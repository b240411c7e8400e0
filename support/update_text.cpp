#include "support/update_text.h"

#include <climits>

#include "common/gbk_text.h"

const char* const kUpdateMarkers[kUpdateMarkerCount] = {
    "最新版本:", "发布时间:", "文件大小:", "下载地址:"};

namespace {

// First occurrence of `needle` at or after `from` that starts on a character
// boundary; npos when none. `from` must itself be a boundary.
std::size_t findOnBoundary(const std::string& text, const std::string& needle, std::size_t from) {
  if (needle.empty()) return from <= text.size() ? from : std::string::npos;
  for (std::size_t pos = from; pos < text.size(); pos += gbk::charLength(text, pos)) {
    if (text.compare(pos, needle.size(), needle) == 0) return pos;
  }
  return std::string::npos;
}

std::string replaceAll(const std::string& text, const std::string& what, const std::string& with) {
  std::string result;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t found = findOnBoundary(text, what, pos);
    if (found == std::string::npos) break;
    result.append(text, pos, found - pos);
    result += with;
    pos = found + what.size();
  }
  if (pos < text.size()) result.append(text, pos, std::string::npos);
  return result;
}

}  // namespace

std::string textAfterMarker(const std::string& text, const std::string& marker,
                            const std::string& endMarker) {
  // A page without the marker gives nothing rather than a piece from some
  // arbitrary place: an empty value means no update everywhere downstream.
  std::size_t start = findOnBoundary(text, marker, 0);
  if (start == std::string::npos) return std::string();
  std::size_t restBegin = start + marker.size();
  std::size_t end = findOnBoundary(text, endMarker, restBegin);
  if (end == std::string::npos || endMarker.empty()) return std::string();
  return text.substr(restBegin, end - restBegin);
}

PublishedUpdate readPublishedUpdate(const std::string& page) {
  PublishedUpdate update;
  std::string* fields[kUpdateMarkerCount] = {&update.latestVersion, &update.releaseTime,
                                             &update.fileSizeText, &update.downloadAddress};
  for (std::size_t i = 0; i < kUpdateMarkerCount; ++i)
    *fields[i] = gbk::trimSpaces(textAfterMarker(page, kUpdateMarkers[i], kValueEnd));
  return update;
}

std::string withoutNbsp(const std::string& paragraph) {
  return replaceAll(paragraph, "&nbsp;", std::string());
}

std::string joinReleaseNotes(const std::vector<std::string>& paragraphs) {
  std::string notes;
  for (const std::string& paragraph : paragraphs) notes += withoutNbsp(paragraph) + "\r\n";
  return notes;
}

int leadingInteger(const std::string& text) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  long long value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (text[pos] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string shortenByteSizeText(const std::string& shellText) {
  if (shellText == "0 字节") return "0";
  return replaceAll(shellText, "字节", "B");
}

bool isWebAddress(const std::string& address) {
  std::string lower = gbk::asciiLower(address);
  return lower.compare(0, 7, "http://") == 0 || lower.compare(0, 8, "https://") == 0;
}

std::size_t validUtf8PrefixLength(const std::string& bytes) {
  std::size_t pos = 0;
  const std::size_t size = bytes.size();
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  auto continuation = [&](std::size_t i) { return i < size && (at(i) & 0xC0) == 0x80; };
  while (pos < size) {
    unsigned char lead = at(pos);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return pos;
    }
    if (length > 1) {
      if (pos + 1 >= size || at(pos + 1) < low || at(pos + 1) > high) return pos;
      for (std::size_t i = 2; i < length; ++i)
        if (!continuation(pos + i)) return pos;
    }
    pos += length;
  }
  return pos;
}
