#include "recorder/nowplaying/page_source.h"

#include <gtest/gtest.h>

#include "page_test_util.h"
#include "platform/http/fake_client.h"
#include "test_support.h"

using page_test::ArtistLink;
using page_test::PadTo;
using page_test::SongLink;
using platform::http::FakeClient;
using platform::http::Result;
using platform::http::Status;
using testing_support::ScopedEnv;

namespace {

const std::u16string kAddress = u"http://radio.example/now?id=5&q=\u00E9";
const std::string kUrl = "http://radio.example/now?id=5&q=\xC3\xA9";

struct Outcome {
  bool ok;
  std::u16string author, title;
};

Outcome Fetch(const std::string& body, size_t pieceSize = 4096, Result result = {Status::Ok, 200},
              std::u16string author = u"old author", std::u16string title = u"old title") {
  FakeClient client;
  client.SetReply(kUrl, {result, body, pieceSize});
  const bool ok = FetchNowPlayingPage(client, kAddress, author, title);
  return {ok, author, title};
}

class PageSourceTest : public ::testing::Test {
 protected:
  ScopedEnv utf8_{"LC_ALL", "C.UTF-8"};
};

TEST_F(PageSourceTest, AsksForThePageAsABrowserWithBoundedLimits) {
  FakeClient client;
  client.SetReply(kUrl, {});
  std::u16string author, title;
  EXPECT_TRUE(FetchNowPlayingPage(client, kAddress, author, title));
  const auto requests = client.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].url, kUrl);  // the address as given, in UTF-8
  EXPECT_EQ(requests[0].options.agent, "WebBrowser");
  EXPECT_EQ(requests[0].options.schemes, platform::http::Schemes::HttpOrHttps);
  EXPECT_LE(requests[0].options.connectTimeoutMs, 5000);
  EXPECT_LE(requests[0].options.totalTimeoutMs, 20000);
  EXPECT_EQ(requests[0].options.maxBodyBytes, 8u << 20);
}

TEST_F(PageSourceTest, TakesTheFirstLinkOfEachKind) {
  const std::string twoSongs = SongLink("First Song", "1") + " " + SongLink("Second Song", "2");
  const struct {
    const char* what;
    std::string body;
    std::u16string author, title;
  } cases[] = {
      {"both links", "<p>" + ArtistLink("Some Band") + SongLink("Blue Song") + "</p>", u"Some Band", u"Blue Song"},
      {"several song links", twoSongs + ArtistLink("A") + ArtistLink("B"), u"A", u"First Song"},
      {"artist link only", ArtistLink("Some Band"), u"Some Band", u"old title"},
      {"song link only", SongLink("Some Band - Blue Song"), u"old author", u"Some Band - Blue Song"},
      {"no links", "<html>nothing</html>", u"old author", u"old title"},
      {"character references stay", SongLink("Rock &amp; Roll &#39;n&#39;"), u"old author",
       u"Rock &amp; Roll &#39;n&#39;"},
      {"text kept exactly, blanks too", SongLink("  Blue\tSong "), u"old author", u"  Blue\tSong "},
      {"case matters", "rlnk('/album/?song=1');\">x</a>" + SongLink("Real"), u"old author", u"Real"},
      {"the closing tag is needed", "RLNK('/album/?song=1');\">Broken</b> " + SongLink("Good"), u"old author",
       u"Good"},
      {"UTF-8 text", SongLink("J\xC3\xB3ga"), u"old author", u"J\u00F3ga"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Fetch(c.body);
    EXPECT_TRUE(outcome.ok) << c.what;
    EXPECT_EQ(outcome.author, c.author) << c.what;
    EXPECT_EQ(outcome.title, c.title) << c.what;
  }
}

TEST_F(PageSourceTest, ReadsTheBodyInPiecesOf10240Bytes) {
  const std::string link = SongLink("Blue Song");
  const std::string nulPiece = PadTo(std::string("junk\0", 5) + SongLink("Hidden"), 10240);
  // A link whose first byte of "\xC3\xA9" is the last byte of the first piece.
  const std::string cafe = SongLink("Caf\xC3\xA9");
  const std::string splitCafe = PadTo("", 10239 - cafe.find('\xC3')) + cafe;
  const struct {
    const char* what;
    std::string body;
    std::u16string title;
  } cases[] = {
      {"exactly one piece, link at its end", PadTo("", 10240 - link.size()) + link, u"Blue Song"},
      {"a link across two pieces", PadTo("", 10230) + link, u"Blue Song"},
      // A NUL ends its piece's text; the next piece counts again.
      {"text after a NUL in the same piece is lost", nulPiece, u"old title"},
      {"the piece after a NUL counts", nulPiece + link, u"Blue Song"},
      {"a NUL at a piece's first byte", PadTo("", 10240) + std::string(1, '\0') + SongLink("Late"), u"old title"},
      {"a link cut by a NUL", PadTo("", 10200) + std::string("RLNK('/album/?song=1');\">Cut\0</a>", 33), u"old title"},
      // A character split between pieces is completed by the next one.
      {"a character split between pieces", splitCafe, u"Caf\u00E9"},
  };
  for (const auto& c : cases) {
    for (const size_t pieceSize : {size_t{1}, size_t{7}, size_t{4096}, size_t{10240}, size_t{65536}}) {
      const Outcome outcome = Fetch(c.body, pieceSize);
      EXPECT_TRUE(outcome.ok) << c.what << " / " << pieceSize;
      EXPECT_EQ(outcome.title, c.title) << c.what << " / " << pieceSize;
    }
  }
}

TEST_F(PageSourceTest, ConvertsFromTheLocalesCharset) {
  ScopedEnv latin1("LC_ALL", "de_DE.ISO-8859-1");
  EXPECT_EQ(Fetch(SongLink("Caf\xE9")).title, u"Caf\u00E9");
  EXPECT_EQ(Fetch(ArtistLink("Bj\xF6rk")).author, u"Bj\u00F6rk");
}

TEST_F(PageSourceTest, AFailedFetchChangesNothingAndFails) {
  const std::string page = SongLink("Blue Song") + ArtistLink("Some Band");
  for (const Status status : {Status::BadAddress, Status::Failed, Status::TimedOut, Status::TooLarge}) {
    // Even the part of a page read before the failure is not used.
    const Outcome outcome = Fetch(page, 4096, {status, 0});
    EXPECT_FALSE(outcome.ok) << static_cast<int>(status);
    EXPECT_EQ(outcome.author, u"old author");
    EXPECT_EQ(outcome.title, u"old title");
  }
  // Nothing answers at that address.
  FakeClient client;
  std::u16string author, title = u"generate";
  EXPECT_FALSE(FetchNowPlayingPage(client, kAddress, author, title));
  EXPECT_EQ(title, u"generate");
}

TEST_F(PageSourceTest, AHostilePageCannotHoldTheCallerForLong) {
  // Every song-link start rescans the rest of the page for a ")" that never
  // comes; without a time budget this search would take minutes.
  std::string body = ArtistLink("Some Band");
  while (body.size() < (1u << 20)) body += "RLNK('/album/?song=";
  const Outcome outcome = Fetch(body + ">");
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.title, u"old title");
  EXPECT_EQ(outcome.author, u"Some Band");
}

TEST_F(PageSourceTest, AnErrorPageIsReadLikeAnyPage) {
  const Outcome outcome = Fetch("<html><body>Not Found</body></html>", 4096, {Status::Ok, 404});
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.author, u"old author");
  EXPECT_EQ(outcome.title, u"old title");
}

TEST(NeedsNowPlayingPage, OnlyWithAnAddressAndAMissingName) {
  const struct {
    std::u16string address, author, title;
    bool needed;
  } cases[] = {
      {u"http://x/", u"", u"", true},
      {u"http://x/", u"", u"Blue Song", true},
      {u"http://x/", u"Some Band", u"", true},
      {u"http://x/", u"Some Band", u"generate", true},
      {u"http://x/", u"Some Band", u"Generate", true},
      {u"http://x/", u"Some Band", u"GENERATE", true},
      {u"http://x/", u"Some Band", u"Blue Song", false},
      {u"http://x/", u"Some Band", u"generated", false},
      {u"http://x/", u"Some Band", u" generate", false},
      {u"", u"", u"", false},
      {u"", u"Some Band", u"generate", false},
  };
  for (const auto& c : cases) {
    const std::u16string title = c.title;
    EXPECT_EQ(NeedsNowPlayingPage(c.address, c.author, title), c.needed);
    EXPECT_EQ(title, c.title);
  }
}

}  // namespace
