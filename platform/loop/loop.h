#pragma once
// The main-window thread: posted messages and timers in the manner of window
// messages. A Window belongs to one Loop; its timers and messages are served
// on the loop's thread. PostMessage is the only operation other threads may
// call; everything else runs on the loop's thread.
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class Window;

// Watches a file descriptor for input; the callback runs on the loop's thread.
class FdWatch {
 public:
  virtual ~FdWatch() = default;
};

class Loop {
 public:
  virtual ~Loop() = default;

  // Monotonic milliseconds of this loop's clock (virtual in FakeLoop).
  virtual int64_t NowMs() const = 0;

  // Runs until Quit(); nested runs are allowed (modal dialogs).
  virtual void Run() = 0;
  virtual void Quit() = 0;

  virtual std::unique_ptr<FdWatch> WatchFd(int fd, std::function<void()> onReadable) = 0;

 protected:
  friend class Window;
  using WindowId = uint64_t;

  virtual void AddWindow(WindowId id, Window* window) = 0;
  // After this returns, no timer or message of the window is delivered.
  virtual void RemoveWindow(WindowId id) = 0;
  virtual void SetTimer(WindowId id, uint32_t timerId, uint32_t intervalMs) = 0;
  virtual bool KillTimer(WindowId id, uint32_t timerId) = 0;
  virtual bool Post(WindowId id, uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;

  static void Deliver(Window& window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
  static void DeliverTimer(Window& window, uint32_t timerId);
};

class Window {
 public:
  explicit Window(Loop& loop);
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // A second SetTimer with the same id replaces the first (new interval, new
  // due time). An interval of 0 is served as 10 ms, the shortest timer.
  void SetTimer(uint32_t timerId, uint32_t intervalMs);
  // True when a timer with that id was running.
  bool KillTimer(uint32_t timerId);
  // Thread-safe and allocation-free; the message is delivered later on the
  // loop's thread, in posting order, and dropped if the window is gone by
  // then. False when the loop's queue is full (the message is dropped).
  bool PostMessage(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0);

  Loop& loop() const { return loop_; }

 protected:
  virtual void OnMessage(uint32_t /*msg*/, uintptr_t /*wParam*/, intptr_t /*lParam*/) {}
  virtual void OnTimer(uint32_t /*timerId*/) {}

 private:
  friend class Loop;
  Loop& loop_;
  const uint64_t id_;
};

}  // namespace platform
