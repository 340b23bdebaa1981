#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "alloc_count.h"
#include "platform/loop/fake_loop.h"
#include "platform/loop/glib_loop.h"


using platform::FakeLoop;
using platform::GlibLoop;
using platform::Loop;
using platform::Window;

namespace {

struct Event {
  char kind;  // 't' timer, 'm' message
  uint32_t id;
  int64_t at;
  bool operator==(const Event&) const = default;
};

class Recorder : public Window {
 public:
  explicit Recorder(Loop& loop) : Window(loop) {}
  std::vector<Event> events;
  std::function<void(uint32_t)> onTimer;
  std::function<void(uint32_t)> onMessage;

 protected:
  void OnTimer(uint32_t id) override {
    events.push_back({'t', id, loop().NowMs()});
    if (onTimer) onTimer(id);
  }
  void OnMessage(uint32_t msg, uintptr_t, intptr_t) override {
    events.push_back({'m', msg, loop().NowMs()});
    if (onMessage) onMessage(msg);
  }
};

// Timers due at the same moment fire in the order they were (re)scheduled.
TEST(FakeLoop, TimersFireInDueOrderWithTiesInSchedulingOrder) {
  FakeLoop loop;
  Recorder w(loop);
  w.SetTimer(2, 3000);
  w.SetTimer(3, 1000);
  w.SetTimer(4, 2000);
  loop.Advance(4000);
  const std::vector<Event> expected = {{'t', 3, 1000}, {'t', 4, 2000}, {'t', 3, 2000}, {'t', 2, 3000},
                                       {'t', 3, 3000}, {'t', 4, 4000}, {'t', 3, 4000}};
  EXPECT_EQ(w.events, expected);
  EXPECT_EQ(loop.NowMs(), 4000);
}

TEST(FakeLoop, SetTimerWithSameIdReplacesAndKillStops) {
  FakeLoop loop;
  Recorder w(loop);
  w.SetTimer(5, 3000);
  loop.Advance(2000);
  w.SetTimer(5, 3000);  // due again 3000 ms from now, not at 3000
  loop.Advance(2000);
  EXPECT_TRUE(w.events.empty());
  loop.Advance(1000);
  ASSERT_EQ(w.events.size(), 1u);
  EXPECT_EQ(w.events[0].at, 5000);
  EXPECT_TRUE(w.KillTimer(5));
  EXPECT_FALSE(w.KillTimer(5));
  loop.Advance(10000);
  EXPECT_EQ(w.events.size(), 1u);
}

TEST(FakeLoop, OneShotTimerKilledInsideItsHandler) {
  FakeLoop loop;
  Recorder w(loop);
  w.onTimer = [&](uint32_t id) { w.KillTimer(id); };
  w.SetTimer(5, 3000);
  loop.Advance(10000);
  EXPECT_EQ(w.events.size(), 1u);
  EXPECT_FALSE(loop.HasTimer(w, 5));
}

TEST(FakeLoop, PostsDrainInOrderAndBeforeLaterTimers) {
  FakeLoop loop;
  Recorder w(loop);
  w.SetTimer(1, 100);
  w.onTimer = [&](uint32_t) {
    w.PostMessage(20);
    w.PostMessage(21);
  };
  w.PostMessage(10);
  w.PostMessage(11);
  EXPECT_TRUE(w.events.empty());  // nothing happens before the test lets it
  loop.Advance(150);
  const std::vector<Event> expected = {{'m', 10, 0}, {'m', 11, 0}, {'t', 1, 100}, {'m', 20, 100}, {'m', 21, 100}};
  EXPECT_EQ(w.events, expected);
}

TEST(FakeLoop, PostsFromOtherThreadsKeepTheirOrder) {
  FakeLoop loop;
  Recorder w(loop);
  std::thread t([&] {
    for (uint32_t i = 0; i < 1000; ++i) w.PostMessage(i);
  });
  t.join();
  loop.RunPending();
  ASSERT_EQ(w.events.size(), 1000u);
  for (uint32_t i = 0; i < 1000; ++i) EXPECT_EQ(w.events[i].id, i);
}

TEST(FakeLoop, DestroyedWindowGetsNothingMore) {
  FakeLoop loop;
  Recorder survivor(loop);
  auto w = std::make_unique<Recorder>(loop);
  w->SetTimer(1, 10);
  w->PostMessage(1);
  survivor.PostMessage(2);
  w.reset();
  loop.Advance(100);
  EXPECT_EQ(loop.TimerCount(), 0u);
  ASSERT_EQ(survivor.events.size(), 1u);
  EXPECT_EQ(survivor.events[0].id, 2u);
}

TEST(FakeLoop, RunEndsOnQuitAndRefusesToHangForever) {
  FakeLoop loop;
  Recorder w(loop);
  w.SetTimer(1, 500);
  w.onTimer = [&](uint32_t) {
    if (w.events.size() == 3) loop.Quit();
  };
  loop.Run();
  EXPECT_EQ(loop.NowMs(), 1500);
  w.KillTimer(1);
  EXPECT_THROW(loop.Run(), std::logic_error);
}

TEST(FakeLoop, WatchedDescriptorIsServedWhenReadable) {
  FakeLoop loop;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int calls = 0;
  auto watch = loop.WatchFd(fds[0], [&] {
    char c;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    ++calls;
  });
  loop.RunPending();
  EXPECT_EQ(calls, 0);
  ASSERT_EQ(::write(fds[1], "ab", 2), 2);
  loop.RunPending();
  EXPECT_EQ(calls, 2);
  watch.reset();
  ASSERT_EQ(::write(fds[1], "c", 1), 1);
  loop.RunPending();
  EXPECT_EQ(calls, 2);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(GlibLoop, TimersAndThreadPostsArriveOnTheLoopThread) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  {
    GlibLoop loop(context);
    Recorder w(loop);
    const auto loopThread = std::this_thread::get_id();
    std::vector<uint32_t> messages;
    bool wrongThread = false;
    w.onMessage = [&](uint32_t msg) {
      wrongThread |= std::this_thread::get_id() != loopThread;
      messages.push_back(msg);
      if (msg == 499) w.SetTimer(7, 20);
    };
    int ticks = 0;
    w.onTimer = [&](uint32_t id) {
      EXPECT_EQ(id, 7u);
      if (++ticks == 3) {
        w.KillTimer(7);
        loop.Quit();
      }
    };
    std::thread poster([&] {
      for (uint32_t i = 0; i < 500; ++i) w.PostMessage(i);
    });
    loop.Run();
    poster.join();
    EXPECT_FALSE(wrongThread);
    ASSERT_EQ(messages.size(), 500u);
    for (uint32_t i = 0; i < 500; ++i) EXPECT_EQ(messages[i], i);
    EXPECT_EQ(ticks, 3);
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

TEST(GlibLoop, ReplacedTimerKeepsOnlyTheNewInterval) {
  GMainContext* context = g_main_context_new();
  {
    GlibLoop loop(context);
    Recorder w(loop);
    w.SetTimer(1, 10);
    w.SetTimer(1, 60000);  // replaces the short one: timer 1 must not fire soon
    w.SetTimer(2, 200);
    w.onTimer = [&](uint32_t) { loop.Quit(); };
    loop.Run();
    ASSERT_EQ(w.events.size(), 1u);
    EXPECT_EQ(w.events[0].id, 2u);
  }
  g_main_context_unref(context);
}

template <typename LoopType>
void ExpectAllocationFreePosts(LoopType& loop) {
  Recorder w(loop);
  size_t counted = 1;
  std::thread poster([&] {
    w.PostMessage(0);  // the first post may touch lazily made state
    const size_t before = testsupport::alloc::OfThisThread();
    for (uint32_t i = 1; i <= 1000; ++i) w.PostMessage(i);
    counted = testsupport::alloc::OfThisThread() - before;
  });
  poster.join();
  EXPECT_EQ(counted, 0u);
}

TEST(PostMessage, NeverAllocatesOnThePostingThread) {
  FakeLoop fake;
  ExpectAllocationFreePosts(fake);
  GMainContext* context = g_main_context_new();
  {
    GlibLoop glib(context);
    ExpectAllocationFreePosts(glib);
  }
  g_main_context_unref(context);
}

TEST(PostMessage, FullQueueDropsTheNewPostAndKeepsTheOldOnes) {
  FakeLoop loop;
  Recorder w(loop);
  size_t accepted = 0;
  while (w.PostMessage(static_cast<uint32_t>(accepted))) ++accepted;
  EXPECT_EQ(accepted, platform::PostQueue::kCapacity);
  loop.RunPending();
  ASSERT_EQ(w.events.size(), accepted);
  EXPECT_EQ(w.events.back().id, accepted - 1);
  EXPECT_TRUE(w.PostMessage(1));
}

TEST(GlibLoop, ModalRunInsideAHandlerStillServesPosts) {
  GMainContext* context = g_main_context_new();
  {
    GlibLoop loop(context);
    Recorder w(loop);
    w.onMessage = [&](uint32_t msg) {
      if (msg == 1) {
        w.PostMessage(2);
        loop.Run();  // a modal dialog's loop
        w.PostMessage(4);
      } else if (msg == 2) {
        w.PostMessage(3);
      } else if (msg == 3) {
        loop.Quit();  // ends the inner run
      } else if (msg == 4) {
        loop.Quit();  // ends the outer run
      }
    };
    w.PostMessage(1);
    loop.Run();
    std::vector<uint32_t> order;
    for (const auto& e : w.events) order.push_back(e.id);
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 3, 4}));
  }
  g_main_context_unref(context);
}

}  // namespace
