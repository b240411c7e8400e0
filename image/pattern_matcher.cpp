#include "image/pattern_matcher.h"

#include <objbase.h>
#include <oleauto.h>

#include "image/escape_marker.h"

namespace {

constexpr UINT kGbk = 936;

void writeProperty(IDispatch* engine, const wchar_t* name, VARIANT value) {
  // A failed write is ignored: the engine has no "Singleline", for one.
  automation::invoke(engine, name, DISPATCH_PROPERTYPUT, {value}, nullptr);
}

VARIANT boolValue(bool value) {
  VARIANT variant;
  VariantInit(&variant);
  variant.vt = VT_BOOL;
  variant.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return variant;
}

VARIANT intValue(int value) {
  VARIANT variant;
  VariantInit(&variant);
  variant.vt = VT_I4;
  variant.lVal = value;
  return variant;
}

// The item at a 0-based position of an engine collection.
bool collectionItem(IDispatch* collection, int index, VARIANT* item) {
  return SUCCEEDED(automation::invoke(collection, L"Item", DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                      {intValue(index)}, item));
}

}  // namespace

std::wstring gbkToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = MultiByteToWideChar(kGbk, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(kGbk, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string wideToAnsi(const std::wstring& text) {
  if (text.empty()) return std::string();
  int length = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string result(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), length,
                      nullptr, nullptr);
  return result;
}

PatternMatcher::PatternMatcher() { CoInitialize(nullptr); }

PatternMatcher::~PatternMatcher() {
  matches_.reset();
  engine_.reset();
  subject_.clear();
  CoUninitialize();
}

bool PatternMatcher::Search(const std::string& pattern, const std::string& subject,
                            bool caseSensitive, bool multiline, bool global,
                            bool quoteSubstitution) {
  matches_.reset();
  engine_.reset();
  engine_ = automation::create(L"VBScript.RegExp");
  if (!engine_) return false;

  writeProperty(engine_.get(), L"IgnoreCase", boolValue(!caseSensitive));
  writeProperty(engine_.get(), L"Multiline", boolValue(multiline));
  writeProperty(engine_.get(), L"Singleline", boolValue(true));
  writeProperty(engine_.get(), L"Global", boolValue(global));

  std::string finalPattern = quoteSubstitution ? replaceAllGbk(pattern, "#引号", "\"") : pattern;
  VARIANT patternValue = automation::bstrArgument(gbkToWide(finalPattern).c_str());
  writeProperty(engine_.get(), L"Pattern", patternValue);
  VariantClear(&patternValue);

  subject_ = gbkToWide(subject);
  VARIANT subjectValue = automation::bstrArgument(subject_.c_str());
  Variant result;
  // An invalid pattern makes Execute fail while the result may still look
  // like an (empty) object: the HRESULT is what tells.
  HRESULT hr =
      automation::invoke(engine_.get(), L"Execute", DISPATCH_METHOD, {subjectValue}, result.get());
  VariantClear(&subjectValue);
  if (FAILED(hr) || result.value().vt != VT_DISPATCH || !result.value().pdispVal) return false;
  result.value().pdispVal->AddRef();
  *matches_.put() = result.value().pdispVal;
  return true;
}

int PatternMatcher::MatchCount() {
  if (!matches_) return 0;
  Variant count;
  if (FAILED(automation::invoke(matches_.get(), L"Count", DISPATCH_PROPERTYGET, {}, count.get())) ||
      FAILED(VariantChangeType(count.get(), count.get(), 0, VT_I4)))
    return 0;
  return count.value().lVal;
}

std::string PatternMatcher::SubMatchText(int matchIndex, int groupIndex) {
  if (!matches_ || matchIndex < 1 || groupIndex < 1 || matchIndex > MatchCount())
    return std::string();
  Variant match;
  if (!collectionItem(matches_.get(), matchIndex - 1, match.get()) ||
      match.value().vt != VT_DISPATCH || !match.value().pdispVal)
    return std::string();
  Variant groups;
  if (FAILED(automation::invoke(match.value().pdispVal, L"SubMatches", DISPATCH_PROPERTYGET, {},
                                groups.get())) ||
      groups.value().vt != VT_DISPATCH || !groups.value().pdispVal)
    return std::string();
  Variant groupCount;
  if (FAILED(automation::invoke(groups.value().pdispVal, L"Count", DISPATCH_PROPERTYGET, {},
                                groupCount.get())) ||
      FAILED(VariantChangeType(groupCount.get(), groupCount.get(), 0, VT_I4)) ||
      groupIndex > groupCount.value().lVal)
    return std::string();
  Variant group;
  if (!collectionItem(groups.value().pdispVal, groupIndex - 1, group.get())) return std::string();
  // A group that took no part in the match is empty, not text.
  if (FAILED(VariantChangeType(group.get(), group.get(), 0, VT_BSTR)) || !group.value().bstrVal)
    return std::string();
  return wideToAnsi(std::wstring(group.value().bstrVal, SysStringLen(group.value().bstrVal)));
}

int ExtractBetween(const std::string& text, const std::string& left, const std::string& right,
                   std::vector<std::string>& items, int maxLength, const std::string& prefix,
                   const std::string& suffix, bool keepLeft, bool keepRight) {
  items.clear();
  std::string pattern = EscapeMarker(left) + "([\\s\\S]*?)" + EscapeMarker(right);
  PatternMatcher matcher;
  matcher.Search(pattern, text);
  int count = matcher.MatchCount();
  for (int i = 1; i <= count; ++i) {
    std::string piece = matcher.SubMatchText(i, 1);
    if (maxLength != 0 && piece.size() > static_cast<size_t>(maxLength)) continue;
    std::string item = prefix + piece + suffix;
    if (keepLeft) item = left + item;
    if (keepRight) item += right;
    items.push_back(item);
  }
  return static_cast<int>(items.size());
}
