#include "platform/loop/glib_loop.h"

#include <glib-unix.h>

namespace platform {

struct GlibLoop::TimerTag {
  GlibLoop* loop;
  WindowId window;
  uint32_t timerId;
};

namespace {

class GlibFdWatch : public FdWatch {
 public:
  GlibFdWatch(GMainContext* context, int fd, std::function<void()> callback)
      : callback_(std::move(callback)), source_(g_unix_fd_source_new(fd, G_IO_IN)) {
    g_source_set_callback(source_, G_SOURCE_FUNC(&GlibFdWatch::OnReady), this, nullptr);
    g_source_attach(source_, context);
  }
  ~GlibFdWatch() override {
    g_source_destroy(source_);
    g_source_unref(source_);
  }

 private:
  static gboolean OnReady(int, GIOCondition, gpointer self) {
    static_cast<GlibFdWatch*>(self)->callback_();
    return G_SOURCE_CONTINUE;
  }
  std::function<void()> callback_;
  GSource* source_;
};

}  // namespace

namespace {
struct PostSource {
  GSource base;
  GlibLoop* loop;
};
}  // namespace

GlibLoop::GlibLoop(GMainContext* context)
    : context_(g_main_context_ref(context ? context : g_main_context_default())) {
  static GSourceFuncs funcs = {nullptr, nullptr, &GlibLoop::DispatchPosts, nullptr, nullptr, nullptr};
  postSource_ = g_source_new(&funcs, sizeof(PostSource));
  reinterpret_cast<PostSource*>(postSource_)->loop = this;
  g_source_set_priority(postSource_, G_PRIORITY_DEFAULT);
  g_source_set_can_recurse(postSource_, TRUE);
  g_source_attach(postSource_, context_);
}

GlibLoop::~GlibLoop() {
  for (auto& [key, source] : timers_) {
    g_source_destroy(source);
    g_source_unref(source);
  }
  g_source_destroy(postSource_);
  g_source_unref(postSource_);
  g_main_context_unref(context_);
}

int64_t GlibLoop::NowMs() const { return g_get_monotonic_time() / 1000; }

void GlibLoop::Run() {
  GMainLoop* run = g_main_loop_new(context_, FALSE);
  runs_.push_back(run);
  g_main_loop_run(run);
  std::erase(runs_, run);
  g_main_loop_unref(run);
}

void GlibLoop::Quit() {
  if (!runs_.empty()) g_main_loop_quit(runs_.back());
}

std::unique_ptr<FdWatch> GlibLoop::WatchFd(int fd, std::function<void()> onReadable) {
  return std::make_unique<GlibFdWatch>(context_, fd, std::move(onReadable));
}

void GlibLoop::AddWindow(WindowId id, Window* window) { windows_[id] = window; }

void GlibLoop::RemoveWindow(WindowId id) {
  windows_.erase(id);
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (it->first.first == id) {
      g_source_destroy(it->second);
      g_source_unref(it->second);
      it = timers_.erase(it);
    } else {
      ++it;
    }
  }
}

void GlibLoop::SetTimer(WindowId id, uint32_t timerId, uint32_t intervalMs) {
  KillTimer(id, timerId);
  GSource* source = g_timeout_source_new(intervalMs);
  g_source_set_callback(source, &GlibLoop::OnTimerFired, new TimerTag{this, id, timerId},
                        [](gpointer tag) { delete static_cast<TimerTag*>(tag); });
  g_source_attach(source, context_);
  timers_[{id, timerId}] = source;
}

bool GlibLoop::KillTimer(WindowId id, uint32_t timerId) {
  auto it = timers_.find({id, timerId});
  if (it == timers_.end()) return false;
  g_source_destroy(it->second);
  g_source_unref(it->second);
  timers_.erase(it);
  return true;
}

gboolean GlibLoop::OnTimerFired(gpointer data) {
  auto* tag = static_cast<TimerTag*>(data);
  tag->loop->FireTimer(tag->window, tag->timerId);
  return G_SOURCE_CONTINUE;
}

void GlibLoop::FireTimer(WindowId id, uint32_t timerId) {
  auto window = windows_.find(id);
  if (window != windows_.end()) DeliverTimer(*window->second, timerId);
}

bool GlibLoop::Post(WindowId id, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  bool wasEmpty = false;
  if (!posts_.Push(PostedMessage{id, msg, wParam, lParam}, wasEmpty)) return false;
  if (wasEmpty) g_source_set_ready_time(postSource_, 0);
  return true;
}

gboolean GlibLoop::DispatchPosts(GSource* source, GSourceFunc, gpointer) {
  // Cleared before draining: a post that lands meanwhile sets it again.
  g_source_set_ready_time(source, -1);
  reinterpret_cast<PostSource*>(source)->loop->DrainPosts();
  return G_SOURCE_CONTINUE;
}

void GlibLoop::DrainPosts() {
  // One message at a time: a handler may run a modal loop, which serves the
  // rest of the queue from inside (the source may recurse). Only what was
  // queued on entry is served here, so a handler that keeps posting cannot
  // starve timers and events.
  for (size_t n = posts_.size(); n > 0; --n) {
    PostedMessage p;
    if (!posts_.PopFront(p)) return;
    auto window = windows_.find(p.window);
    if (window != windows_.end()) Deliver(*window->second, p.msg, p.wParam, p.lParam);
  }
  if (posts_.size() > 0) g_source_set_ready_time(postSource_, 0);
}

}  // namespace platform
