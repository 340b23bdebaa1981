#include "platform/loop/fake_loop.h"

#include <poll.h>

#include <stdexcept>

namespace platform {

class FakeLoop::WatchHandle : public FdWatch {
 public:
  WatchHandle(FakeLoop& loop, uint64_t id) : loop_(loop), id_(id) {}
  ~WatchHandle() override { loop_.watches_.erase(id_); }

 private:
  FakeLoop& loop_;
  uint64_t id_;
};

FakeLoop::~FakeLoop() = default;

void FakeLoop::AddWindow(WindowId id, Window* window) { windows_[id] = window; }

void FakeLoop::RemoveWindow(WindowId id) {
  windows_.erase(id);
  std::erase_if(timers_, [id](const auto& entry) { return entry.first.first == id; });
}

void FakeLoop::SetTimer(WindowId id, uint32_t timerId, uint32_t intervalMs) {
  timers_[{id, timerId}] = Timer{intervalMs, now_ + intervalMs, timerSeq_++};
}

bool FakeLoop::KillTimer(WindowId id, uint32_t timerId) { return timers_.erase({id, timerId}) > 0; }

bool FakeLoop::Post(WindowId id, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  bool wasEmpty = false;
  return posts_.Push(PostedMessage{id, msg, wParam, lParam}, wasEmpty);
}

size_t FakeLoop::PendingMessages() const { return posts_.size(); }

Loop::WindowId FakeLoop::IdOf(const Window& window) const {
  for (const auto& [id, w] : windows_) {
    if (w == &window) return id;
  }
  return 0;
}

bool FakeLoop::HasTimer(const Window& window, uint32_t timerId) const {
  return timers_.count({IdOf(window), timerId}) > 0;
}

bool FakeLoop::DrainPostsOnce() {
  PostedMessage next;
  if (!posts_.PopFront(next)) return false;
  auto it = windows_.find(next.window);
  if (it != windows_.end()) Deliver(*it->second, next.msg, next.wParam, next.lParam);
  return true;
}

bool FakeLoop::PollWatches() {
  std::vector<uint64_t> ready;
  for (const auto& [id, watch] : watches_) {
    pollfd pfd{watch.fd, POLLIN, 0};
    if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR))) ready.push_back(id);
  }
  for (uint64_t id : ready) {
    auto it = watches_.find(id);  // an earlier callback may have removed it
    if (it == watches_.end()) continue;
    auto callback = it->second.callback;
    callback();
  }
  return !ready.empty();
}

void FakeLoop::RunPending() {
  for (;;) {
    bool worked = false;
    while (DrainPostsOnce()) worked = true;
    if (PollWatches()) worked = true;
    if (!worked) return;
  }
}

void FakeLoop::Advance(int64_t ms) {
  const int64_t target = now_ + ms;
  RunPending();
  for (;;) {
    auto next = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->second.due > target) continue;
      if (next == timers_.end() || it->second.due < next->second.due ||
          (it->second.due == next->second.due && it->second.seq < next->second.seq)) {
        next = it;
      }
    }
    if (next == timers_.end()) break;
    now_ = next->second.due;
    next->second.due += next->second.interval;
    next->second.seq = timerSeq_++;
    const auto [windowId, timerId] = next->first;
    auto window = windows_.find(windowId);
    if (window != windows_.end()) DeliverTimer(*window->second, timerId);
    RunPending();
  }
  now_ = target;
}

void FakeLoop::Run() {
  quit_ = false;
  for (;;) {
    RunPending();
    if (quit_) break;
    if (timers_.empty()) throw std::logic_error("FakeLoop::Run: no timer or message can end the run");
    int64_t due = timers_.begin()->second.due;
    for (const auto& entry : timers_) due = std::min(due, entry.second.due);
    Advance(std::max<int64_t>(0, due - now_));
  }
  quit_ = false;
}

std::unique_ptr<FdWatch> FakeLoop::WatchFd(int fd, std::function<void()> onReadable) {
  const uint64_t id = nextWatch_++;
  watches_[id] = Watch{fd, std::move(onReadable)};
  return std::make_unique<WatchHandle>(*this, id);
}

}  // namespace platform
