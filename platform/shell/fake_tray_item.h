#pragma once
// A tray item for tests: a host that is there or not, the calls made, and
// the user's activation and the host's departure played in by the test.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/shell/tray_icon.h"

namespace platform::shell {

class FakeTrayItem : public ITrayItem {
 public:
  struct Change {
    std::optional<int> icon;
    std::optional<std::u16string> tip;
  };

  bool IsShown() const override { return shown; }
  void Modify(std::optional<int> newIcon, std::optional<std::u16string> newTip) override {
    changes.push_back(Change{newIcon, newTip});
    if (!shown) return;
    if (newIcon) icon = *newIcon;
    if (newTip) tip = *newTip;
  }
  bool HostPresent() const override { return hostPresent; }
  bool Add(int newIcon, std::u16string newTip) override {
    calls.push_back("Add");
    if (!hostPresent) return false;
    shown = true;
    icon = newIcon;
    tip = std::move(newTip);
    return true;
  }
  void Remove() override {
    calls.push_back("Remove");
    shown = false;
  }
  void SetHandlers(std::function<void()> activatedHandler, std::function<void()> hostGoneHandler) override {
    activated = std::move(activatedHandler);
    hostGone = std::move(hostGoneHandler);
  }

  // The user clicks the item.
  void Activate() {
    if (shown && activated) activated();
  }
  // The tray host quits.
  void HostQuits() {
    hostPresent = false;
    const bool wasShown = shown;
    shown = false;
    if (wasShown && hostGone) hostGone();
  }

  bool hostPresent = true;
  bool shown = false;
  int icon = 0;
  std::u16string tip;
  std::vector<std::string> calls;
  std::vector<Change> changes;
  std::function<void()> activated;
  std::function<void()> hostGone;
};

}  // namespace platform::shell
