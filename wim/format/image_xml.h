// The XML data of a WIM file, as far as the information query needs it: the
// root <WIM> element and one <IMAGE INDEX="n"> element per image, with the
// image's name and a few plain-text properties.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "wim/format/outcome.h"

namespace wim {

// What <WINDOWS> says of the Windows an image holds; empty texts where the
// element or one of its children is missing.
struct WindowsProperties {
  bool present = false;
  std::string architecture;                  // <ARCH>: a PROCESSOR_ARCHITECTURE_* number
  std::string editionId;                     // <EDITIONID>
  std::vector<std::string> languages;        // <LANGUAGES><LANGUAGE>, in order
  std::string defaultLanguage;               // <LANGUAGES><DEFAULT>
  std::string major, minor, build, spBuild;  // <VERSION><MAJOR> ... <SPBUILD>
};

struct ImageEntry {
  std::uint32_t index = 0;  // the INDEX attribute, from 1
  std::string name;         // text of <NAME>, entities resolved; empty when there is none
  bool hasName = false;
  // Further plain-text properties that the image carries (DESCRIPTION,
  // DISPLAYNAME, FLAGS, the counts ...), as element name and resolved text,
  // in the order kImageDetails lists them.
  std::vector<std::pair<std::string, std::string>> details;
  WindowsProperties windows;
};

struct ImageXml {
  std::vector<ImageEntry> images;  // in index order: 1, 2, 3 ...
  bool hasTotalBytes = false;
  std::string totalBytes;  // <TOTALBYTES> directly under <WIM>
};

// The properties of an image that are carried over besides NAME, in order.
extern const char* const kImageDetails[];
extern const std::size_t kImageDetailCount;

// Parses XML text (UTF-8, as decodeXmlData gives it). The text must be a
// well-formed document with the root <WIM>; the images' INDEX attributes must
// be exactly 1 to n, in any order; an image may have at most one <NAME>.
// A document type declaration is refused: the WIM format never has one, and
// it is the one XML feature that could make a small file expand.
Outcome parseImageXml(const std::string& utf8, ImageXml& xml);

// Escapes text for the content of an XML element: & < > become entities, and
// tab, line feed and carriage return become character references, so that an
// element always stays on one line.
std::string escapeXmlText(const std::string& text);

}  // namespace wim
