#pragma once
// The plug-in's small window: shown to nobody (hidden at once), it exists so
// a player that asks for a window gets one.
#include <memory>

#include "platform/com/wmp.h"
#include "platform/player/plugin_window.h"

namespace orvweb {

class COrvWebPlugin;

class COrvWebPluginWindow {
 public:
  explicit COrvWebPluginWindow(COrvWebPlugin* plugin) : plugin_(plugin) {}
  // A child of parent at 0,0, 100 by 100, titled "OrvWeb Plugin".
  bool Create(platform::HWND parent);
  void Hide();
  platform::HWND handle() const { return window_ ? window_->handle() : nullptr; }

 private:
  COrvWebPlugin* plugin_;  // the owner; not used for drawing
  std::unique_ptr<platform::player::PluginWindow> window_;
};

}  // namespace orvweb
