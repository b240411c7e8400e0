// A regular-expression object on the platform's "VBScript.RegExp" engine,
// and the extraction of every piece of text between two markers.
// Texts are GBK at this boundary; the engine works in UTF-16.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <string>
#include <vector>

#include "common/automation.h"

class PatternMatcher {
 public:
  PatternMatcher();  // initialises COM for this thread
  ~PatternMatcher();
  PatternMatcher(const PatternMatcher&) = delete;
  PatternMatcher& operator=(const PatternMatcher&) = delete;

  // Compiles the pattern and runs it over the subject. True when a match
  // collection was obtained (an empty one too); false when the engine is
  // missing or the pattern does not compile.
  bool Search(const std::string& pattern, const std::string& subject, bool caseSensitive = false,
              bool multiline = true, bool global = true, bool quoteSubstitution = false);

  // Matches of the last Search; 0 when it failed.
  int MatchCount();

  // Text of one capture group of one match, both counted from 1; "" for an
  // index outside the collection or a group that took no part in the match.
  std::string SubMatchText(int matchIndex, int groupIndex);

 private:
  ComPtr<IDispatch> engine_;
  ComPtr<IDispatch> matches_;
  std::wstring subject_;
};

// Every piece of `text` between `left` and `right` (letter case ignored),
// in order, into `items`; returns their count. A piece longer than
// maxLength bytes (when maxLength is not 0) is skipped; each item is
// prefix + piece + suffix, with the markers as given around it on request.
int ExtractBetween(const std::string& text, const std::string& left, const std::string& right,
                   std::vector<std::string>& items, int maxLength = 0,
                   const std::string& prefix = std::string(),
                   const std::string& suffix = std::string(), bool keepLeft = false,
                   bool keepRight = false);

// Code page conversions at the boundaries.
std::wstring gbkToWide(const std::string& text);
std::string wideToAnsi(const std::wstring& text);
