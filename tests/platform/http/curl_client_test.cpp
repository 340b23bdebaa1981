#include <gtest/gtest.h>

#include <cstdlib>
#include <atomic>
#include <fstream>
#include <thread>

#include "local_http_server.h"
#include "platform/http/http.h"
#include "test_support.h"

using platform::http::Options;
using platform::http::Result;
using platform::http::Schemes;
using platform::http::Status;
using testing_support::LocalHttpServer;
using testing_support::ScopedEnv;
using Kind = LocalHttpServer::Response::Kind;

namespace {

struct Fetched {
  Result result;
  std::string body;
  int pieces = 0;
};

Fetched Fetch(const std::string& url, const Options& options) {
  Fetched fetched;
  fetched.result = platform::http::MakeCurlClient()->Get(url, options, [&](const char* data, size_t size) {
    fetched.body.append(data, size);
    ++fetched.pieces;
    return true;
  });
  return fetched;
}

Options QuickOptions() {
  Options options;
  options.agent = "TestAgent/1";
  options.connectTimeoutMs = 2000;
  options.totalTimeoutMs = 5000;
  return options;
}

// The loopback server must be reached directly whatever proxy the machine
// running the tests uses.
class CurlClientTest : public ::testing::Test {
 protected:
  ScopedEnv noHttpProxy_{"http_proxy", std::nullopt};
  ScopedEnv noHttpsProxy_{"https_proxy", std::nullopt};
  ScopedEnv noAllProxy_{"all_proxy", std::nullopt};
  ScopedEnv noAllProxyUpper_{"ALL_PROXY", std::nullopt};
  ScopedEnv noProxy_{"no_proxy", std::nullopt};
  LocalHttpServer server_;
};

TEST_F(CurlClientTest, SendsTheAgentAndDeliversTheBody) {
  const std::string body(10240, 'a');
  server_.Route("/page?id=7&x=%20y", {Kind::Reply, 200, body, {}});
  const Fetched fetched = Fetch(server_.Url("/page?id=7&x=%20y"), QuickOptions());
  EXPECT_EQ(fetched.result.status, Status::Ok);
  EXPECT_EQ(fetched.result.httpCode, 200);
  EXPECT_EQ(fetched.body, body);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].method, "GET");
  EXPECT_EQ(server_.Requests()[0].target, "/page?id=7&x=%20y");
  EXPECT_EQ(server_.Requests()[0].headers.at("user-agent"), "TestAgent/1");
}

TEST_F(CurlClientTest, AnErrorStatusIsAResponseWithItsBody) {
  const Fetched fetched = Fetch(server_.Url("/missing"), QuickOptions());
  EXPECT_EQ(fetched.result.status, Status::Ok);
  EXPECT_EQ(fetched.result.httpCode, 404);
  EXPECT_NE(fetched.body.find("Not Found"), std::string::npos);
}

TEST_F(CurlClientTest, OnlyTheAskedStatusHandsItsBodyToTheSink) {
  server_.Route("/gone", {Kind::Reply, 404, std::string(100000, 'g'), {}});
  server_.Route("/broken", {Kind::Reply, 500, "<html>error page</html>", {}});
  server_.Route("/moved", {Kind::Reply, 302, "moved here", {{"Location", "/target"}}});
  server_.Route("/target", {Kind::Reply, 200, "arrived", {}});
  Options options = QuickOptions();
  options.onlyStatus = 200;
  const struct {
    const char* target;
    long code;
    std::string body;
  } cases[] = {{"/gone", 404, ""}, {"/broken", 500, ""}, {"/moved", 200, "arrived"}, {"/target", 200, "arrived"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const Fetched fetched = Fetch(server_.Url(c.target), options);
    EXPECT_EQ(fetched.result.status, Status::Ok);  // an answer came, just not one to keep
    EXPECT_EQ(fetched.result.httpCode, c.code);
    EXPECT_EQ(fetched.body, c.body);
  }
}

TEST_F(CurlClientTest, RefusesEveryAddressThatIsNotHttpOrHttps) {
  const std::string refused[] = {
      "file:///etc/passwd", "FILE:///etc/passwd", "ftp://127.0.0.1/x", "dict://127.0.0.1/x", "gopher://127.0.0.1/",
      "127.0.0.1/page",  // no scheme: nothing is guessed
      "", "http://", "not an address", std::string("http://127.0.0.1/\0/etc/passwd", 29),
  };
  for (const std::string& url : refused) {
    const Fetched fetched = Fetch(url, QuickOptions());
    EXPECT_EQ(fetched.result.status, Status::BadAddress) << url;
    EXPECT_EQ(fetched.pieces, 0) << url;
  }
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(CurlClientTest, HttpsOnlyRefusesPlainHttp) {
  Options options = QuickOptions();
  options.schemes = Schemes::HttpsOnly;
  EXPECT_EQ(Fetch(server_.Url("/page"), options).result.status, Status::BadAddress);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(CurlClientTest, RedirectsStayOnHttp) {
  server_.Route("/moved", {Kind::Reply, 302, "", {{"Location", "/target"}}});
  server_.Route("/target", {Kind::Reply, 200, "arrived", {}});
  server_.Route("/to-file", {Kind::Reply, 302, "", {{"Location", "file:///etc/passwd"}}});
  server_.Route("/to-ftp", {Kind::Reply, 301, "", {{"Location", "ftp://127.0.0.1/x"}}});

  Fetched fetched = Fetch(server_.Url("/moved"), QuickOptions());
  EXPECT_EQ(fetched.result.status, Status::Ok);
  EXPECT_EQ(fetched.body, "arrived");

  for (const char* target : {"/to-file", "/to-ftp"}) {
    fetched = Fetch(server_.Url(target), QuickOptions());
    EXPECT_EQ(fetched.result.status, Status::BadAddress) << target;
    EXPECT_EQ(fetched.body.find("root:"), std::string::npos) << target;
  }

  Options noFollow = QuickOptions();
  noFollow.followRedirects = false;
  fetched = Fetch(server_.Url("/to-file"), noFollow);
  EXPECT_EQ(fetched.result.status, Status::Ok);
  EXPECT_EQ(fetched.result.httpCode, 302);
}

TEST_F(CurlClientTest, CapsTheBody) {
  server_.Route("/exact", {Kind::Reply, 200, std::string(65536, 'b'), {}});
  server_.Route("/over", {Kind::Reply, 200, std::string(65537, 'b'), {}});
  server_.Route("/endless", {Kind::Endless, 200, "", {}});
  server_.Route("/announced", {Kind::Oversized, 200, "", {}});
  Options options = QuickOptions();
  options.maxBodyBytes = 65536;

  EXPECT_EQ(Fetch(server_.Url("/exact"), options).result.status, Status::Ok);
  for (const char* target : {"/over", "/endless", "/announced"}) {
    const Fetched fetched = Fetch(server_.Url(target), options);
    EXPECT_EQ(fetched.result.status, Status::TooLarge) << target;
    EXPECT_LE(fetched.body.size(), 65536u) << target;
  }
}

TEST_F(CurlClientTest, ASilentServerTimesOut) {
  server_.Route("/silent", {Kind::Silent, 200, "", {}});
  Options options = QuickOptions();
  options.totalTimeoutMs = 300;
  const Fetched fetched = Fetch(server_.Url("/silent"), options);
  EXPECT_EQ(fetched.result.status, Status::TimedOut);
  EXPECT_EQ(fetched.result.httpCode, 0);
}

TEST_F(CurlClientTest, ACancelEndsARequestToASilentServerLongBeforeItsTimeOut) {
  server_.Route("/silent", {Kind::Silent, 200, "", {}});
  Options options = QuickOptions();
  options.totalTimeoutMs = 60000;
  std::atomic<bool> cancel{false};
  options.cancel = &cancel;
  std::atomic<bool> ended{false};
  Fetched fetched;
  std::thread request([&] {
    fetched = Fetch(server_.Url("/silent"), options);
    ended = true;
  });
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !server_.Requests().empty(); }));
  cancel = true;
  // Well inside the minute the request would otherwise wait.
  const bool endedInTime = testing_support::WaitUntil([&] { return ended.load(); }, 20000);
  request.join();
  EXPECT_TRUE(endedInTime);
  EXPECT_EQ(fetched.result.status, Status::Aborted);
}

TEST_F(CurlClientTest, NoListenerFails) {
  uint16_t port;
  {
    LocalHttpServer gone;
    port = gone.port();
  }
  EXPECT_EQ(Fetch("http://127.0.0.1:" + std::to_string(port) + "/", QuickOptions()).result.status, Status::Failed);
}

TEST_F(CurlClientTest, TheSinkCanStopTheTransfer) {
  server_.Route("/endless", {Kind::Endless, 200, "", {}});
  const Result result = platform::http::MakeCurlClient()->Get(server_.Url("/endless"), QuickOptions(),
                                                              [](const char*, size_t) { return false; });
  EXPECT_EQ(result.status, Status::Aborted);
  const Result thrown = platform::http::MakeCurlClient()->Get(
      server_.Url("/endless"), QuickOptions(), [](const char*, size_t) -> bool { throw std::runtime_error("x"); });
  EXPECT_EQ(thrown.status, Status::Aborted);
}

TEST_F(CurlClientTest, OneSessionServesSeveralRequests) {
  server_.Route("/a", {Kind::Reply, 200, "first", {}});
  server_.Route("/b", {Kind::Reply, 200, "second", {}});
  const auto client = platform::http::MakeCurlClient();
  std::string body;
  const auto sink = [&](const char* data, size_t size) {
    body.append(data, size);
    return true;
  };
  Options other = QuickOptions();
  other.agent = "Other";
  EXPECT_TRUE(client->Get(server_.Url("/a"), QuickOptions(), sink).ok());
  EXPECT_TRUE(client->Get(server_.Url("/b"), other, sink).ok());
  EXPECT_EQ(body, "firstsecond");
  ASSERT_EQ(server_.Requests().size(), 2u);
  EXPECT_EQ(server_.Requests()[1].headers.at("user-agent"), "Other");
}

TEST_F(CurlClientTest, UsesTheProxyFromTheEnvironment) {
  LocalHttpServer proxy;
  proxy.Route("http://radio.invalid/now?id=1", {Kind::Reply, 200, "via proxy", {}});
  ScopedEnv useProxy("http_proxy", proxy.Url(""));
  const Fetched fetched = Fetch("http://radio.invalid/now?id=1", QuickOptions());
  EXPECT_EQ(fetched.result.status, Status::Ok);
  EXPECT_EQ(fetched.body, "via proxy");
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].headers.at("user-agent"), "TestAgent/1");
}

// https against "openssl s_server" with a self-signed certificate: trusted
// only when the environment names it, as a private CA is for the updater.
class CurlClientTlsTest : public CurlClientTest {
 protected:
  static int Shell(const std::string& command) { return testing_support::Child({"/bin/sh", "-c", command}).Wait(); }

  static uint16_t FreePort() {
    LocalHttpServer probe;
    return probe.port();
  }

  testing_support::TempDir dir_;
};

TEST_F(CurlClientTlsTest, VerifiesCertificatesAgainstTheEnvironmentsAuthorities) {
  const std::string cert = (dir_.path() / "cert.pem").string();
  const std::string key = (dir_.path() / "key.pem").string();
  ASSERT_EQ(Shell("exec openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                  "-addext subjectAltName=IP:127.0.0.1 -keyout '" + key + "' -out '" + cert + "' >/dev/null 2>&1"),
            0);
  const uint16_t port = FreePort();
  testing_support::Child server({"/bin/sh", "-c",
                                 "exec openssl s_server -quiet -www -accept 127.0.0.1:" + std::to_string(port) +
                                     " -cert '" + cert + "' -key '" + key + "' >/dev/null 2>&1"});
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  // Until the server listens the request fails to connect; afterwards it
  // fails on the unknown certificate (same status), so wait on the trusted one.
  ScopedEnv trusted("SSL_CERT_FILE", cert);
  Options options = QuickOptions();
  options.schemes = Schemes::HttpsOnly;
  Fetched fetched;
  ASSERT_TRUE(testing_support::WaitUntil([&] { return (fetched = Fetch(url, options)).result.ok(); }, 10000));
  EXPECT_EQ(fetched.result.httpCode, 200);
  EXPECT_FALSE(fetched.body.empty());

  ScopedEnv untrusted("SSL_CERT_FILE", std::nullopt);
  EXPECT_EQ(Fetch(url, options).result.status, Status::Failed);
}

}  // namespace
