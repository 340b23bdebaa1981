#pragma once
// The tray icon as a StatusNotifierItem on the D-Bus session bus: the item
// object is exported under a name of its own and registered with the
// desktop's org.kde.StatusNotifierWatcher, whose coming and going is
// followed. Activate (a click on the item in every host) is the user's way
// back to the window; SecondaryActivate, ContextMenu and Scroll do nothing.
//
// Everything runs on the thread of the GLib main context that was the
// thread default at construction (the window thread).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/shell/tray_icon.h"

namespace platform::shell {

class SniTray : public ITrayItem {
 public:
  // id: the item's stable name (its Id and Title); pictures: how each icon
  // resource looks. Without a session bus the tray never has a host.
  SniTray(std::string id, std::function<TrayPicture(int icon)> pictures);
  ~SniTray() override;
  SniTray(const SniTray&) = delete;
  SniTray& operator=(const SniTray&) = delete;

  bool IsShown() const override;
  void Modify(std::optional<int> icon, std::optional<std::u16string> tip) override;
  bool HostPresent() const override;
  bool Add(int icon, std::u16string tip) override;
  void Remove() override;
  void SetHandlers(std::function<void()> activated, std::function<void()> hostGone) override;

  // The bus name the item is served under while shown; empty otherwise.
  std::string ServiceName() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// An icon resource's tray picture from PNG files of several sizes; a file
// that does not decode is left out.
TrayPicture LoadTrayPicture(std::string iconName, const std::vector<std::string>& pngs);

}  // namespace platform::shell
