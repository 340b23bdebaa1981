#include "platform/loop/loop.h"

#include <atomic>

namespace platform {
namespace {
std::atomic<uint64_t> nextWindowId{1};
}

void Loop::Deliver(Window& window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  window.OnMessage(msg, wParam, lParam);
}

void Loop::DeliverTimer(Window& window, uint32_t timerId) { window.OnTimer(timerId); }

Window::Window(Loop& loop) : loop_(loop), id_(nextWindowId.fetch_add(1)) {
  loop_.AddWindow(id_, this);
}

Window::~Window() { loop_.RemoveWindow(id_); }

void Window::SetTimer(uint32_t timerId, uint32_t intervalMs) {
  loop_.SetTimer(id_, timerId, intervalMs == 0 ? 10 : intervalMs);
}

bool Window::KillTimer(uint32_t timerId) { return loop_.KillTimer(id_, timerId); }

bool Window::PostMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  return loop_.Post(id_, msg, wParam, lParam);
}

}  // namespace platform
