// The page fetch over the real HTTP client against a server on 127.0.0.1.
#include <gtest/gtest.h>

#include "local_http_server.h"
#include "page_test_util.h"
#include "platform/text/utf.h"
#include "recorder/nowplaying/page_source.h"
#include "test_support.h"

using page_test::ArtistLink;
using page_test::PadTo;
using page_test::SongLink;
using platform::http::Options;
using testing_support::LocalHttpServer;
using testing_support::ScopedEnv;
using Kind = LocalHttpServer::Response::Kind;

namespace {

// Passes every request to the real client but lets the test shorten the
// time-outs, so a silent server costs a second rather than twenty.
class ShortTimeouts : public platform::http::Client {
 public:
  platform::http::Result Get(const std::string& url, const Options& options,
                             const platform::http::BodySink& sink) override {
    seen = options;
    Options shorter = options;
    shorter.totalTimeoutMs = 500;
    return real_->Get(url, shorter, sink);
  }
  Options seen;

 private:
  std::unique_ptr<platform::http::Client> real_ = platform::http::MakeCurlClient();
};

class PageSourceServerTest : public ::testing::Test {
 protected:
  struct Outcome {
    bool ok;
    std::u16string author, title;
  };

  Outcome Fetch(const std::string& url) {
    std::u16string author = u"old author";
    std::u16string title = u"old title";
    const bool ok = FetchNowPlayingPage(platform::FromUtf8(url), author, title);
    return {ok, author, title};
  }

  ScopedEnv utf8_{"LC_ALL", "C.UTF-8"};
  ScopedEnv noProxy_{"http_proxy", std::nullopt};
  ScopedEnv noAllProxy_{"all_proxy", std::nullopt};
  LocalHttpServer server_;
};

TEST_F(PageSourceServerTest, FetchesAsAWebBrowser) {
  server_.Route("/np?id=5&x=%20y", {Kind::Reply, 200, SongLink("Blue Song") + ArtistLink("Some Band"), {}});
  const Outcome outcome = Fetch(server_.Url("/np?id=5&x=%20y"));
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.title, u"Blue Song");
  EXPECT_EQ(outcome.author, u"Some Band");
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].target, "/np?id=5&x=%20y");
  EXPECT_EQ(server_.Requests()[0].headers.at("user-agent"), "WebBrowser");
}

TEST_F(PageSourceServerTest, Pages) {
  const std::string link = SongLink("Blue Song");
  const struct {
    const char* what;
    std::string body;
    int status;
    std::u16string author, title;
  } cases[] = {
      {"exactly 10240 bytes", PadTo("", 10240 - link.size()) + link, 200, u"old author", u"Blue Song"},
      {"a NUL hides the rest of its piece", std::string("x\0", 2) + link, 200, u"old author", u"old title"},
      {"the next piece counts again", PadTo(std::string("x\0", 2), 10240) + SongLink("Second"), 200, u"old author",
       u"Second"},
      {"first of several song links", SongLink("One", "1") + SongLink("Two", "2") + SongLink("Three", "3"), 200,
       u"old author", u"One"},
      {"artist link only", ArtistLink("Some Band"), 200, u"Some Band", u"old title"},
      {"character reference kept", SongLink("Tom &amp; Jerry"), 200, u"old author", u"Tom &amp; Jerry"},
      {"an error page yields nothing", "<html><body>Not Found</body></html>", 404, u"old author", u"old title"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string target = "/page" + std::to_string(n++);
    server_.Route(target, {Kind::Reply, c.status, c.body, {}});
    const Outcome outcome = Fetch(server_.Url(target));
    EXPECT_TRUE(outcome.ok) << c.what;
    EXPECT_EQ(outcome.author, c.author) << c.what;
    EXPECT_EQ(outcome.title, c.title) << c.what;
  }
}

TEST_F(PageSourceServerTest, FailuresLeaveTheNamesAndFail) {
  server_.Route("/to-file", {Kind::Reply, 302, "", {{"Location", "file:///etc/passwd"}}});
  server_.Route("/endless", {Kind::Endless, 200, "", {}});
  server_.Route("/announced", {Kind::Oversized, 200, "", {}});
  uint16_t closedPort;
  {
    LocalHttpServer gone;
    closedPort = gone.port();
  }
  const std::string addresses[] = {
      "file:///etc/passwd",
      server_.Url("/to-file"),
      server_.Url("/endless"),    // far above the 8 MiB cap
      server_.Url("/announced"),  // 1 GiB announced
      "http://127.0.0.1:" + std::to_string(closedPort) + "/",
      "127.0.0.1/no-scheme",
  };
  for (const std::string& address : addresses) {
    const Outcome outcome = Fetch(address);
    EXPECT_FALSE(outcome.ok) << address;
    EXPECT_EQ(outcome.author, u"old author") << address;
    EXPECT_EQ(outcome.title, u"old title") << address;
  }
}

TEST_F(PageSourceServerTest, ASilentServerEndsWithTheTimeOut) {
  server_.Route("/silent", {Kind::Silent, 200, "", {}});
  ShortTimeouts client;
  std::u16string author, title;
  EXPECT_FALSE(FetchNowPlayingPage(client, platform::FromUtf8(server_.Url("/silent")), author, title));
  EXPECT_GT(client.seen.totalTimeoutMs, 0);
  EXPECT_LE(client.seen.totalTimeoutMs, 20000);
}

}  // namespace
