// The describing-page fetch off the window thread: one at a time, its result
// delivered on the loop's thread, and a fetch in flight broken off when the
// fetcher goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/loop/fake_loop.h"
#include "recorder/nowplaying/page_source.h"
#include "test_support.h"

namespace {

using platform::http::Client;
using platform::http::Options;
using platform::http::Result;
using platform::http::Status;
using testing_support::WaitUntil;

// Answers with the page once the test opens the gate; a cancelled request
// ends at once, as the real client does.
class GatedClient final : public Client {
 public:
  Result Get(const std::string&, const Options& options, const platform::http::BodySink& sink) override {
    ++started;
    std::unique_lock lock(mutex_);
    while (!open_) {
      if (options.cancel && options.cancel->load()) {
        ++cancelled;
        return Result{Status::Aborted, 0};
      }
      gate_.wait_for(lock, std::chrono::milliseconds(5));
    }
    const std::string page =
        "<a href=\"javascript:RLNK('/album/?song=7');\">Page Title</a>"
        "<a href=\"javascript:RLNK('/artist/?artist=3');\">Page Artist</a>";
    sink(page.data(), page.size());
    return Result{Status::Ok, 200};
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    gate_.notify_all();
  }
  std::atomic<int> started{0};
  std::atomic<int> cancelled{0};

 private:
  std::mutex mutex_;
  std::condition_variable gate_;
  bool open_ = false;
};

class Lent final : public Client {
 public:
  explicit Lent(Client& c) : c_(c) {}
  Result Get(const std::string& url, const Options& options, const platform::http::BodySink& sink) override {
    return c_.Get(url, options, sink);
  }

 private:
  Client& c_;
};

TEST(PageFetcher, OneFetchAtATimeWithItsResultOnTheLoopThread) {
  platform::FakeLoop loop;
  GatedClient client;
  PageFetcher fetcher(loop, [&client] { return std::make_unique<Lent>(client); });
  int calls = 0;
  PageFetcher::Result got;
  std::thread::id doneOn;
  auto done = [&](PageFetcher::Result r) {
    ++calls;
    got = std::move(r);
    doneOn = std::this_thread::get_id();
  };
  ASSERT_TRUE(fetcher.Start(u"http://127.0.0.1:9/item", u"Artist", u"generate", done));
  ASSERT_TRUE(WaitUntil([&] { return client.started == 1; }));
  EXPECT_TRUE(fetcher.busy());
  EXPECT_FALSE(fetcher.Start(u"http://127.0.0.1:9/other", u"", u"", done));

  client.Open();
  // Nothing is applied behind the loop's back: only serving the loop delivers.
  ASSERT_TRUE(WaitUntil([&] { return loop.PendingMessages() > 0; }));
  EXPECT_EQ(calls, 0);
  loop.RunPending();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(doneOn, std::this_thread::get_id());
  EXPECT_TRUE(got.read);
  EXPECT_EQ(got.author, u"Page Artist");
  EXPECT_EQ(got.title, u"Page Title");
  EXPECT_FALSE(fetcher.busy());
  EXPECT_EQ(client.started, 1);

  // Free again: the next page is read.
  EXPECT_TRUE(fetcher.Start(u"http://127.0.0.1:9/item", u"", u"", done));
  ASSERT_TRUE(WaitUntil([&] {
    loop.RunPending();
    return calls == 2;
  }));
}

TEST(PageFetcher, AFetchInFlightIsBrokenOffWhenTheFetcherGoes) {
  platform::FakeLoop loop;
  GatedClient client;
  bool called = false;
  {
    PageFetcher fetcher(loop, [&client] { return std::make_unique<Lent>(client); });
    ASSERT_TRUE(fetcher.Start(u"http://127.0.0.1:9/item", u"", u"", [&](PageFetcher::Result) { called = true; }));
    ASSERT_TRUE(WaitUntil([&] { return client.started == 1; }));
  }
  // The destructor waited for the broken-off request, so it has ended.
  EXPECT_EQ(client.cancelled, 1);
  loop.RunPending();
  EXPECT_FALSE(called);
}

}  // namespace
