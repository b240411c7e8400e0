// Turning a literal marker into a pattern fragment for the regular-expression
// engine. No Windows API here.
#pragma once

#include <string>

// Replaces every occurrence of `from` in `text` by `to`, scanning over whole
// GBK characters: an occurrence must start on a character boundary, so the
// second byte of a double-byte character is never taken for ASCII.
std::string replaceAllGbk(const std::string& text, const std::string& from, const std::string& to);

// A pattern fragment that matches the marker: ? * + [ ] ( ) { } are escaped,
// "#引号" becomes a double quote, CR LF becomes \n. The characters . ^ $ | \ /
// keep their pattern meaning.
std::string EscapeMarker(const std::string& marker);
