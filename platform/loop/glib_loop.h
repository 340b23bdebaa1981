#pragma once
// The real loop: a GLib main context (the default one unless given), so GTK
// windows, timers, posted messages and watched descriptors share one thread.
#include <glib.h>

#include <map>
#include <vector>

#include "platform/loop/loop.h"
#include "platform/loop/post_queue.h"

namespace platform {

class GlibLoop : public Loop {
 public:
  // The context is referenced; nullptr means the process's default context.
  explicit GlibLoop(GMainContext* context = nullptr);
  ~GlibLoop() override;

  int64_t NowMs() const override;
  void Run() override;
  void Quit() override;
  std::unique_ptr<FdWatch> WatchFd(int fd, std::function<void()> onReadable) override;

  GMainContext* context() const { return context_; }

 protected:
  void AddWindow(WindowId id, Window* window) override;
  void RemoveWindow(WindowId id) override;
  void SetTimer(WindowId id, uint32_t timerId, uint32_t intervalMs) override;
  bool KillTimer(WindowId id, uint32_t timerId) override;
  bool Post(WindowId id, uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

 private:
  struct TimerTag;
  static gboolean DispatchPosts(GSource* source, GSourceFunc, gpointer);
  static gboolean OnTimerFired(gpointer tag);
  void FireTimer(WindowId id, uint32_t timerId);
  void DrainPosts();

  GMainContext* context_;
  std::map<WindowId, Window*> windows_;
  std::map<std::pair<WindowId, uint32_t>, GSource*> timers_;
  std::vector<GMainLoop*> runs_;
  PostQueue posts_;
  // Lives as long as the loop; a post wakes it by setting its ready time,
  // which neither allocates nor blocks on the loop's thread.
  GSource* postSource_;
};

}  // namespace platform
