#include "platform/http/text_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_support.h"

using platform::http::LocaleCharset;
using platform::http::TextDecoder;
using testing_support::ScopedEnv;

namespace {

std::u16string Decode(const std::string& charset, const std::vector<std::string>& pieces) {
  TextDecoder decoder(charset);
  std::u16string out;
  for (const std::string& piece : pieces) decoder.Append(piece, out);
  decoder.Finish(out);
  return out;
}

TEST(TextDecoder, ConvertsPieceByPiece) {
  const struct {
    const char* charset;
    std::vector<std::string> pieces;
    std::u16string expected;
  } cases[] = {
      {"ISO-8859-1", {"Caf\xE9 ", "\xC4rger"}, u"Caf\u00E9 \u00C4rger"},
      {"CP1252", {"\x80 \x93q\x94"}, u"\u20AC \u201Cq\u201D"},
      {"UTF-8", {"Caf\xC3\xA9"}, u"Caf\u00E9"},
      // A character cut between two pieces is put together again.
      {"UTF-8", {"Caf\xC3", "\xA9!"}, u"Caf\u00E9!"},
      {"UTF-8", {"\xF0\x9F", "\x8E", "\xB5"}, u"\U0001F3B5"},
      // Bytes that are no text become one replacement each; the rest stays.
      {"UTF-8", {"a\xFF" "b\xC3(c"}, u"a\uFFFDb\uFFFD(c"},
      // A cut character at the very end has nothing to complete it.
      {"UTF-8", {"ab\xE2\x82"}, u"ab\uFFFD"},
      {"UTF-8", {"", ""}, u""},
      // An unknown charset falls back to UTF-8.
      {"NO-SUCH-CHARSET", {"\xC3\xA9"}, u"\u00E9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Decode(c.charset, c.pieces), c.expected) << c.charset << " " << c.pieces.size();
  }
}

TEST(TextDecoder, FinishStartsAfresh) {
  TextDecoder decoder("UTF-8");
  std::u16string out;
  decoder.Append("x\xC3", out);
  decoder.Finish(out);
  decoder.Append("\xA9y", out);
  decoder.Finish(out);
  EXPECT_EQ(out, u"x\uFFFD\uFFFDy");
}

TEST(TextDecoder, LargeInputsConvertWhole) {
  const std::string big(100000, '\xE9');
  EXPECT_EQ(Decode("ISO-8859-1", {big}), std::u16string(100000, u'\u00E9'));
}

TEST(LocaleCharset, FollowsTheLocaleVariables) {
  const struct {
    const char* lcAll;
    const char* lcCtype;
    const char* lang;
    const char* expected;
  } cases[] = {
      {"C.UTF-8", nullptr, nullptr, "UTF-8"},
      {nullptr, nullptr, "C.UTF-8", "UTF-8"},
      // Not installed here, yet their names state the charset.
      {"de_DE.ISO-8859-15@euro", nullptr, nullptr, "ISO-8859-15"},
      {nullptr, "ru_RU.KOI8-R", "C.UTF-8", "KOI8-R"},
      {"pl_PL.ISO-8859-2", "ru_RU.KOI8-R", nullptr, "ISO-8859-2"},
      // ASCII locales read the web's usual UTF-8.
      {"C", nullptr, nullptr, "UTF-8"},
      {nullptr, nullptr, nullptr, "UTF-8"},
  };
  for (const auto& c : cases) {
    ScopedEnv all("LC_ALL", c.lcAll ? std::optional<std::string>(c.lcAll) : std::nullopt);
    ScopedEnv ctype("LC_CTYPE", c.lcCtype ? std::optional<std::string>(c.lcCtype) : std::nullopt);
    ScopedEnv lang("LANG", c.lang ? std::optional<std::string>(c.lang) : std::nullopt);
    EXPECT_EQ(LocaleCharset(), c.expected) << (c.lcAll ? c.lcAll : "-") << " " << (c.lcCtype ? c.lcCtype : "-");
  }
}

}  // namespace
