// Text work of the support module that needs no Windows API: picking the
// published values out of the update page, the release notes, the size text
// and the checks on addresses. All texts are GBK.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The text between the first `marker` (found on a character boundary) and
// the next `endMarker` after it. Empty when the marker is missing, when the
// end marker does not follow it, or when it follows at once.
std::string textAfterMarker(const std::string& text, const std::string& marker,
                            const std::string& endMarker);

// The four markers of the update page, in the order they are read. Each
// value runs from its marker to the next "<".
inline constexpr std::size_t kUpdateMarkerCount = 4;
extern const char* const kUpdateMarkers[kUpdateMarkerCount];
inline constexpr char kValueEnd[] = "<";

struct PublishedUpdate {
  std::string latestVersion;
  std::string releaseTime;
  std::string fileSizeText;
  std::string downloadAddress;
};

// The four values of a page, each trimmed of ASCII and ideographic spaces.
PublishedUpdate readPublishedUpdate(const std::string& page);

// Every "&nbsp;" removed; other entities stay as written.
std::string withoutNbsp(const std::string& paragraph);

// The release notes: each paragraph cleaned, followed by CR LF.
std::string joinReleaseNotes(const std::vector<std::string>& paragraphs);

// Like atoi: optional sign, then the leading decimal digits; 0 when there are
// none. Values beyond the 32-bit range stop at its ends.
int leadingInteger(const std::string& text);

// The shell's short size text made shorter still: "0 字节" becomes "0" and
// every other "字节" becomes "B".
std::string shortenByteSizeText(const std::string& shellText);

// Length of the longest prefix of `bytes` that is well-formed UTF-8
// (shortest forms only, no surrogates, nothing above U+10FFFF).
std::size_t validUtf8PrefixLength(const std::string& bytes);

// True when the address begins with "http://" or "https://" (letter case
// ignored): the only addresses the download button hands to the shell.
bool isWebAddress(const std::string& address);
