#pragma once
// A loop with a virtual clock for tests. Nothing happens until the test calls
// RunPending() or Advance(); timers then fire in due order (ties in the order
// they were set) and posted messages drain in posting order after each step.
// Watched descriptors are polled without waiting whenever pending work drains.
#include <cstdint>
#include <map>
#include <vector>

#include "platform/loop/loop.h"
#include "platform/loop/post_queue.h"

namespace platform {

class FakeLoop : public Loop {
 public:
  FakeLoop() = default;
  ~FakeLoop() override;

  int64_t NowMs() const override { return now_; }
  // Serves pending messages and readable descriptors until none is left.
  void RunPending();
  // Moves the virtual clock forward by ms, firing every timer that falls due.
  void Advance(int64_t ms);
  // Runs until Quit(), advancing the clock to the next timer when idle; throws
  // std::logic_error when nothing could ever end the run.
  void Run() override;
  void Quit() override { quit_ = true; }

  std::unique_ptr<FdWatch> WatchFd(int fd, std::function<void()> onReadable) override;

  bool HasTimer(const Window& window, uint32_t timerId) const;
  size_t TimerCount() const { return timers_.size(); }
  size_t PendingMessages() const;

 protected:
  void AddWindow(WindowId id, Window* window) override;
  void RemoveWindow(WindowId id) override;
  void SetTimer(WindowId id, uint32_t timerId, uint32_t intervalMs) override;
  bool KillTimer(WindowId id, uint32_t timerId) override;
  bool Post(WindowId id, uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

 private:
  struct Timer {
    int64_t interval;
    int64_t due;
    uint64_t seq;
  };
  struct Watch {
    int fd;
    std::function<void()> callback;
  };
  class WatchHandle;

  bool DrainPostsOnce();
  bool PollWatches();
  WindowId IdOf(const Window& window) const;

  int64_t now_ = 0;
  uint64_t timerSeq_ = 0;
  bool quit_ = false;
  std::map<WindowId, Window*> windows_;
  std::map<std::pair<WindowId, uint32_t>, Timer> timers_;
  PostQueue posts_;
  uint64_t nextWatch_ = 1;
  std::map<uint64_t, Watch> watches_;
};

}  // namespace platform
