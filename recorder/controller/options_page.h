#pragma once
// The options page as its callers see it: a modal run that ends with OK
// (the settings were written) or Cancel (nothing was written).
#include "platform/loop/loop.h"

namespace orvweb {

inline constexpr int kDialogOk = 1;
inline constexpr int kDialogCancel = 2;

class IOptionsPage {
 public:
  virtual ~IOptionsPage() = default;
  // owner: the window it is modal to; nullptr at start-up, before there is one.
  virtual int RunModal(platform::Window* owner) = 0;
};

}  // namespace orvweb
