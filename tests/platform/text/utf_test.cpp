#include "platform/text/utf.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, EqualsIgnoringAsciiCaseFoldsOnlyAsciiLetters) {
  struct Case {
    std::u16string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {u"Author", u"author", true},
      {u"SOURCEURL", u"SourceURL", true},
      {u"", u"", true},
      {u"Title", u"Titles", false},    // a prefix is not the name
      {u"Titles", u"Title", false},
      {u"", u"Title", false},
      {u"[", u"{", false},             // 0x5B and 0x7B lie 32 apart but are no letters
      {u"@", u"`", false},
      {u"\u00C4", u"\u00E4", false},   // only ASCII folds
      {u"\u0130", u"i", false},
      {std::u16string_view(u"A\0B", 3), u"a", false},  // a unit after a NUL still counts
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::EqualsIgnoringAsciiCase(c.a, c.b), c.equal)
        << platform::ToUtf8(c.a) << " / " << platform::ToUtf8(c.b);
    EXPECT_EQ(platform::EqualsIgnoringAsciiCase(c.b, c.a), c.equal) << "reversed";
  }
}

}  // namespace
