#include "recorder/nowplaying/title_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (const char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

TEST(NormalizeNowPlaying, WorkedExamplesAndEdgeCases) {
  const struct {
    std::u16string author, title, artistOut, titleOut;
  } cases[] = {
      {u"", u"01. Some Band - Blue Song", u"Some Band", u"Blue Song"},
      {u"", u"Some Band - Blue Song (Live) [2004]", u"Some Band", u"Blue Song"},
      {u"", u"Some Band - Blue Song -- CD 2", u"Some Band", u"Blue Song"},
      {u"", u"Some Band - Blue Song - Winamp", u"Some Band", u"Blue Song"},
      {u"Some Band", u"3-Blue Song", u"Some Band", u"Blue Song"},
      {u"", u"Blue (Live) Song", u"", u"BlueSong"},
      {u"", u"Up-Town - Blue Song", u"Up", u"Town - Blue Song"},
      // Every occurrence of the removed piece goes, not only the leading one.
      {u"Some Band", u"1. Blue Song 1. Remix", u"Some Band", u"Blue Song Remix"},
      {u"Some Band", u"1999 Blue Song", u"Some Band", u"1999 Blue Song"},
      {u"", u"", u"", u""},
      {u"Some Band", u"3Doors Song", u"Some Band", u"3Doors Song"},
      {u"Some Band", u"1b Blue Song", u"Some Band", u"Blue Song"},
      {u"Some Band", u"1..Blue Song", u"Some Band", u".Blue Song"},
      {u"Some Band", u"Blue Song - WINAMP", u"Some Band", u"Blue Song - WINAMP"},
      {u"", u"Blue Song - winamp", u"Blue Song", u"winamp"},
      {u"", u"(Live)", u"", u""},
      {u"", u"Just A Title", u"", u"Just A Title"},
      // The author is cleaned too, and with an author the title is never split.
      {u"02 - Some Band [Live]", u"Blue Song - Remix", u"Some Band", u"Blue Song - Remix"},
      // Tabs: blanks for the patterns, kept by the trim, trimmed around a split.
      {u"Some Band", u"Blue Song\t", u"Some Band", u"Blue Song\t"},
      {u"Some Band", u"\tBlue\t(Live)\tSong", u"Some Band", u"\tBlueSong"},
      {u"", u"\tSome Band\t-\tBlue Song\t", u"Some Band", u"Blue Song"},
      {u"", u"Some Band -\u00A0Blue Song\u3000", u"Some Band", u"Blue Song"},
      // The parts of a split are not cleaned again.
      {u"", u"Some Band - - Blue Song", u"Some Band", u"- Blue Song"},
      {u"", u"Some Band-", u"", u"Some Band"},
      // Text outside ASCII passes through untouched.
      {u"", u"Bj\u00F6rk - J\u00F3ga \U0001F3B5", u"Bj\u00F6rk", u"J\u00F3ga \U0001F3B5"},
  };
  for (const auto& c : cases) {
    std::u16string artist = c.author;
    std::u16string title = c.title;
    NormalizeNowPlaying(artist, title);
    EXPECT_EQ(artist, c.artistOut) << Narrow(c.author) << " | " << Narrow(c.title);
    EXPECT_EQ(title, c.titleOut) << Narrow(c.author) << " | " << Narrow(c.title);
  }
}

TEST(CleanTitleText, TrimsOnlySpacesAndHyphens) {
  EXPECT_EQ(CleanTitleText(u" - -Blue Song- -"), u"Blue Song");
  EXPECT_EQ(CleanTitleText(u"\tBlue Song \t"), u"\tBlue Song \t");
  EXPECT_EQ(CleanTitleText(u" - - "), u"");
  EXPECT_EQ(CleanTitleText(u"WinampWinamp"), u"");
}

TEST(CleanTitleText, LongMatchesGoWhole) {
  // A piece far longer than any fixed working buffer is removed entirely.
  const std::u16string tail(5000, u'x');
  EXPECT_EQ(CleanTitleText(u"Blue Song -- CD " + tail), u"Blue Song");
  EXPECT_EQ(CleanTitleText(u"Blue (" + tail + u") Song"), u"BlueSong");
  EXPECT_EQ(CleanTitleText(u"Song [" + tail + u"] x [" + tail + u"]"), u"Songx");
}

TEST(RemoveMatches, RemovesEveryOccurrenceAndSearchesAgain) {
  const struct {
    std::u16string text, pattern, expected;
  } cases[] = {
      {u"aXbXcX", u"{X}", u"abc"},
      // The piece found first goes everywhere, even where the pattern would
      // not match it ("ab" here is not at the start).
      {u"ab-ab-ab", u"^{ab}", u"--"},
      // Removing one piece can form the next match.
      {u"aabb", u"{ab}", u""},
      {u"x1.y1.z", u"{\\d\\.}", u"xyz"},
      {u"no match here", u"{\\d}", u"no match here"},
      {u"", u"{a}", u""},
      // A pattern without a group, or whose group is empty or takes no part,
      // removes nothing (and does not loop).
      {u"abc", u"abc", u"abc"},
      {u"bab", u"{a*}", u"bab"},
      {u"xb", u"{a}|b", u"xb"},
      // A search that exceeds its budget counts as no match.
      {std::u16string(40, u'a') + u"xy", u"{(a|a)*x$}", std::u16string(40, u'a') + u"xy"},
  };
  for (const auto& c : cases) {
    std::u16string text = c.text;
    EXPECT_TRUE(RemoveMatches(text, c.pattern)) << Narrow(c.pattern);
    EXPECT_EQ(text, c.expected) << Narrow(c.pattern) << " on " << Narrow(c.text);
  }
}

TEST(RemoveMatches, ABadPatternLeavesTheTextAlone) {
  for (const std::u16string text : {u"1. Blue Song", u""}) {
    std::u16string copy = text;
    EXPECT_FALSE(RemoveMatches(copy, u"{\\d"));
    EXPECT_EQ(copy, text);
  }
}

}  // namespace
