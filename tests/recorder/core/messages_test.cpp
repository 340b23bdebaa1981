#include <gtest/gtest.h>

#include "recorder/core/endpoints.h"
#include "recorder/core/format.h"
#include "recorder/core/messages.h"
#include "test_support.h"

using namespace orvweb;
using testing_support::ScopedEnv;

namespace {

struct LocaleEnv {
  ScopedEnv language, all, messages, lang;
  LocaleEnv(const char* languageV, const char* allV, const char* messagesV, const char* langV)
      : language("LANGUAGE", languageV ? std::optional<std::string>(languageV) : std::nullopt),
        all("LC_ALL", allV ? std::optional<std::string>(allV) : std::nullopt),
        messages("LC_MESSAGES", messagesV ? std::optional<std::string>(messagesV) : std::nullopt),
        lang("LANG", langV ? std::optional<std::string>(langV) : std::nullopt) {}
};

TEST(Messages, LanguageFollowsTheFirstSetLocaleVariable) {
  const struct {
    const char *language, *all, *messages, *lang;
    Language expected;
  } cases[] = {
      {nullptr, nullptr, nullptr, nullptr, Language::English},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", Language::German},
      {nullptr, nullptr, nullptr, "de_AT@euro", Language::German},
      {nullptr, nullptr, nullptr, "den_XX", Language::English},
      {nullptr, nullptr, "de_CH.UTF-8", "en_US.UTF-8", Language::German},
      {nullptr, "en_GB.UTF-8", "de_DE.UTF-8", "de_DE.UTF-8", Language::English},
      {nullptr, "C", nullptr, "de_DE.UTF-8", Language::English},
      {"de:en", "en_US.UTF-8", nullptr, nullptr, Language::German},
      {"en_US:de", nullptr, nullptr, "de_DE.UTF-8", Language::English},
      {"", nullptr, nullptr, "DE_de", Language::German},
  };
  for (const auto& c : cases) {
    LocaleEnv env(c.language, c.all, c.messages, c.lang);
    EXPECT_EQ(CurrentLanguage(), c.expected)
        << (c.language ? c.language : "-") << " " << (c.all ? c.all : "-") << " " << (c.messages ? c.messages : "-")
        << " " << (c.lang ? c.lang : "-");
  }
}

TEST(Messages, BothTablesHoldTheSameIdentifiers) {
  const int ids[] = {101, 102, 103, 104, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116, 117, 118,
                     120, 121, 122, 123, 124, 125, 126, 128, 129, 130, 131, 132, 135, 136, 137};
  for (int id : ids) {
    EXPECT_FALSE(LoadMessage(id, Language::English).empty()) << id;
    EXPECT_FALSE(LoadMessage(id, Language::German).empty()) << id;
  }
  for (int id : {100, 105, 119, 127, 133, 134, 138}) EXPECT_TRUE(LoadMessage(id, Language::English).empty()) << id;
}

TEST(Messages, TextsAreTheSystemsOwn) {
  EXPECT_EQ(LoadMessage(103, Language::English), u"Programm runs already.");
  EXPECT_EQ(LoadMessage(103, Language::German), u"Program ist bereits gestartet.");
  EXPECT_EQ(LoadMessage(113, Language::English),
            u"Unable To Load User Interface, Check your internet connection.\nOrvweb Will Quit.");
  EXPECT_EQ(LoadMessage(126, Language::German), u"Letze Aufnahme war zu kurz und wurde daher gel\u00F6scht.");
  LocaleEnv german(nullptr, nullptr, nullptr, "de_DE.UTF-8");
  EXPECT_EQ(LoadMessage(109), u"Aufnahme ist gestoppt.");
}

TEST(Messages, FormattedLines) {
  const struct {
    int id;
    Language language;
    std::initializer_list<FormatArg> args;
    std::u16string expected;
  } cases[] = {
      {107, Language::English, {0.35 * 100}, u"Record Level is set to 35%"},
      {107, Language::German, {0.35 * 100}, u"Record Level is set to 35%"},
      {114, Language::English, {int64_t{3}, int64_t{100}}, u"Lame_enc.dll v3.100 is found."},
      {122, Language::English, {u"Ann", u"Song", u"rec_sink.monitor"}, u"New song Ann - Song is started in rec_sink.monitor."},
      {122, Language::German, {u"Ann", u"Song", u"rec_sink.monitor"},
       u"Neuer Song Ann - Song wird in rec_sink.monitor aufgenommen."},
      // Texts from the stream are never read as formats.
      {122, Language::English, {u"100%s", u"%d%n", u"x"}, u"New song 100%s - %d%n is started in x."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatText(LoadMessage(c.id, c.language), c.args), c.expected) << c.id;
  }
}

TEST(Format, PrintfConventionsOnUtf16) {
  const struct {
    std::u16string format;
    std::initializer_list<FormatArg> args;
    std::u16string expected;
  } cases[] = {
      {u"%0.0f%%", {99.5}, u"100%"},
      {u"%0.0f", {0.0}, u"0"},
      {u"%5d|%-5d|%05d", {int64_t{42}, int64_t{42}, int64_t{42}}, u"   42|42   |00042"},
      {u"%x %X", {int64_t{255}, int64_t{255}}, u"ff FF"},
      {u"%.2s|%4s|%-4s|", {u"abc", u"ab", u"ab"}, u"ab|  ab|ab  |"},
      {u"%s and %s", {u"one"}, u"one and "},            // missing argument
      {u"%d", {u"text"}, u"0"},                           // wrong kind
      {u"%s", {int64_t{7}}, u"7"},
      {u"%q %", {}, u"%q %"},                             // unknown and dangling
      {u"%999999999999d", {int64_t{1}}, std::u16string(254, u' ') + u"1"},  // width capped
      {u"%s", {u"\u00DC\U0001F3B5"}, u"\u00DC\U0001F3B5"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatText(c.format, c.args), c.expected);
}

TEST(Format, TimeSpans) {
  const struct {
    std::u16string format;
    int64_t seconds;
    std::u16string expected;
  } cases[] = {
      {u"Record %H:%M:%S", 5, u"Record 00:00:05"},
      {u"Aufnahme %H:%M:%S", 5, u"Aufnahme 00:00:05"},
      {u"Record %H:%M:%S", 3725, u"Record 01:02:05"},
      {u"Record %H:%M:%S", 90061, u"Record 01:01:01"},  // hours restart after a day
      {u"%D days %H%%", 90061, u"1 days 01%"},
      {u"a%xb%", 1, u"ab"},
      {u"%S", -5, u"00"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatTimeSpan(c.format, c.seconds), c.expected) << c.seconds;
  EXPECT_EQ(FormatTimeSpan(LoadMessage(125, Language::German), 5), u"Aufnahme 00:00:05");
  EXPECT_EQ(FormatTimeSpan(LoadMessage(125, Language::English), 90061), u"Record 01:01:01");
}

TEST(Endpoints, BundledPagesAndOverrides) {
  {
    ScopedEnv ui("ORVWEB_UI_BASE", std::nullopt);
    const std::u16string en = LoadMessage(130, Language::English);
    EXPECT_TRUE(en.starts_with(u"file:///")) << std::string(en.begin(), en.end());
    EXPECT_TRUE(en.ends_with(u"/web/en/orvweb.htm"));
    EXPECT_TRUE(LoadMessage(132, Language::German).ends_with(u"/web/de/orvwebOptions.htm"));
    EXPECT_TRUE(LoadMessage(135, Language::German).ends_with(u"/web/de/help.aspx"));
  }
  {
    ScopedEnv ui("ORVWEB_UI_BASE", "http://127.0.0.1:8080/ui/");
    EXPECT_EQ(LoadMessage(130, Language::English), u"http://127.0.0.1:8080/ui/en/orvweb.htm");
    EXPECT_EQ(LoadMessage(132, Language::German), u"http://127.0.0.1:8080/ui/de/orvwebOptions.htm");
  }
  EXPECT_EQ(LoadMessage(129, Language::English), u"http://localhost/orven/orvweb.htm");
  EXPECT_EQ(LoadMessage(131, Language::German), u"http://localhost/orvde/orvwebOptions.htm");
  {
    ScopedEnv notice("ORVWEB_NOTICE_BASE", std::nullopt);
    ScopedEnv update("ORVWEB_UPDATE_BASE", std::nullopt);
    EXPECT_TRUE(NoticeBase().starts_with(u"https://"));
    EXPECT_TRUE(UpdateBase().starts_with(u"https://"));
  }
  ScopedEnv notice("ORVWEB_NOTICE_BASE", "http://127.0.0.1:9/n/");
  ScopedEnv update("ORVWEB_UPDATE_BASE", "https://127.0.0.1:9443");
  EXPECT_EQ(NoticeBase(), u"http://127.0.0.1:9/n");
  EXPECT_EQ(UpdateBase(), u"https://127.0.0.1:9443");
}

TEST(Endpoints, FileUrlsEscapeWhatAUrlCannotHold) {
  EXPECT_EQ(FileUrl("/home/ann/My Web/#1/\xC3\xBC"), u"file:///home/ann/My%20Web/%231/%C3%BC");
}

}  // namespace
