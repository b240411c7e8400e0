#include "common/gbk_text.h"

namespace gbk {

std::size_t charLength(const std::string& text, std::size_t pos) {
  if (pos < text.size() && isLeadByte(static_cast<unsigned char>(text[pos])) &&
      pos + 1 < text.size())
    return 2;
  return 1;
}

namespace {

bool isSpaceAt(const std::string& text, std::size_t pos, std::size_t* length) {
  if (text[pos] == ' ') {
    *length = 1;
    return true;
  }
  if (text.compare(pos, 2, kIdeographicSpace) == 0) {
    *length = 2;
    return true;
  }
  return false;
}

}  // namespace

std::string trimSpaces(const std::string& text) {
  std::size_t begin = 0;
  std::size_t length = 0;
  while (begin < text.size() && isSpaceAt(text, begin, &length)) begin += length;

  // Walk forward character by character so that the end is found on a
  // character boundary: scanning backwards could pair the second byte of one
  // character with the lead byte of the next.
  std::size_t end = begin;
  std::size_t pos = begin;
  while (pos < text.size()) {
    if (isSpaceAt(text, pos, &length)) {
      pos += length;
    } else {
      pos += charLength(text, pos);
      end = pos;
    }
  }
  return text.substr(begin, end - begin);
}

std::string asciiLower(const std::string& text) {
  std::string result = text;
  for (std::size_t pos = 0; pos < result.size();) {
    std::size_t length = charLength(result, pos);
    if (length == 1 && result[pos] >= 'A' && result[pos] <= 'Z')
      result[pos] = static_cast<char>(result[pos] - 'A' + 'a');
    pos += length;
  }
  return result;
}

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && asciiLower(a) == asciiLower(b);
}

}  // namespace gbk
