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

class ITrayIcon {
 public:
  virtual ~ITrayIcon() = default;
  virtual bool IsShown() const = 0;
  // Changes the picture (an icon resource id), the tip, or both.
  virtual void Modify(std::optional<int> icon, std::optional<std::u16string> tip) = 0;
};

}  // namespace platform::shell
