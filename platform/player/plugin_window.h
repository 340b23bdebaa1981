#pragma once
// A plug-in's window inside the host's window: a GTK child widget that paints
// itself black with a centred label. Nothing here touches GTK before Create,
// so loading the code starts no toolkit.
#include <memory>
#include <string>

namespace platform::player {

class PluginWindow {
 public:
  // A child of `parent` (a GtkContainer*, owned by the host) at x,y with the
  // given size; nullptr when the parent is null or no container, or when GTK
  // is not running on this thread's process.
  static std::unique_ptr<PluginWindow> Create(void* parent, int x, int y, int width, int height,
                                              const std::string& label);
  ~PluginWindow();  // destroys the widget
  PluginWindow(const PluginWindow&) = delete;
  PluginWindow& operator=(const PluginWindow&) = delete;

  // The GtkWidget*; it stays valid until this object goes, even when the
  // host destroys its parent first.
  void* handle() const { return widget_; }
  void Hide();

 private:
  PluginWindow(void* widget, std::string label);
  void* widget_;
  std::string label_;
};

}  // namespace platform::player
