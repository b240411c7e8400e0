#include "wim/format/image_xml.h"

#include <algorithm>
#include <cstring>

#include "wim/format/utf.h"

namespace wim {

const char* const kImageDetails[] = {"DESCRIPTION", "DISPLAYNAME",  "DISPLAYDESCRIPTION",
                                     "FLAGS",       "DIRCOUNT",     "FILECOUNT",
                                     "TOTALBYTES",  "HARDLINKBYTES"};
const std::size_t kImageDetailCount = sizeof kImageDetails / sizeof kImageDetails[0];

namespace {

// Real WIM XML nests five deep at most; the limit only keeps a hostile file
// from exhausting the stack of this recursive parser.
constexpr int kMaxDepth = 100;

struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<Element> children;
  std::string text;  // all character data directly inside, in document order
};

// The characters XML 1.0 allows in a document.
bool isXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Characters that end a name or can never be part of one.
bool endsName(char c) {
  return isSpace(c) || c == '/' || c == '>' || c == '<' || c == '=' || c == '"' || c == '\'' ||
         c == '&' || c == '?' || c == '!';
}

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  bool document(Element& root) {
    if (!misc()) return false;
    if (!startsWith("<")) return fail("no root element");
    if (!element(root, 1)) return false;
    if (!misc()) return false;
    if (pos_ != text_.size()) return fail("content after the root element");
    return true;
  }

  const std::string& error() const { return error_; }
  std::size_t position() const { return pos_; }

 private:
  bool fail(const std::string& what) {
    if (error_.empty()) error_ = what;
    return false;
  }

  bool startsWith(const char* literal) const {
    return text_.compare(pos_, std::strlen(literal), literal) == 0;
  }

  void skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
  }

  // Moves past the next `terminator`; false when there is none.
  bool skipPast(const char* terminator) {
    const std::size_t found = text_.find(terminator, pos_);
    if (found == std::string::npos) return false;
    pos_ = found + std::strlen(terminator);
    return true;
  }

  // Space, comments and processing instructions, as they may stand around
  // the root element.
  bool misc() {
    for (;;) {
      skipSpace();
      if (startsWith("<!--")) {
        pos_ += 4;
        if (!skipPast("-->")) return fail("unterminated comment");
      } else if (startsWith("<?")) {
        pos_ += 2;
        if (!skipPast("?>")) return fail("unterminated processing instruction");
      } else if (startsWith("<!DOCTYPE")) {
        return fail("a document type declaration, which WIM XML never has");
      } else {
        return true;
      }
    }
  }

  bool name(std::string& out) {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !endsName(text_[pos_])) ++pos_;
    if (pos_ == start) return fail("a missing or malformed name");
    out.assign(text_, start, pos_ - start);
    return true;
  }

  // Resolves the reference that starts at the '&' under pos_ and appends it.
  bool reference(std::string& out) {
    // Only a short stretch is searched for the ';': 40 characters hold any
    // sensible reference, and a file full of bare '&' stays linear to parse.
    const std::size_t limit = std::min(text_.size(), pos_ + 41);
    std::size_t end = pos_ + 1;
    while (end < limit && text_[end] != ';') ++end;
    if (end >= limit) return fail("an unterminated reference");
    const std::string body = text_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    if (body == "amp") {
      out += '&';
    } else if (body == "lt") {
      out += '<';
    } else if (body == "gt") {
      out += '>';
    } else if (body == "quot") {
      out += '"';
    } else if (body == "apos") {
      out += '\'';
    } else if (body.size() >= 2 && body[0] == '#') {
      const bool hex = body[1] == 'x';
      const std::size_t first = hex ? 2 : 1;
      if (first >= body.size()) return fail("an empty character reference");
      std::uint32_t value = 0;
      for (std::size_t i = first; i < body.size(); ++i) {
        const char c = body[i];
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
          digit = static_cast<std::uint32_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
          digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
          digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
          return fail("a malformed character reference");
        }
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0x10FFFF) return fail("a character reference beyond Unicode");
      }
      if (!isXmlChar(value)) return fail("a character reference to a character XML forbids");
      appendUtf8(value, out);
    } else {
      return fail("an unknown entity \"" + escapeXmlText(body) + "\"");
    }
    return true;
  }

  bool attribute(Element& element) {
    std::string key;
    if (!name(key)) return false;
    skipSpace();
    if (!startsWith("=")) return fail("an attribute without a value");
    ++pos_;
    skipSpace();
    if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\''))
      return fail("an unquoted attribute value");
    const char quote = text_[pos_++];
    std::string value;
    for (;;) {
      if (pos_ >= text_.size()) return fail("an unterminated attribute value");
      const char c = text_[pos_];
      if (c == quote) break;
      if (c == '<') return fail("a '<' inside an attribute value");
      if (c == '&') {
        if (!reference(value)) return false;
      } else {
        value += c;
        ++pos_;
      }
    }
    ++pos_;
    element.attributes.emplace_back(std::move(key), std::move(value));
    return true;
  }

  // Parses the element whose '<' is under pos_.
  bool element(Element& element, int depth) {
    if (depth > kMaxDepth) return fail("elements nested too deeply");
    ++pos_;
    if (!name(element.name)) return false;
    for (;;) {
      const std::size_t before = pos_;
      skipSpace();
      if (startsWith("/>")) {
        pos_ += 2;
        return true;
      }
      if (startsWith(">")) {
        ++pos_;
        break;
      }
      if (pos_ == before) return fail("a malformed start tag of " + element.name);
      if (!attribute(element)) return false;
    }
    return content(element, depth);
  }

  bool content(Element& element, int depth) {
    for (;;) {
      if (pos_ >= text_.size()) return fail("the element " + element.name + " is not closed");
      if (startsWith("</")) {
        pos_ += 2;
        std::string closing;
        if (!name(closing)) return false;
        skipSpace();
        if (!startsWith(">")) return fail("a malformed end tag of " + closing);
        ++pos_;
        if (closing != element.name)
          return fail("the element " + element.name + " is closed as " + closing);
        return true;
      }
      if (startsWith("<!--")) {
        pos_ += 4;
        if (!skipPast("-->")) return fail("an unterminated comment");
      } else if (startsWith("<![CDATA[")) {
        pos_ += 9;
        const std::size_t end = text_.find("]]>", pos_);
        if (end == std::string::npos) return fail("an unterminated CDATA section");
        element.text.append(text_, pos_, end - pos_);
        pos_ = end + 3;
      } else if (startsWith("<?")) {
        pos_ += 2;
        if (!skipPast("?>")) return fail("an unterminated processing instruction");
      } else if (startsWith("<!")) {
        return fail("a declaration inside an element");
      } else if (startsWith("<")) {
        element.children.emplace_back();
        if (!this->element(element.children.back(), depth + 1)) return false;
      } else if (text_[pos_] == '&') {
        if (!reference(element.text)) return false;
      } else {
        const std::size_t end = text_.find_first_of("<&", pos_);
        const std::size_t stop = end == std::string::npos ? text_.size() : end;
        element.text.append(text_, pos_, stop - pos_);
        pos_ = stop;
      }
    }
  }

  const std::string& text_;
  std::size_t pos_ = 0;
  std::string error_;
};

// Every character must be one XML allows; the UTF-16 decoding has already
// turned broken surrogates into U+FFFD, which is allowed.
Outcome checkCharacters(const std::string& text) {
  std::size_t position = 0;
  while (position < text.size()) {
    std::uint32_t c = 0;
    const std::size_t length = decodeUtf8(text, position, c);
    if (length == 0)
      return failure(Problem::Damaged,
                     "the XML data is not valid text (at byte " + std::to_string(position) + ")");
    if (!isXmlChar(c))
      return failure(Problem::Damaged, "the XML data holds a character XML forbids (code " +
                                           std::to_string(c) + " at byte " +
                                           std::to_string(position) + ")");
    position += length;
  }
  return success();
}

Outcome malformed(const std::string& why) {
  return failure(Problem::Damaged, "the XML data is damaged: " + why);
}

const Element* onlyChild(const Element& parent, const char* name, std::size_t& count) {
  const Element* first = nullptr;
  count = 0;
  for (const Element& child : parent.children) {
    if (child.name != name) continue;
    if (!first) first = &child;
    ++count;
  }
  return first;
}

bool parseIndex(const std::string& text, std::uint32_t& index) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  if (value == 0) return false;
  index = static_cast<std::uint32_t>(value);
  return true;
}

// The text of the first child `name`, where it is plain text.
std::string childText(const Element& parent, const char* name) {
  std::size_t count = 0;
  const Element* child = onlyChild(parent, name, count);
  return child && child->children.empty() ? child->text : std::string();
}

void readWindows(const Element& image, WindowsProperties& windows) {
  std::size_t count = 0;
  const Element* element = onlyChild(image, "WINDOWS", count);
  if (!element) return;
  windows.present = true;
  windows.architecture = childText(*element, "ARCH");
  windows.editionId = childText(*element, "EDITIONID");
  if (const Element* languages = onlyChild(*element, "LANGUAGES", count)) {
    for (const Element& language : languages->children)
      if (language.name == "LANGUAGE" && language.children.empty())
        windows.languages.push_back(language.text);
    windows.defaultLanguage = childText(*languages, "DEFAULT");
  }
  if (const Element* version = onlyChild(*element, "VERSION", count)) {
    windows.major = childText(*version, "MAJOR");
    windows.minor = childText(*version, "MINOR");
    windows.build = childText(*version, "BUILD");
    windows.spBuild = childText(*version, "SPBUILD");
  }
}

Outcome readImage(const Element& element, ImageEntry& image) {
  const std::string* index = nullptr;
  for (const auto& attribute : element.attributes) {
    if (attribute.first != "INDEX") continue;
    if (index) return malformed("an IMAGE element has two INDEX attributes");
    index = &attribute.second;
  }
  if (!index) return malformed("an IMAGE element has no INDEX attribute");
  if (!parseIndex(*index, image.index))
    return malformed("an IMAGE element has the INDEX \"" + escapeXmlText(*index) +
                     "\", which is no image number");

  std::size_t names = 0;
  const Element* name = onlyChild(element, "NAME", names);
  if (names > 1)
    return malformed("image " + std::to_string(image.index) + " has " + std::to_string(names) +
                     " NAME elements");
  if (name) {
    if (!name->children.empty())
      return malformed("the NAME element of image " + std::to_string(image.index) +
                       " holds elements, not text");
    image.name = name->text;
    image.hasName = true;
  }
  for (std::size_t i = 0; i < kImageDetailCount; ++i) {
    std::size_t count = 0;
    const Element* detail = onlyChild(element, kImageDetails[i], count);
    // A property that is not plain text is none the query shows; leave it out.
    if (detail && detail->children.empty()) image.details.emplace_back(detail->name, detail->text);
  }
  readWindows(element, image.windows);
  return success();
}

}  // namespace

Outcome parseImageXml(const std::string& utf8, ImageXml& xml) {
  // Some writers end the text with NUL characters; they are not part of it.
  std::string text = utf8;
  while (!text.empty() && text.back() == '\0') text.pop_back();
  Outcome characters = checkCharacters(text);
  if (!characters.ok()) return characters;

  Element root;
  Parser parser(text);
  if (!parser.document(root))
    return malformed(parser.error() + " (at byte " + std::to_string(parser.position()) + ")");
  if (root.name != "WIM")
    return malformed("its root element is " + escapeXmlText(root.name) + ", not WIM");

  ImageXml read;
  std::size_t totals = 0;
  const Element* totalBytes = onlyChild(root, "TOTALBYTES", totals);
  if (totalBytes && totalBytes->children.empty()) {
    read.hasTotalBytes = true;
    read.totalBytes = totalBytes->text;
  }
  for (const Element& child : root.children) {
    if (child.name != "IMAGE") continue;
    ImageEntry image;
    Outcome outcome = readImage(child, image);
    if (!outcome.ok()) return outcome;
    read.images.push_back(std::move(image));
  }
  std::stable_sort(read.images.begin(), read.images.end(),
                   [](const ImageEntry& a, const ImageEntry& b) { return a.index < b.index; });
  for (std::size_t i = 0; i < read.images.size(); ++i) {
    const std::uint32_t index = read.images[i].index;
    if (i > 0 && index == read.images[i - 1].index)
      return malformed("two IMAGE elements have the INDEX " + std::to_string(index));
    if (index != i + 1)
      return malformed("the images are not numbered 1 to " + std::to_string(read.images.size()) +
                       ": image " + std::to_string(i + 1) + " is missing");
  }
  xml = std::move(read);
  return success();
}

std::string escapeXmlText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace wim
