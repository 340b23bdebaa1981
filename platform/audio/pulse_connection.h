#pragma once
// Private to the PulseAudio adapter: owning handles for libpulse objects and
// one connection (threaded mainloop + context) shared by the audio system,
// its devices, mixers and streams.
#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <mutex>

namespace platform::audio::pulse {

// How long any wait for the server may take. A server that stopped
// answering must not hang the caller.
constexpr int kConnectTimeoutMs = 3000;
constexpr int kRequestTimeoutMs = 2000;

struct MainloopDeleter {
  void operator()(pa_threaded_mainloop* m) const {
    pa_threaded_mainloop_stop(m);  // joins the mainloop thread
    pa_threaded_mainloop_free(m);
  }
};
struct ContextDeleter {
  void operator()(pa_context* c) const { pa_context_unref(c); }
};
struct StreamDeleter {
  void operator()(pa_stream* s) const { pa_stream_unref(s); }
};
struct OperationDeleter {
  void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

// Holds the mainloop lock for its scope. libpulse's lock is recursive.
class Lock {
 public:
  explicit Lock(pa_threaded_mainloop* m) : m_(m) { pa_threaded_mainloop_lock(m_); }
  ~Lock() { pa_threaded_mainloop_unlock(m_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  pa_threaded_mainloop* m_;
};

// The audio system's lost handler, shared with every connection it opened.
class LostNotice {
 public:
  void Set(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void Tell() {
    std::lock_guard lock(mutex_);
    if (handler_) handler_();
  }

 private:
  std::mutex mutex_;
  std::function<void()> handler_;
};

class Connection {
 public:
  // Connects to the server named by PULSE_SERVER (or the default one);
  // nullptr when no server answers in time. Never spawns a server. The
  // connection tells `lost` once when it dies after it was ready.
  static std::shared_ptr<Connection> Open(std::shared_ptr<LostNotice> lost = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  pa_threaded_mainloop* mainloop() const { return mainloop_.get(); }
  pa_context* context() const { return context_.get(); }

  // With the lock held: whether the context can still serve requests.
  bool Alive() const;

  // With the lock held: waits until done() or the time-out; also wakes when
  // the context dies. Returns done().
  template <typename Done>
  bool Wait(Done done, int timeoutMs);

  // With the lock held: waits for the operation (nullptr = the request could
  // not be sent) and cancels it on time-out, so its callback never runs
  // after this returns. True when it completed.
  bool WaitOperation(pa_operation* op, int timeoutMs = kRequestTimeoutMs);

  // Wakes every waiter; used by callbacks on the mainloop thread.
  void Signal() { pa_threaded_mainloop_signal(mainloop_.get(), 0); }

  // The mainloop thread, with the lock held: capture through this connection
  // ended without a Stop. Told at most once per connection.
  void TellLost() {
    if (lostTold_ || !lost_) return;
    lostTold_ = true;
    lost_->Tell();
  }
  // The context's state changed (mainloop thread).
  void OnState();

 private:
  Connection() = default;
  // Arms a timer on the mainloop that wakes the waiters at the deadline.
  pa_time_event* ArmTimer(pa_usec_t deadline);
  void DisarmTimer(pa_time_event* e);

  MainloopPtr mainloop_;
  ContextPtr context_;
  std::shared_ptr<LostNotice> lost_;
  bool wasReady_ = false;
  bool lostTold_ = false;
};

template <typename Done>
bool Connection::Wait(Done done, int timeoutMs) {
  if (done()) return true;
  const pa_usec_t deadline = pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * 1000;
  pa_time_event* timer = ArmTimer(deadline);
  bool ok = false;
  while (!(ok = done()) && Alive() && pa_rtclock_now() < deadline) pa_threaded_mainloop_wait(mainloop_.get());
  DisarmTimer(timer);
  return ok;
}

}  // namespace platform::audio::pulse
