#include "recorder/nowplaying/pattern.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using nowplaying::Pattern;

namespace {

const std::u16string kNoMatch = u"<no match>";
const std::u16string kBadPattern = u"<bad pattern>";

// The text of group 0 of the leftmost match.
std::u16string Group0(const std::u16string& pattern, const std::u16string& text) {
  const std::optional<Pattern> parsed = Pattern::Parse(pattern);
  if (!parsed) return kBadPattern;
  const std::optional<Pattern::Span> span = parsed->FindGroup0(text);
  return span ? text.substr(span->begin, span->length) : kNoMatch;
}

struct Case {
  const char* what;
  std::u16string pattern;
  std::u16string text;
  std::u16string group0;
};

void Check(const Case& c) {
  EXPECT_EQ(Group0(c.pattern, c.text), c.group0) << c.what;
}

TEST(Pattern, Constructs) {
  const Case cases[] = {
      {"groups count from 0", u"{a}{b}", u"xab", u"a"},
      {"a group inside a group comes second", u"({x}{y})", u"xy", u"x"},
      {"round brackets do not capture", u"(a)(b){c}", u"abc", u"c"},
      {"first position that matches", u"{ab}", u"aab ab", u"ab"},
      {"^ anchors at the start", u"^{b}", u"ab", kNoMatch},
      {"^ matches at the start", u"^{a}", u"ab", u"a"},
      {"^ anchors every alternative", u"^a|{b}", u"cb", kNoMatch},
      {"^ later is a letter", u"{a^b}", u"xa^b", u"a^b"},
      {"\\b is a space", u"{x\\by}", u"x y", u"x y"},
      {"\\b is a tab", u"{x\\by}", u"x\ty", u"x\ty"},
      {"\\b is no other blank", u"{x\\by}", u"x\u00A0y x\ny", kNoMatch},
      {"\\d is one digit", u"{\\d}", u"ab73", u"7"},
      {"\\z is an integer", u"{\\z}", u"ab123c", u"123"},
      {"\\z repeated", u"{\\z*}x", u"12x", u"12"},
      {"\\a letter or digit", u"{\\a+}", u"--a1B--", u"a1B"},
      {"\\c letter", u"{\\c+}", u"12ab3", u"ab"},
      {"\\h hexadecimal digit", u"{\\h+}", u"xyz0fA9g", u"0fA9"},
      {"\\w letters", u"{\\w}", u"12 Word7", u"Word"},
      {"\\n CR LF", u"a{\\n}b", u"a\r\nb", u"\r\n"},
      {"\\n LF", u"a{\\n}b", u"a\nb", u"\n"},
      {"\\q double quotes", u"{\\q}", u"say \"hi there\" now", u"\"hi there\""},
      {"\\q single quotes", u"{\\q}", u"say 'hi' now", u"'hi'"},
      {"escaped metacharacters", u"{\\(\\)\\[\\]\\{\\}\\.\\*\\+\\?\\|\\!\\^\\$\\\\}", u"x()[]{}.*+?|!^$\\",
       u"()[]{}.*+?|!^$\\"},
      {"escaped quote and greater-than", u"{\\'\\\"\\>}", u"'\">", u"'\">"},
      {"escaped dot is a dot", u"{a\\.b}", u"axb a.b", u"a.b"},
      {"dot is any unit, a line end too", u"{a.b}", u"a\nb", u"a\nb"},
      {"dot takes one UTF-16 unit", u"{.}", u"\U0001F3B5", std::u16string(1, u'\xD83C')},
      {"set", u"{[abc]+}", u"xxbcay", u"bca"},
      {"range", u"{[a-c0-1]+}", u"xx1bca0zy", u"1bca0"},
      {"negated set", u"{[^ab]+}", u"abxyab", u"xy"},
      {"negated set takes line ends", u"a{[^b]}", u"a\n", u"\n"},
      {"escapes in a set", u"{[\\]\\-\\\\]+}", u"a]-\\]b", u"]-\\]"},
      {"\\b in a set is the letter b", u"{[\\b]+}", u"  bb", u"bb"},
      {"\\t in a set is a tab", u"{[\\t]}", u"a\tb", u"\t"},
      {"hyphen at the ends of a set", u"{[-a-]+}", u"x-a-b", u"-a-"},
      {"escaped range ends", u"{[\\(-\\+]+}", u"a()*+,", u"()*+"},
      {"metacharacters in a set", u"{[.*({|$]+}", u"a.*({|$b", u".*({|$"},
      {"greedy", u"{a.*b}", u"a1b2b3", u"a1b2b"},
      {"greedy backs off for the rest", u"{a+}ab", u"aaab", u"aa"},
      {"greedy optional", u"{ab?}", u"ab", u"ab"},
      {"lazy star", u"{a.*?b}", u"a1b2b", u"a1b"},
      {"lazy plus", u"{a+?}", u"aaa", u"a"},
      {"lazy optional", u"{xa??}", u"xa", u"x"},
      {"lazy grows when it must", u"{a.*?c}", u"abbc", u"abbc"},
      {"negation looks ahead without taking", u"{a!b}", u"ab ac", u"a"},
      {"negation of a group", u"{x!(yz)}", u"xyz xy", u"x"},
      {"negation before a dot", u"{!a.}", u"aab", u"b"},
      {"double negation", u"{a!!b}", u"ac ab", u"a"},
      {"alternation", u"{cat|dog}", u"hotdog", u"dog"},
      {"alternation backtracks", u"{a|ab}c", u"abc", u"ab"},
      {"alternation inside a group", u"x{(a|bc)+}y", u"xbcabcy", u"bcabc"},
      {"$ at the end", u"{\\d+$}", u"1a22", u"22"},
      {"$ ending a branch", u"{ab$|a}", u"ab", u"ab"},
      {"$ ending a branch is no letter", u"{ab$|a}", u"ab$", u"a"},
      {"$ ending the pattern", u"{a}$", u"a a", u"a"},
      {"$ elsewhere is a letter", u"{a$b}", u"a$b", u"a$b"},
      {"escaped $ at the end is a letter", u"{a\\$}", u"a$", u"a$"},
      {"back-reference", u"{a+}b\\0", u"aaba", u"a"},
      {"back-reference to the second group", u"{x}{y+}\\1", u"xyyyy", u"x"},
      {"a back-reference to an unset group never matches", u"{({a})?b\\1}", u"b", kNoMatch},
      {"case matters", u"{abc}", u"ABC", kNoMatch},
      {"no group", u"abc", u"abc", kNoMatch},
      {"group that takes no part", u"{a}|b", u"b", kNoMatch},
      {"empty group", u"{}b", u"ab", u""},
      {"surrogates are just units", u"{[\xD800-\xDFFF]+}", u"a\U0001F3B5b", u"\U0001F3B5"},
  };
  for (const Case& c : cases) Check(c);
}

TEST(Pattern, RefusesWhatDoesNotParse) {
  const std::u16string bad[] = {
      u"{a",    u"a}",    u"(a",     u"a)",     u"{a)",   u"(a}",  u"*a",  u"+",      u"?",     u"a**",
      u"a+*",   u"a*?+",  u"!",      u"a!",     u"a|!",   u"(!)",  u"\\",  u"a\\",    u"[",     u"[a",
      u"[]",    u"[^]",   u"[z-a]",  u"[a-\\",  u"{a}\\1", u"\\0", u"^*",  u"(|*)",
  };
  for (const std::u16string& pattern : bad) {
    EXPECT_FALSE(Pattern::Parse(pattern).has_value()) << std::string(pattern.begin(), pattern.end());
  }
  // Empty patterns, branches and groups are allowed; they match nothing.
  for (const std::u16string pattern : {u"", u"^", u"$", u"a|", u"()", u"{}"}) {
    EXPECT_TRUE(Pattern::Parse(pattern).has_value()) << std::string(pattern.begin(), pattern.end());
  }
}

TEST(Pattern, NestingIsBounded) {
  const auto nested = [](int depth) { return std::u16string(depth, u'(') + u"{a}" + std::u16string(depth, u')'); };
  EXPECT_EQ(Group0(nested(50), u"xa"), u"a");
  EXPECT_EQ(Group0(nested(5000), u"xa"), kBadPattern);
  EXPECT_EQ(Group0(std::u16string(5000, u'!') + u"{a}", u"a"), kBadPattern);
}

TEST(Pattern, APathologicalSearchGivesUp) {
  // (a|a)* before a failing end tries 2^n ways; the budget ends it.
  const std::optional<Pattern> pattern = Pattern::Parse(u"{(a|a)*x$}");
  ASSERT_TRUE(pattern);
  std::optional<Pattern::Span> span;
  EXPECT_EQ(pattern->Search(std::u16string(40, u'a') + u"xy", &span), Pattern::Outcome::GaveUp);
  EXPECT_FALSE(span);
  EXPECT_EQ(pattern->Search(std::u16string(40, u'a') + u"x", &span), Pattern::Outcome::Found);
  EXPECT_EQ(span, (Pattern::Span{0, 41}));
}

TEST(Pattern, AHostileTextRunsOutOfTime) {
  // Every "RLNK(" start rescans the rest of the text for a ")" that never
  // comes: quadratic, far beyond any budget at a few hundred KiB.
  std::u16string text;
  while (text.size() < 512 * 1024) text += u"RLNK('/album/?song=";
  text += u">";
  std::optional<Pattern> pattern = Pattern::Parse(u"RLNK\\(\\'/album/\\?song=[^\\)]+\\);\\\"\\>{[^>]+}</a>");
  ASSERT_TRUE(pattern);
  pattern->SetTimeBudget(std::chrono::milliseconds(50));
  std::optional<Pattern::Span> span;
  EXPECT_EQ(pattern->Search(text, &span), Pattern::Outcome::GaveUp);
  // A found link is found well within the budget.
  text += u"RLNK('/album/?song=1');\">Blue Song</a>";
  EXPECT_EQ(pattern->Search(text.substr(text.size() - 100), &span), Pattern::Outcome::Found);
}

TEST(Pattern, ReportsWhereGroupZeroIs) {
  const std::optional<Pattern> pattern = Pattern::Parse(u"b{c+}d");
  ASSERT_TRUE(pattern);
  EXPECT_EQ(pattern->FindGroup0(u"aabcccd"), (Pattern::Span{3, 3}));
  EXPECT_EQ(pattern->FindGroup0(u""), std::nullopt);
  EXPECT_EQ(pattern->groups(), 1);
}

}  // namespace
