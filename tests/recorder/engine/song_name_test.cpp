#include "recorder/engine/song_name.h"

#include <gtest/gtest.h>

#include "platform/text/utf.h"

using namespace orvweb;

namespace {

std::tm March5th2005() {
  std::tm t{};
  t.tm_year = 105;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 14;
  t.tm_min = 30;
  t.tm_sec = 15;
  return t;
}

TEST(SongName, BaseNameAndReservedCharacters) {
  struct Case {
    std::u16string artist, title, expected;
  };
  const std::tm when = March5th2005();
  const Case cases[] = {
      {u"", u"", u"song050305143015"},
      {u"Artist", u"", u"Artist"},
      {u"", u"Title", u"Title"},
      {u"A/B", u"C?", u"A B - C "},
      {u"", u"?", u" "},
      {u"-X-", u"Y", u"X- - Y"},
      {u"  - ", u" -", u"song050305143015"},  // only blanks and hyphens
      {u"a\\b:c*d\"e<f>g|h", u"t", u"a b c d e f g h - t"},
      {u"Bj\u00F6rk", u"J\u00F3ga", u"Bj\u00F6rk - J\u00F3ga"},  // nothing else changes
      {u"A  B", u"..", u"A  B - .."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceReservedCharacters(SongBaseName(c.artist, c.title, &when)), c.expected)
        << platform::ToUtf8(c.artist) << " | " << platform::ToUtf8(c.title);
  }
  EXPECT_EQ(SongBaseName(u"", u"", nullptr), u"song");
  EXPECT_EQ(ReplaceReservedCharacters(std::u16string(u"a\0b", 3)), u"a b");
}

TEST(SongName, LongNamesAreCutAtACharacterBoundaryKeepingTheExtension) {
  struct Case {
    std::u16string base;
    size_t expectedBaseUnits;
  };
  const std::u16string ascii(300, u'a');
  const std::u16string umlauts(200, u'\u00FC');           // 2 bytes each
  const std::u16string kana(100, u'\u30BF');              // 3 bytes each
  std::u16string notes;                                   // 4 bytes each (surrogate pairs)
  for (int i = 0; i < 70; ++i) notes += u"\U0001F3B5";
  const Case cases[] = {
      {ascii, 251},              // 251 + ".mp3" = 255
      {umlauts, 125},            // 250 bytes; another would make 256
      {kana, 83},                // 249 bytes
      {notes, 2 * 62},           // 248 bytes; never half a pair
      {u"Short name", 10},
  };
  for (const Case& c : cases) {
    const std::u16string name = FitFileName(c.base, u".mp3");
    EXPECT_EQ(name, c.base.substr(0, c.expectedBaseUnits) + u".mp3");
    EXPECT_LE(platform::ToUtf8(name).size(), 255u);
  }
  EXPECT_EQ(FitFileName(ascii, u".wma", 10), u"aaaaaa.wma");
}

TEST(SongName, ASourceNamesALocalFileByItsExactPathOrItsFileUrl) {
  const std::u16string path = u"/home/ann/Music/Orvello Songs/Caf\u00E9 - A.mp3";
  const std::optional<std::string> file = platform::ToUtf8(path);
  EXPECT_EQ(LocalPathOf(path), file);
  EXPECT_EQ(LocalPathOf(u"file:///home/ann/Music/Orvello%20Songs/Caf%C3%A9%20-%20A.mp3"), file);
  EXPECT_EQ(LocalPathOf(u"file://localhost/home/ann/Music/Orvello Songs/Caf\u00E9 - A.mp3"), file);
  EXPECT_NE(LocalPathOf(u"/home/ann/music/Orvello Songs/Caf\u00E9 - A.mp3"), file);  // case counts
  EXPECT_NE(LocalPathOf(u"file:///home/ann/Music/Orvello%20Songs/caf%C3%A9%20-%20A.mp3"), file);
  EXPECT_EQ(LocalPathOf(u"http://radio.example/stream"), std::nullopt);
  EXPECT_EQ(LocalPathOf(u""), std::nullopt);
  EXPECT_EQ(LocalPathOf(u"file://otherhost/home/ann/Music/Orvello%20Songs/Caf%C3%A9%20-%20A.mp3"), std::nullopt);
}

}  // namespace
