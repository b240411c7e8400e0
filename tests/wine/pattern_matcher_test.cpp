// The pattern matcher on the real "VBScript.RegExp" engine.
#include "image/pattern_matcher.h"

#include <gtest/gtest.h>

namespace {

using Items = std::vector<std::string>;

Items extract(const std::string& text, const std::string& left, const std::string& right) {
  Items items;
  int count = ExtractBetween(text, left, right, items);
  EXPECT_EQ(count, static_cast<int>(items.size()));
  return items;
}

TEST(PatternMatcher, SearchGivesMatchesAndGroups) {
  PatternMatcher matcher;
  ASSERT_TRUE(matcher.Search("(\\d+)-(x)?", "12-x 34- 5"));
  EXPECT_EQ(matcher.MatchCount(), 2);
  EXPECT_EQ(matcher.SubMatchText(1, 1), "12");
  EXPECT_EQ(matcher.SubMatchText(1, 2), "x");
  EXPECT_EQ(matcher.SubMatchText(2, 1), "34");
  EXPECT_EQ(matcher.SubMatchText(2, 2), "");  // took no part in the match
  EXPECT_EQ(matcher.SubMatchText(3, 1), "");  // no such match
  EXPECT_EQ(matcher.SubMatchText(1, 3), "");  // no such group
  EXPECT_EQ(matcher.SubMatchText(0, 1), "");
  // A second search on the same object replaces the first.
  ASSERT_TRUE(matcher.Search("q", "abc"));
  EXPECT_EQ(matcher.MatchCount(), 0);
}

TEST(PatternMatcher, InvalidPatternFailsWithNoMatches) {
  PatternMatcher matcher;
  EXPECT_FALSE(matcher.Search("(unclosed", "unclosed"));
  EXPECT_EQ(matcher.MatchCount(), 0);
  EXPECT_EQ(matcher.SubMatchText(1, 1), "");
  Items items = {"stale"};
  EXPECT_EQ(ExtractBetween("a(b", "(", "[", items), 0);  // escaped: compiles, finds nothing
  EXPECT_TRUE(items.empty());
}

TEST(PatternMatcher, OptionsAreHonoured) {
  PatternMatcher matcher;
  ASSERT_TRUE(matcher.Search("ABC", "abc", /*caseSensitive=*/true));
  EXPECT_EQ(matcher.MatchCount(), 0);
  ASSERT_TRUE(matcher.Search("a", "aaa", false, true, /*global=*/false));
  EXPECT_EQ(matcher.MatchCount(), 1);
  ASSERT_TRUE(matcher.Search("^b", "a\nb", false, /*multiline=*/true));
  EXPECT_EQ(matcher.MatchCount(), 1);
  ASSERT_TRUE(matcher.Search("^b", "a\nb", false, /*multiline=*/false));
  EXPECT_EQ(matcher.MatchCount(), 0);
  // "Singleline" does not exist: "." never crosses a line break.
  ASSERT_TRUE(matcher.Search("a.b", "a\nb"));
  EXPECT_EQ(matcher.MatchCount(), 0);
  ASSERT_TRUE(matcher.Search("x#引号", "x\"", false, true, true, /*quoteSubstitution=*/true));
  EXPECT_EQ(matcher.MatchCount(), 1);
}

TEST(PatternMatcher, ChineseSubjectsAndResultsStayGbk) {
  PatternMatcher matcher;
  ASSERT_TRUE(matcher.Search("版本:(\\S+)", "最新版本:V3.10 发布"));
  ASSERT_EQ(matcher.MatchCount(), 1);
  EXPECT_EQ(matcher.SubMatchText(1, 1), "V3.10");
  ASSERT_TRUE(matcher.Search("<b>([\\s\\S]*?)</b>", "<b>专业版</b>"));
  EXPECT_EQ(matcher.SubMatchText(1, 1), "专业版");
}

TEST(ExtractBetween, EditionNames) {
  EXPECT_EQ(extract("<NAME>Windows 7 ULTIMATE</NAME>", "<name>", "</name>"),
            (Items{"Windows 7 ULTIMATE"}));
  EXPECT_EQ(extract("<name>a<name>b</name>", "<name>", "</name>"), (Items{"a<name>b"}));
  EXPECT_EQ(extract("<name></name>", "<name>", "</name>"), (Items{""}));
  EXPECT_EQ(extract("<NAME>one\r\ntwo</NAME>", "<name>", "</name>"), (Items{"one\r\ntwo"}));
  EXPECT_EQ(extract("<NAME>A</NAME>x<NAME>B</NAME><name>C</name>", "<name>", "</name>"),
            (Items{"A", "B", "C"}));
  EXPECT_TRUE(extract("", "<name>", "</name>").empty());
  EXPECT_TRUE(extract("no markers here", "<name>", "</name>").empty());
}

TEST(ExtractBetween, MarkersWithPatternCharacters) {
  EXPECT_EQ(extract("axb1axb", "a.b", "a.b"), (Items{"1"}));  // "." keeps its meaning
  EXPECT_EQ(extract("{x}", "{", "}"), (Items{"x"}));
  EXPECT_EQ(extract("href=\"http://h/\"", "href=#引号", "#引号"), (Items{"http://h/"}));
  EXPECT_EQ(extract("(1)[2]", "(", ")"), (Items{"1"}));
  EXPECT_EQ(extract("a?b*c+d", "?", "+"), (Items{"b*c"}));
}

TEST(ExtractBetween, GbkMarkerWhoseSecondByteIsAnEscapedCharacter) {
  // 0x81 0x5B ends in '[': escaping it would break the character and the pattern.
  const std::string left = "\x81\x5B:";
  EXPECT_EQ(extract("\x81\x5B:value;", left, ";"), (Items{"value"}));
}

TEST(ExtractBetween, LengthLimitPrefixSuffixAndMarkers) {
  Items items;
  ExtractBetween("<n>专业版本</n><n>abcd</n><n>abcde</n>", "<n>", "</n>", items, 4);
  EXPECT_EQ(items, (Items{"abcd"}));  // 8 bytes and 5 bytes are over the limit
  ExtractBetween("<n>x</n>", "<N>", "</N>", items, 0, "[", "]", true, true);
  EXPECT_EQ(items, (Items{"<N>[x]</N>"}));  // the markers as given, not escaped
  ExtractBetween("{a}{b}", "{", "}", items, 0, "", "", true, false);
  EXPECT_EQ(items, (Items{"{a", "{b"}));
}

}  // namespace
