// Web notices: where they go, how they introduce themselves, and that no
// failure reaches the caller.
#include "recorder/core/web_notice.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/http/fake_client.h"
#include "test_support.h"

using namespace orvweb;
using testing_support::ScopedEnv;

namespace {

class ThrowingClient : public platform::http::Client {
 public:
  platform::http::Result Get(const std::string&, const platform::http::Options&,
                             const platform::http::BodySink&) override {
    throw std::runtime_error("client library failure");
  }
};

TEST(WebNotice, GoesToTheNoticeServerAsOrvWeb) {
  ScopedEnv base("ORVWEB_NOTICE_BASE", "http://127.0.0.1:8181/notice/");
  auto client = std::make_unique<platform::http::FakeClient>();
  auto* fake = client.get();
  fake->SetReply("http://127.0.0.1:8181/notice/start.htm", {{platform::http::Status::Ok, 200}, "ignored"});
  WebNotice notice(std::move(client));
  notice.Send(kNoticeRecordStarted);
  notice.Send(kNoticeFirstStart);  // no reply: fails like an unreachable host

  const auto requests = fake->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url, "http://127.0.0.1:8181/notice/start.htm");
  EXPECT_EQ(requests[1].url, "http://127.0.0.1:8181/notice/Start2.htm");
  for (const auto& request : requests) {
    EXPECT_EQ(request.options.agent, "OrvWeb");
    // The window thread waits for the notice: every wait is bounded.
    EXPECT_GT(request.options.connectTimeoutMs, 0);
    EXPECT_LE(request.options.connectTimeoutMs, 5000);
    EXPECT_GT(request.options.totalTimeoutMs, 0);
    EXPECT_LE(request.options.totalTimeoutMs, 10000);
    EXPECT_LE(request.options.maxBodyBytes, 1u << 20);
  }
}

TEST(WebNotice, AFailingClientIsSwallowed) {
  WebNotice notice(std::make_unique<ThrowingClient>());
  EXPECT_NO_THROW(notice.Send(kNoticeRecordStopped));
}

}  // namespace
