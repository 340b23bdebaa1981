#pragma once
// The main window's icon in the notification area as its owner changes it:
// which picture it shows and its tip. Adding and removing the icon belong to
// the window's minimise handling; changes made while no icon is shown are
// ignored by the caller.
#include <optional>
#include <string>

namespace platform::shell {

// Longest tip, in UTF-16 units.
inline constexpr size_t kTrayTipUnits = 63;

// A tip cut to its longest; a pair of surrogates is never cut in half.
inline std::u16string CutTrayTip(std::u16string text) {
  if (text.size() > kTrayTipUnits) {
    size_t cut = kTrayTipUnits;
    if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
    text.resize(cut);
  }
  return text;
}

class ITrayIcon {
 public:
  virtual ~ITrayIcon() = default;
  virtual bool IsShown() const = 0;
  // Changes the picture (an icon resource id), the tip, or both.
  virtual void Modify(std::optional<int> icon, std::optional<std::u16string> tip) = 0;
};

}  // namespace platform::shell

#include <cstdint>
#include <functional>
#include <vector>

namespace platform::shell {

// One size of an icon: width x height pixels, ARGB32 in network byte order.
struct TrayPixmap {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> argb;
};

// How an icon resource looks in the tray: a theme icon name (may be empty)
// and the same picture as pixels for hosts without that theme icon.
struct TrayPicture {
  std::string iconName;
  std::vector<TrayPixmap> pixmaps;
};

// The icon's whole life in the notification area. Desktops without a tray
// host (plain GNOME, bare X) cannot show it; the owner asks before hiding
// anything behind it.
class ITrayItem : public ITrayIcon {
 public:
  // Whether a tray host is there to show the item now.
  virtual bool HostPresent() const = 0;
  // Shows the item with an icon resource and a tip; false, and nothing
  // shown, without a host.
  virtual bool Add(int icon, std::u16string tip) = 0;
  virtual void Remove() = 0;
  // activated: the user activated the item (a click in every host).
  // hostGone: the host went away while the item was shown; the item already
  // counts as not shown.
  virtual void SetHandlers(std::function<void()> activated, std::function<void()> hostGone) = 0;
};

}  // namespace platform::shell
