#include "plugin/plugin_window.h"

namespace orvweb {

bool COrvWebPluginWindow::Create(platform::HWND parent) {
  (void)plugin_;
  window_ = platform::player::PluginWindow::Create(parent, 0, 0, 100, 100, "OrvWeb Plugin");
  return window_ != nullptr;
}

void COrvWebPluginWindow::Hide() {
  if (window_) window_->Hide();
}

}  // namespace orvweb
